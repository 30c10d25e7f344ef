// Received messages reach conversation windows through the session and the
// friends list view; New opens an empty conversation; the blocked users
// dialog opens from "B" or from the held list and "SB" ends it.
#include "blockedusersdlg.h"
#include "commandids.h"
#include "shellfixture.h"
#include "speakcommands.h"
#include "tst_speakutil.h"

#include <QApplication>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace {

QList<CSpeakWindowFrame*> SpeakFrames()
{
    QList<CSpeakWindowFrame*> frames;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* frame = qobject_cast<CSpeakWindowFrame*>(window); frame && frame->isVisible())
            frames << frame;
    return frames;
}

void CloseSpeakFrames()
{
    for (CSpeakWindowFrame* frame : SpeakFrames())
        delete frame;
}

CSpeakWindow* WindowFor(CPalaverDoc& doc, const std::string& name)
{
    return qobject_cast<CSpeakWindow*>(FindSpeakWindow(doc, name));
}

// The blocked users dialog the session or the view runs, while it shows.
CBlockedUsersDlg* BlockedDialog()
{
    auto* dialog = qobject_cast<CBlockedUsersDlg*>(RunningDialog<CBlockedUsersDlg>());
    return dialog && dialog->isVisible() ? dialog : nullptr;
}

QStringList Listed(CBlockedUsersDlg* dialog)
{
    QStringList names;
    auto* list = dialog->findChild<QListWidget*>(QStringLiteral("blocked"));
    for (int row = 0; row < list->count(); ++row)
        names << list->item(row)->text();
    return names;
}

// Runs `action` once inside the blocked users dialog's modal loop when it
// shows; a guard cancels a dialog that is still open after 10 s.
class CBlockedDialogDriver
{
public:
    explicit CBlockedDialogDriver(std::function<void(CBlockedUsersDlg*)> action)
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this, action] {
            CBlockedUsersDlg* dialog = BlockedDialog();
            if (dialog && !m_bDone) {
                m_bDone = true;
                action(dialog);
            }
            if (m_guard.hasExpired() && RunningDialog<CBlockedUsersDlg>())
                RunningDialog<CBlockedUsersDlg>()->EndDialog(IDCANCEL);
        });
        m_guard.setRemainingTime(10000);
        m_timer.start(20);
    }
    bool Done() const { return m_bDone; }

private:
    QTimer m_timer;
    QDeadlineTimer m_guard;
    bool m_bDone = false;
};

} // namespace

class TestSpeakDispatch : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { CloseSpeakFrames(); }
    void OneWindowPerCorrespondent();
    void ReceivedFontIsShown();
    void EditedToNameAndTwoWindowsWithOneName();
    void NewConversation();
    void UnblockFromTheServersList();
    void UnblockFromTheHeldList();
    void SecondListOpensNoSecondDialog();
    void AboutIsTheApplications();
};

void TestSpeakDispatch::OneWindowPerCorrespondent()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob", "carol"}));
    f.server.Inject(ReceivedLine("bob", "hi anna", "Arial"));
    QVERIFY(WaitUntil([&] { return WindowFor(*f.doc, "bob") != nullptr; }));
    CSpeakWindow* bob = WindowFor(*f.doc, "bob");
    QVERIFY(WaitUntil([&] { return bob->Conversation() == "bob: hi anna"; }));
    auto* frame = qobject_cast<CSpeakWindowFrame*>(bob->window());
    QVERIFY(frame);
    QCOMPARE(frame->windowTitle(), QStringLiteral("bob -- Instant Message"));
    QCOMPARE(frame->pos(), QPoint(300, 100));
    QCOMPARE(frame->size(), QSize(460, 340));
    QCOMPARE(bob->From(), std::string("anna"));
    QCOMPARE(bob->ToBox()->text(), QStringLiteral("bob"));
    QCOMPARE(bob->FromBox()->text(), QStringLiteral("anna"));

    f.server.Inject(ReceivedLine("bob", "still me", "Arial"));
    f.server.Inject(ReceivedLine("carol", "hello", "Arial"));
    QVERIFY(WaitUntil([&] { return WindowFor(*f.doc, "carol") != nullptr; }));
    QVERIFY(WaitUntil([&] { return WindowFor(*f.doc, "carol")->Conversation() == "carol: hello"; }));
    QCOMPARE(bob->Conversation(), std::string("bob: hi anna\nbob: still me"));
    QCOMPARE(SpeakFrames().size(), 2);
    QCOMPARE(f.view->CurrentSpeakWindow(), static_cast<CSpeakWindowBase*>(WindowFor(*f.doc, "carol")));
    QCOMPARE(f.boxes.Count(), 0);
}

