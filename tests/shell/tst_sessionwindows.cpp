// The windows the session's answers open through the friends list view:
// accept friend dialogs, the blocked users dialog, the offline messages
// window, conversation windows for incoming messages; and a lost connection.
#include "acceptfrienddlg.h"
#include "attention.h"
#include "blockedusersdlg.h"
#include "commandids.h"
#include "offlinemessageswnd.h"
#include "shellfixture.h"
#include "speakwindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

namespace {

QList<CAcceptFriendDlg*> AcceptDialogs()
{
    QList<CAcceptFriendDlg*> dialogs;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<CAcceptFriendDlg*>(window); dialog && dialog->isVisible())
            dialogs.append(dialog);
    return dialogs;
}

CNetMessage Offline(const char* sender, const char* text)
{
    CNetMessage msg = Record(Cmd::OfflineMessage, sender, "anna");
    msg.text = text;
    return msg;
}

// Acts on a modal dialog once its run has started (checked every 10 ms,
// for 5 s at most); the check runs inside the dialog's own loop.
void WhenRunning(const std::function<CModalDialog*()>& find, const std::function<void(CModalDialog*)>& act)
{
    auto* timer = new QTimer;
    auto* deadline = new QDeadlineTimer(5000);
    QObject::connect(timer, &QTimer::timeout, [=] {
        CModalDialog* dialog = find();
        const bool running = dialog && dialog->IsRunning();
        if (running || deadline->hasExpired()) {
            timer->stop();
            timer->deleteLater();
            delete deadline;
            if (running)
                act(dialog);
        }
    });
    timer->start(10);
}

} // namespace

class TestSessionWindows : public QObject
{
    Q_OBJECT

private slots:
    void EachRequestItsOwnAcceptDialog();
    void BlockedUsersDialogRecorded();
    void OfflineMessagesWindow();
    void IncomingMessageOpensWindow();
    void LostConnection();
};

void TestSessionWindows::EachRequestItsOwnAcceptDialog()
{
    CShellFixture f;
    f.view->SetAcceptAnswerPause(0ms);
    QVERIFY(f.LogIn("anna"));
    CNetMessage first = Record(Cmd::FriendRequest, "bob", "anna");
    first.text = "User bob wants to add you to his/her friends list";
    f.server.Inject(first);
    f.server.Inject(Record(Cmd::FriendRequest, "cy", "anna"));
    QVERIFY(WaitUntil([] { return AcceptDialogs().size() == 2; }));
    // Each is a window of its own, not a child drawn inside the main window,
    // and none takes the keyboard focus from the window the user is in.
    for (CAcceptFriendDlg* dialog : AcceptDialogs()) {
        QVERIFY(dialog->isWindow());
        QVERIFY(dialog->testAttribute(Qt::WA_ShowWithoutActivating));
    }

    QPointer<CAcceptFriendDlg> fromBob;
    for (CAcceptFriendDlg* dialog : AcceptDialogs())
        if (dialog->Invitation() == first.text)
            fromBob = dialog;
    QVERIFY(fromBob);
    fromBob->accept();
    auto answer = f.server.Expect(Cmd::AcceptAndAdd);
    QVERIFY(answer);
    QCOMPARE(answer->recipient, std::string("bob"));
    // The answered one deleted itself; the other still waits.
    QVERIFY(WaitUntil([&] { return fromBob.isNull(); }));
    QCOMPARE(AcceptDialogs().size(), 1);
    AcceptDialogs().first()->reject();
    auto declined = f.server.Expect(Cmd::Decline);
    QVERIFY(declined);
    QCOMPARE(declined->recipient, std::string("cy"));
    QVERIFY(WaitUntil([] { return AcceptDialogs().isEmpty(); }));
}

void TestSessionWindows::BlockedUsersDialogRecorded()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    // "B" fills the list and runs the dialog; it is closed from inside its loop.
    int seen = -1;
    WhenRunning([&] { return RunningDialog<CBlockedUsersDlg>(); },
                [&](CModalDialog* dialog) {
                    seen = dialog->findChild<QListWidget*>(QStringLiteral("blocked"))->count();
                    dialog->findChild<QPushButton*>(QStringLiteral("cancel"))->click();
                });
    f.server.Inject(Record(Cmd::BlockedListAnswer, {}, "anna", {"zed", "yan*"}));
    QVERIFY(WaitUntil([&] { return seen >= 0 && !RunningDialog<CBlockedUsersDlg>(); }));
    QCOMPARE(seen, 2);
    QVERIFY(f.doc->IsBlockedListHeld());

    // Held now: the command shows it again without asking the server.
    bool ran = false;
    QTimer::singleShot(0, [&] {
        CModalDialog* dialog = RunningDialog<CBlockedUsersDlg>();
        QVERIFY(dialog && dialog->IsRunning());
        ran = true;
        dialog->EndDialog(IDCANCEL);
    });
    f.frame->ExecuteCommand(ID_TOOLS_BLOCKEDUSERS);
    QVERIFY(ran);
    QVERIFY(!RunningDialog<CBlockedUsersDlg>());
    QVERIFY(NothingSentBefore(*f.doc, f.server));
}