void TestSpeakDispatch::ReceivedFontIsShown()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}));
    CNetMessage line = ReceivedLine("bob", "fancy", "DejaVu Serif", 700, 0x00FF0000, 360);
    line.font.lfItalic = 1;
    f.server.Inject(line);
    f.server.Inject(ReceivedLine("bob", "plain", "DejaVu Sans", 400, 0x0000FF00, 200));
    QVERIFY(WaitUntil([&] {
        CSpeakWindow* window = WindowFor(*f.doc, "bob");
        return window && window->Conversation() == "bob: fancy\nbob: plain";
    }));
    QTextEdit* box = WindowFor(*f.doc, "bob")->ConversationBox();
    QCOMPARE(FormatOfLine(box, 0).fontWeight(), int(QFont::Bold));
    QVERIFY(FormatOfLine(box, 0).fontItalic());
    QCOMPARE(FormatOfLine(box, 0).fontPointSize(), 18.0);
    QCOMPARE(FormatOfLine(box, 0).foreground().color(), QColor(0, 0, 255));
    QCOMPARE(FormatOfLine(box, 1).fontWeight(), int(QFont::Normal));
    QVERIFY(!FormatOfLine(box, 1).fontItalic());
    QCOMPARE(FormatOfLine(box, 1).fontPointSize(), 10.0);
    QCOMPARE(FormatOfLine(box, 1).foreground().color(), QColor(0, 255, 0));
}

void TestSpeakDispatch::EditedToNameAndTwoWindowsWithOneName()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob", "carol"}));
    f.frame->show();
    f.view->OpenSpeakWindow("bob");
    f.view->OpenSpeakWindow("carol");
    CSpeakWindow* first = WindowFor(*f.doc, "bob");
    CSpeakWindow* second = WindowFor(*f.doc, "carol");
    QVERIFY(first && second && first != second);

    // The bob window now talks to carol: two windows hold carol, the
    // first listed gets carol's lines, and the title names carol too.
    first->ToBox()->setText(QStringLiteral("carol"));
    first->InputBox()->setPlainText(QStringLiteral("hi carol"));
    first->OnSend();
    auto sent = f.server.Expect(Cmd::Message);
    QVERIFY(sent);
    QCOMPARE(sent->recipient, std::string("carol"));
    QCOMPARE(first->window()->windowTitle(), QStringLiteral("carol -- Instant Message"));
    QVERIFY(!FindSpeakWindow(*f.doc, "bob"));
    f.server.Inject(ReceivedLine("carol", "which one?", "Arial"));
    QVERIFY(WaitUntil([&] { return first->Conversation() == "anna: hi carol\ncarol: which one?"; }));
    QVERIFY(second->Conversation().empty());

    // Closing the first removes its own entry only.
    QPointer<CSpeakWindowFrame> firstFrame = qobject_cast<CSpeakWindowFrame*>(first->window());
    firstFrame->CommandAction(ID_SPEAK_CLOSE)->trigger();
    QVERIFY(WaitUntil([&] { return firstFrame.isNull(); }));
    QCOMPARE(FindSpeakWindow(*f.doc, "carol"), static_cast<CSpeakWindowBase*>(second));
    f.server.Inject(ReceivedLine("carol", "this one", "Arial"));
    QVERIFY(WaitUntil([&] { return second->Conversation() == "carol: this one"; }));
    // A message from bob opens a new window for him.
    f.server.Inject(ReceivedLine("bob", "back", "Arial"));
    QVERIFY(WaitUntil([&] { return WindowFor(*f.doc, "bob") != nullptr; }));
    QCOMPARE(SpeakFrames().size(), 2);
    // Closing a conversation leaves the friends list open.
    QVERIFY(f.frame->isVisible());
}

void TestSpeakDispatch::NewConversation()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}));
    f.view->OpenSpeakWindow("bob");
    auto* bobFrame = qobject_cast<CSpeakWindowFrame*>(WindowFor(*f.doc, "bob")->window());
    bobFrame->CommandAction(ID_SPEAK_NEW)->trigger();
    CSpeakWindow* empty = WindowFor(*f.doc, "");
    QVERIFY(empty);
    QCOMPARE(empty->ToBox()->text(), QString());
    QCOMPARE(empty->window()->windowTitle(), QStringLiteral(" -- Instant Message"));
    QCOMPARE(SpeakFrames().size(), 2);
    // A second New finds the empty window and brings it forward.
    bobFrame->CommandAction(ID_SPEAK_NEW)->trigger();
    QCOMPARE(SpeakFrames().size(), 2);
    QCOMPARE(f.view->CurrentSpeakWindow(), static_cast<CSpeakWindowBase*>(empty));
    // Sending without a To name is refused.
    empty->InputBox()->setPlainText(QStringLiteral("hi"));
    empty->OnSend();
    QCOMPARE(f.boxes.Texts(), QStringList{QStringLiteral("Please enter a To party ID")});
}

void TestSpeakDispatch::UnblockFromTheServersList()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}));
    f.Action(ID_TOOLS_BLOCKEDUSERS)->trigger();
    auto asked = f.server.Expect(Cmd::BlockedList);
    QVERIFY(asked);
    QCOMPARE(asked->sender, std::string("anna"));

    QStringList shown;
    bool hiddenAfterSend = false;
    CBlockedDialogDriver driver([&](CBlockedUsersDlg* dialog) {
        shown = Listed(dialog);
        auto* list = dialog->findChild<QListWidget*>(QStringLiteral("blocked"));
        list->item(0)->setSelected(true);
        list->item(2)->setSelected(true);
        dialog->findChild<QPushButton*>(QStringLiteral("unblock"))->click();
        hiddenAfterSend = !dialog->isVisible() && dialog->IsRunning();
        // The confirmation comes while the dialog's own loop runs.
        f.server.Inject(Record(Cmd::Unblocked));
    });
    f.server.Inject(Record(Cmd::BlockedListAnswer, {}, {}, {"zed", "amy*", "bob"}));
    QVERIFY(WaitUntil([&] { return driver.Done() && !RunningDialog<CBlockedUsersDlg>(); }));
    QCOMPARE(shown, (QStringList{"amy*", "bob", "zed"}));
    QVERIFY(hiddenAfterSend);
    auto unblock = f.server.Expect(Cmd::Unblock);
    QVERIFY(unblock);
    CNetMessage expected;
    expected.sender = "anna";
    expected.command = Cmd::Unblock;
    expected.names = {"amy*", "zed"};
    QCOMPARE(WireBytes(*unblock), WireBytesAt(std::move(expected), *unblock));
    QCOMPARE(f.boxes.Texts(), QStringList{QStringLiteral("The selected users are now unblocked")});
    // The list is no longer held: the next command asks the server again.
    QVERIFY(!f.doc->IsBlockedListHeld());
    QVERIFY(f.doc->BlockedUsers().empty());
    f.Action(ID_TOOLS_BLOCKEDUSERS)->trigger();
    QVERIFY(f.server.Expect(Cmd::BlockedList));
}