void TestSessionWindows::OfflineMessagesWindow()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna"));
    // The empty store: the command opens an empty window.
    f.frame->ExecuteCommand(ID_TOOLS_OFFLINEMESSAGES);
    QPointer<QWidget> pane = f.view->OfflineMessagesWindow();
    QVERIFY(pane);
    QWidget* window = pane->window();
    QCOMPARE(window->windowTitle(), QStringLiteral("Offline Messages -- anna"));
    QCOMPARE(window->pos(), QPoint(400, 300));
    QCOMPARE(window->size(), QSize(545, 400));
    window->close();
    QVERIFY(WaitUntil([&] { return pane.isNull() && !f.view->OfflineMessagesWindow(); }));

    // Three stored messages, then "OL": one window, three rows, row 0 shown.
    for (const auto& [sender, text] : {std::pair{"bob", "one"}, {"cy", "two"}, {"bob", "three"}})
        f.server.Inject(Offline(sender, text));
    f.server.Inject(Record(Cmd::OfflineEnd, {}, "anna"));
    QVERIFY(WaitUntil([&] { return f.view->OfflineMessagesWindow() != nullptr; }));
    auto* list = qobject_cast<CListPane*>(f.view->OfflineMessagesWindow());
    QVERIFY(list);
    QCOMPARE(list->List()->topLevelItemCount(), 3);
    QCOMPARE(list->SelectedRow(), 0);
    auto* frame = qobject_cast<COfflineMessagesFrameWnd*>(list->window());
    QCOMPARE(frame->TextPane()->TextBox()->toPlainText(), QStringLiteral("one"));
    // Again: brought forward, no rows added.
    f.frame->ExecuteCommand(ID_TOOLS_OFFLINEMESSAGES);
    QCOMPARE(f.view->OfflineMessagesWindow(), static_cast<QWidget*>(list));
    QCOMPARE(list->List()->topLevelItemCount(), 3);

    // Reply opens the conversation with the row's sender.
    frame->TextPane()->ReplyButton()->click();
    CSpeakWindowBase* speak = FindSpeakWindow(*f.doc, "bob");
    QVERIFY(speak);
    QCOMPARE(speak->window()->windowTitle(), QStringLiteral("bob -- Instant Message"));
    delete speak->window();
    delete frame;
}

void TestSessionWindows::IncomingMessageOpensWindow()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob*"}));
    QList<QWidget*> alerts;
    SetAlertHandler([&](QWidget* window) { alerts.append(window); });
    CNetMessage msg = Record(Cmd::IncomingMessage, "bob", "anna");
    msg.text = "hi anna";
    msg.faceName = "Arial";
    f.server.Inject(msg);
    QVERIFY(WaitUntil([&] { return FindSpeakWindow(*f.doc, "bob") != nullptr; }));
    auto* window = qobject_cast<CSpeakWindow*>(FindSpeakWindow(*f.doc, "bob"));
    QVERIFY(window);
    QCOMPARE(window->window()->windowTitle(), QStringLiteral("bob -- Instant Message"));
    QCOMPARE(window->From(), std::string("anna"));
    QCOMPARE(window->ConversationBox()->toPlainText(), QStringLiteral("bob: hi anna"));
    // Shown without taking the focus (the window manager's part; the
    // offscreen platform activates every window it shows).
    QVERIFY(window->window()->isVisible());
    QVERIFY(window->window()->testAttribute(Qt::WA_ShowWithoutActivating));
    // No window of the program was active: it asks for attention.
    QCOMPARE(alerts, QList<QWidget*>{window->window()});
    alerts.clear();

    // The user is typing elsewhere: a second message to the same window
    // does not take their keys, and asks for attention for that window.
    QLineEdit typing;
    typing.show();
    typing.activateWindow();
    typing.setFocus();
    QVERIFY(QTest::qWaitForWindowActive(&typing));
    msg.text = "still there?";
    f.server.Inject(msg);
    QVERIFY(WaitUntil([&] { return window->Conversation() == "bob: hi anna\nbob: still there?"; }));
    QApplication::processEvents();
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(&typing));
    QCOMPARE(alerts, QList<QWidget*>{window->window()});
    SetAlertHandler({});
    delete window->window();
}

void TestSessionWindows::LostConnection()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob*"}));
    f.server.CloseClient();
    QVERIFY(f.boxes.WaitForCount(1));
    QCOMPARE(f.boxes.Texts(), QStringList{QStringLiteral("Connection to server lost")});
    QVERIFY(WaitUntil([&] { return !f.doc->IsConnected() && !f.doc->IsLoggedIn(); }));
    QCOMPARE(f.Action(ID_FILE_CHANGEUSER)->text(), QStringLiteral("&Login"));
    QVERIFY(!f.Action(ID_FILE_DISCONNECT)->isEnabled());
    QVERIFY(!f.FindItem(QStringLiteral("bob")));

    // Login connects again and opens the login dialog.
    int opened = 0;
    const std::unique_ptr<QTimer> cancel = f.CancelLoginDialogs(opened);
    f.frame->ExecuteCommand(ID_FILE_CHANGEUSER);
    QVERIFY(WaitUntil([&] { return opened == 1 && !RunningDialog<CLoginDlg>(); }));
    QVERIFY(f.doc->IsConnected());
    QCOMPARE(f.server.AcceptedCount(), 2);
    QCOMPARE(f.boxes.Count(), 1);
}

QTEST_MAIN(TestSessionWindows)
#include "tst_sessionwindows.moc"