void TestSpeakDispatch::UnblockFromTheHeldList()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}));
    // A first list from the server, cancelled: the list is now held.
    {
        CBlockedDialogDriver driver([](CBlockedUsersDlg* dialog) { dialog->reject(); });
        f.server.Inject(Record(Cmd::BlockedListAnswer, {}, {}, {"zed"}));
        QVERIFY(WaitUntil([&] { return driver.Done() && !RunningDialog<CBlockedUsersDlg>(); }));
    }
    QVERIFY(f.doc->IsBlockedListHeld());
    // Blocking from a conversation window adds to the held list.
    CChooserScope choosers;
    choosers->block = [](QWidget*) { return int(IDNO); };
    f.view->OpenSpeakWindow("bob");
    WindowFor(*f.doc, "bob")->OnBlockUser();
    QVERIFY(f.server.Expect(Cmd::BlockUntilLogoff));

    // The menu opens the dialog at once, without asking the server.
    QStringList shown;
    CBlockedDialogDriver driver([&](CBlockedUsersDlg* dialog) {
        shown = Listed(dialog);
        dialog->findChild<QListWidget*>(QStringLiteral("blocked"))->item(0)->setSelected(true);
        dialog->accept();
        f.server.Inject(Record(Cmd::Unblocked));
    });
    f.Action(ID_TOOLS_BLOCKEDUSERS)->trigger();
    QVERIFY(driver.Done());
    QVERIFY(!RunningDialog<CBlockedUsersDlg>());
    QCOMPARE(shown, (QStringList{"bob*", "zed"}));
    auto unblock = f.server.Expect(Cmd::Unblock);
    QVERIFY(unblock);
    QCOMPARE(unblock->names, std::vector<std::string>{"bob*"});
    QCOMPARE(f.boxes.Texts(), QStringList{QStringLiteral("The selected users are now unblocked")});
    QVERIFY(!f.doc->IsBlockedListHeld());
}

void TestSpeakDispatch::SecondListOpensNoSecondDialog()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}));
    // Asked twice before the first answer came: two answers.
    f.Action(ID_TOOLS_BLOCKEDUSERS)->trigger();
    f.Action(ID_TOOLS_BLOCKEDUSERS)->trigger();
    QVERIFY(f.server.Expect(Cmd::BlockedList));
    QVERIFY(f.server.Expect(Cmd::BlockedList));
    int open = 0;
    CBlockedDialogDriver driver([&](CBlockedUsersDlg* dialog) {
        // The second answer is handled inside this dialog's loop; a new
        // friend announced after it shows when it has been.
        f.server.Inject(Record(Cmd::NewFriendOnline, "carl"));
        QVERIFY(WaitUntil([&] { return f.FindItem(QStringLiteral("carl")) != nullptr; }));
        for (QWidget* window : QApplication::topLevelWidgets())
            if (qobject_cast<CBlockedUsersDlg*>(window) && window->isVisible())
                ++open;
        dialog->findChild<QListWidget*>(QStringLiteral("blocked"))->item(0)->setSelected(true);
        dialog->accept();
        f.server.Inject(Record(Cmd::Unblocked));
    });
    f.server.Inject(Record(Cmd::BlockedListAnswer, {}, {}, {"bob"}));
    f.server.Inject(Record(Cmd::BlockedListAnswer, {}, {}, {"bob"}));
    QVERIFY(WaitUntil([&] { return driver.Done() && !RunningDialog<CBlockedUsersDlg>(); }));
    QCOMPARE(open, 1);
    QVERIFY(f.server.Expect(Cmd::Unblock));
    QCOMPARE(f.boxes.Texts(), QStringList{QStringLiteral("The selected users are now unblocked")});
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<CModalDialog*>(window))
            QVERIFY(!dialog->IsRunning());
}

void TestSpeakDispatch::AboutIsTheApplications()
{
    CShellFixture f;
    QVERIFY(f.LogIn("anna", {"bob"}));
    f.view->OpenSpeakWindow("bob");
    auto* frame = qobject_cast<CSpeakWindowFrame*>(WindowFor(*f.doc, "bob")->window());
    QString shown;
    QTimer closer;
    connect(&closer, &QTimer::timeout, [&] {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            shown = dialog->windowTitle();
            dialog->reject();
        }
    });
    closer.start(20);
    QTimer::singleShot(10s, [] {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
    });
    frame->CommandAction(ID_SPEAK_ABOUT)->trigger();
    QCOMPARE(shown, QStringLiteral("About Murmurly"));
}

QTEST_MAIN(TestSpeakDispatch)
#include "tst_speakdispatch.moc"
