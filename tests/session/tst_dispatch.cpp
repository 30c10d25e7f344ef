// The dispatcher's other answers while logged in: presence, new friends,
// friend requests, instant messages, deleted friends, password changes, the
// server's two ways to end a session, and codes it must ignore.

#include "scratchsettings.h"
#include "sessionrig.h"
#include "waits.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

using namespace std::chrono_literals;

class TestDispatch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void presenceMovesFriendsAndCounts();
    void presenceForUnknownOrOtherCaseChangesNothing();
    void newFriendsCountOnlyTheirGroup();
    void friendRequestSentMessage();
    void serverTextsShowLiterally();
    void everyFriendRequestGetsItsOwnDialog();
    void messageToOpenWindowAppends();
    void messageFromNewCorrespondentOpensWindow();
    void messageWhenWindowCannotOpen();
    void deletedFriendsAskWithRecipientTakenBeforeTheBox();
    void passwordChangeEndsDialog_data();
    void passwordChangeEndsDialog();
    void passwordChangeWithoutDialogIsIgnored();
    void shutdownLogsOffWithoutLogoffRecord();
    void adminLogoffSendsLogoffThenTells();
    void unknownCodesAreIgnored();

private:
    CPalaverDoc& Doc() { return *m_rig->m_pDoc; }
    CFakeView& View() { return *m_rig->m_pView; }
    CFakeServer& Server() { return *m_rig->m_pServer; }
    CMessageBoxInterceptor& Boxes() { return *m_rig->m_pBoxes; }
    bool InjectAndSettle(const CNetMessage& msg) { return m_rig->InjectAndSettle(msg); }

    std::unique_ptr<CSessionRig> m_rig;
};

void TestDispatch::init()
{
    m_rig = std::make_unique<CSessionRig>();
    QVERIFY(m_rig->Connect());
    QVERIFY(m_rig->LogIn("ann", {"bob*", "cy", "dan"}));
}

void TestDispatch::cleanup()
{
    m_rig.reset();
}

void TestDispatch::presenceMovesFriendsAndCounts()
{
    QCOMPARE(View().OnlineGroup()->text(0), QStringLiteral("Online Friends (1)"));
    QCOMPARE(View().OfflineGroup()->text(0), QStringLiteral("Offline Friends (2)"));

    // A friend who comes online goes after those already there.
    QVERIFY(InjectAndSettle(Record("SN", "dan")));
    QCOMPARE(CFakeView::Children(View().OnlineGroup()),
             (QStringList{QStringLiteral("bob"), QStringLiteral("dan")}));
    QCOMPARE(CFakeView::Children(View().OfflineGroup()), QStringList{QStringLiteral("cy")});
    QCOMPARE(View().OnlineGroup()->text(0), QStringLiteral("Online Friends (2)"));
    QCOMPARE(View().OfflineGroup()->text(0), QStringLiteral("Offline Friends (1)"));
    QCOMPARE(View().OnlineGroup()->child(1)->data(0, kFriendKindRole).toInt(), int(KindOnlineFriend));
    QVERIFY(View().OnlineGroup()->font(0).bold());
    QVERIFY(View().OnlineGroup()->isExpanded());
    QVERIFY(View().OfflineGroup()->isExpanded());

    QVERIFY(InjectAndSettle(Record("SX", "bob")));
    QVERIFY(InjectAndSettle(Record("SX", "dan")));
    QCOMPARE(Doc().OnlineCount(), 0);
    QCOMPARE(Doc().OfflineCount(), 3);
    QCOMPARE(View().OfflineGroup()->child(2)->data(0, kFriendKindRole).toInt(), int(KindOfflineFriend));

    // A friend already shown offline stays where it is, and no count moves:
    // the captions keep matching the groups.
    QVERIFY(InjectAndSettle(Record("SX", "cy")));
    QCOMPARE(Doc().OnlineCount(), 0);
    QCOMPARE(Doc().OfflineCount(), 3);
    QCOMPARE(View().OnlineGroup()->text(0), QStringLiteral("Online Friends (0)"));
    QCOMPARE(View().OfflineGroup()->text(0), QStringLiteral("Offline Friends (3)"));
    QCOMPARE(CFakeView::Children(View().OfflineGroup()),
             (QStringList{QStringLiteral("cy"), QStringLiteral("bob"), QStringLiteral("dan")}));

    // Likewise an "SN" for a friend already online.
    QVERIFY(InjectAndSettle(Record("SN", "dan")));
    QVERIFY(InjectAndSettle(Record("SN", "dan")));
    QCOMPARE(Doc().OnlineCount(), 1);
    QCOMPARE(Doc().OfflineCount(), 2);
    QCOMPARE(View().OnlineGroup()->text(0), QStringLiteral("Online Friends (1)"));
}

void TestDispatch::presenceForUnknownOrOtherCaseChangesNothing()
{
    QVERIFY(InjectAndSettle(Record("SN", "zed")));
    QVERIFY(InjectAndSettle(Record("SN", "Cy")));
    QVERIFY(InjectAndSettle(Record("SX", "BOB")));
    QCOMPARE(CFakeView::Children(View().OnlineGroup()), QStringList{QStringLiteral("bob")});
    QCOMPARE(CFakeView::Children(View().OfflineGroup()),
             (QStringList{QStringLiteral("cy"), QStringLiteral("dan")}));
    QCOMPARE(Doc().OnlineCount(), 1);
    QCOMPARE(Doc().OfflineCount(), 2);
}

void TestDispatch::newFriendsCountOnlyTheirGroup()
{
    Server().Inject(Record("SFN", "eve"));
    QVERIFY(WaitUntil([&] { return Doc().OnlineCount() == 2; }));
    QCOMPARE(Doc().OfflineCount(), 2);
    QCOMPARE(View().OnlineGroup()->text(0), QStringLiteral("Online Friends (2)"));
    QCOMPARE(CFakeView::Children(View().OnlineGroup()),
             (QStringList{QStringLiteral("bob"), QStringLiteral("eve")}));

    Server().Inject(Record("SFX", "fay"));
    QVERIFY(WaitUntil([&] { return Doc().OfflineCount() == 3; }));
    QCOMPARE(Doc().OnlineCount(), 2);
    QCOMPARE(View().OfflineGroup()->text(0), QStringLiteral("Offline Friends (3)"));
    QCOMPARE(Boxes().Count(), 0);
}

void TestDispatch::friendRequestSentMessage()
{
    Server().Inject(Record("SF", "bob"));
    Server().Inject(Record("SFQ", "cy"));
    QVERIFY(Boxes().WaitForCount(2));
    QCOMPARE(Boxes().Texts(),
             (QStringList{QStringLiteral("A message has been sent to bob asking for his/her permission"),
                          QStringLiteral("A message has been sent to cy asking for his/her permission")}));
    QCOMPARE(Boxes().Last().caption, QStringLiteral("Murmurly"));
    QCOMPARE(Boxes().Last().icon, MessageIcon::Exclamation);
    QCOMPARE(Doc().OnlineCount(), 1);
    QCOMPARE(Doc().OfflineCount(), 2);
}

// Markup in a record reaches the one real message box and shows as typed.
void TestDispatch::serverTextsShowLiterally()
{
    const MessageBoxHandler interceptor = SetMessageBoxHandler({});
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    QTimer answer;
    connect(&answer, &QTimer::timeout, this, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            text = box->text();
            format = box->textFormat();
            box->button(QMessageBox::Ok)->click();
        }
    });
    answer.start(10);
    Server().Inject(Record("F", "User <b>x</b> does not exist"));
    const bool answered = WaitUntil([&] { return !text.isEmpty(); });
    SetMessageBoxHandler(interceptor);
    QVERIFY(answered);
    QCOMPARE(text, QStringLiteral("User <b>x</b> does not exist"));
    QCOMPARE(format, Qt::PlainText);
}

void TestDispatch::everyFriendRequestGetsItsOwnDialog()
{
    CNetMessage first = Record("SFA", "eve");
    first.text = "User eve wants to add you to his/her friends list";
    CNetMessage second = Record("SFA", "fay");
    second.text = "User fay wants to add you to his/her friends list\nhi";
    Server().Inject(first);
    Server().Inject(second);
    Server().Inject(Record("SFA", "gus"));
    QVERIFY(WaitUntil([&] { return View().m_acceptRequests.size() == 3; }));
    const auto& requests = View().m_acceptRequests;
    QCOMPARE(requests[0].requester, std::string("eve"));
    QCOMPARE(requests[0].invitation, first.text);
    QCOMPARE(requests[1].requester, std::string("fay"));
    QCOMPARE(requests[1].invitation, second.text);
    for (const auto& request : requests)
        QVERIFY(request.dialog && request.dialog->isVisible());

    // Each goes when it is closed.
    requests[0].dialog->close();
    requests[2].dialog->close();
    QVERIFY(WaitUntil([&] { return !requests[0].dialog && !requests[2].dialog; }));
    QVERIFY(requests[1].dialog);
    QCOMPARE(Boxes().Count(), 0);
}

void TestDispatch::messageToOpenWindowAppends()
{
    CFakeSpeakWindow other("cy");
    CFakeSpeakWindow window("bob");
    Doc().AddSpeakWindow(&other);
    Doc().AddSpeakWindow(&window);
    CNetMessage msg = Record("SM", "bob", "ann");
    msg.text = "hello";
    msg.faceName = "Arial";
    msg.font.lfWeight = 700;
    msg.font.lfItalic = 1;
    msg.color = 0x0000FF;
    msg.size = 240;
    Server().Inject(msg);
    QVERIFY(WaitUntil([&] { return window.m_lines.size() == 1; }));
    QVERIFY(View().m_openedSpeakWindows.empty());
    const CShownLine& line = window.m_lines[0];
    QCOMPARE(line.text, std::string("hello"));
    QCOMPARE(line.faceName, std::string("Arial"));
    QCOMPARE(line.font.lfWeight, 700);
    QCOMPARE(line.font.lfItalic, uint8_t(1));
    QCOMPARE(line.color, 0x0000FFu);
    QCOMPARE(line.size, 240);
    QVERIFY(other.m_lines.empty());
}

void TestDispatch::messageFromNewCorrespondentOpensWindow()
{
    CNetMessage msg = Record("SM", "cy", "ann");
    msg.text = "first";
    msg.faceName = "Courier";
    msg.size = 200;
    Server().Inject(msg);
    msg.text = "second";
    Server().Inject(msg);
    QVERIFY(WaitUntil(
        [&] { return !View().m_speakWindows.empty() && View().m_speakWindows[0]->m_lines.size() == 2; }));
    QCOMPARE(View().m_openedSpeakWindows, std::vector<std::string>{"cy"});
    CFakeSpeakWindow& window = *View().m_speakWindows[0];
    QCOMPARE(window.To(), std::string("cy"));
    QCOMPARE(window.m_lines[0].text, std::string("first"));
    QCOMPARE(window.m_lines[0].faceName, std::string("Courier"));
    QCOMPARE(window.m_lines[0].size, 200);
    QCOMPARE(window.m_lines[1].text, std::string("second"));
    // Opened, it comes forward without the focus; found, it stays as it is.
    QCOMPARE(window.m_nShownWithoutFocus, 1);
    QCOMPARE(window.m_nActivated, 0);

    // Names are matched exactly: "Cy" is someone else.
    Server().Inject(Record("SM", "Cy", "ann"));
    QVERIFY(WaitUntil([&] { return View().m_speakWindows.size() == 2; }));
    QCOMPARE(View().m_speakWindows[1]->m_lines.size(), std::size_t(1));
}

void TestDispatch::messageWhenWindowCannotOpen()
{
    View().m_bFailSpeakWindow = true;
    CFakeSpeakWindow stale("dan");
    Doc().AddSpeakWindow(&stale);
    Server().Inject(Record("SM", "cy", "ann"));
    QVERIFY(Boxes().WaitForCount(1));
    QCOMPARE(Boxes().Last().text, QStringLiteral("Could not create speak window due to internal error"));
    QVERIFY(m_rig->Settle());
    QVERIFY(stale.m_lines.empty());
}

void TestDispatch::deletedFriendsAskWithRecipientTakenBeforeTheBox()
{
    // Another record arrives while the box is open and takes over the
    // receive record; the new list is still asked for as ann.
    const int rebuilds = View().m_nRebuilds;
    Boxes().SetNestedLoop(3s, [&] { return View().m_openedSpeakWindows.size() == 1; });
    Server().Inject(Record("SD", {}, "ann"));
    Server().Inject(Record("SM", "zoe", "someone-else"));
    QVERIFY(m_rig->ExpectBuilt(Record("SL", "ann")));
    QCOMPARE(Boxes().Texts(), QStringList{QStringLiteral("Selected Friends deleted successfully")});
    QCOMPARE(View().m_nRebuilds, rebuilds + 1);
    QCOMPARE(Doc().OnlineCount(), 0);
    QCOMPARE(Doc().OfflineCount(), 0);
    QCOMPARE(CFakeView::Children(View().OfflineGroup()), QStringList());

    // The new list refreshes the tree without "SLO".
    Server().Inject(Record("SLU", {}, "ann", {"cy"}));
    QVERIFY(WaitUntil([&] { return Doc().OfflineCount() == 1; }));
    QVERIFY(NothingSentBefore(Doc(), Server()));
}

void TestDispatch::passwordChangeEndsDialog_data()
{
    QTest::addColumn<int>("remember");
    QTest::addColumn<QString>("stored"); // the remembered password afterwards
    QTest::newRow("remembered") << 1 << QStringLiteral("newpass1");
    QTest::newRow("notRemembered") << 0 << QString();
}

// The new password becomes the session's, and the remembered one too, so
// that the next automatic login works.
void TestDispatch::passwordChangeEndsDialog()
{
    QFETCH(int, remember);
    QFETCH(QString, stored);
    Doc().Settings().m_nRememberLogin = remember;
    Doc().Settings().m_strUserName = "ann";
    Doc().Settings().m_strPassword = remember ? "secret1" : "";
    Doc().SaveSettings(SettingsLogin);

    CFakeChangePasswordDlg dlg;
    dlg.m_strRetyped = "newpass1";
    dlg.Await(Doc());
    const int result = RunModalWithScript(dlg, [&] {
        Doc().Send(Record("C", "ann", "newpass1"));
        dlg.hide();
        QVERIFY(Server().Expect("C"));
        Server().Inject(Record("SC"));
    });
    QCOMPARE(result, 0);
    QCOMPARE(Doc().Password(), std::string("newpass1"));
    QCOMPARE(OpenSettingsRoot()->value(QStringLiteral("Settings/Login/Password")).toString(), stored);
    QVERIFY(Doc().IsLoggedIn());
    QCOMPARE(Boxes().Texts(), QStringList{QStringLiteral("Password changed successfully")});
}

void TestDispatch::passwordChangeWithoutDialogIsIgnored()
{
    QVERIFY(InjectAndSettle(Record("SC")));
    {
        auto gone = std::make_unique<CFakeChangePasswordDlg>();
        gone->Await(Doc());
    }
    QVERIFY(InjectAndSettle(Record("SC")));
    QCOMPARE(Doc().Password(), std::string("secret1"));
    QCOMPARE(Boxes().Count(), 0);
}

void TestDispatch::shutdownLogsOffWithoutLogoffRecord()
{
    CFakeSpeakWindow window("bob");
    Doc().AddSpeakWindow(&window);
    QSignalSpy stateSpy(&Doc(), &CPalaverDoc::StateChanged);
    bool loggedInAtBox = false;
    Boxes().SetOnShow([&](const CMessageBoxRequest&) { loggedInAtBox = Doc().IsLoggedIn(); });
    Server().Inject(Record("Z"));
    QVERIFY(Boxes().WaitForCount(1));
    QVERIFY(WaitUntil([&] { return !Doc().IsLoggedIn(); }));
    QCOMPARE(Boxes().Texts(), QStringList{QStringLiteral("Server is shutting down. Logging you off ...")});
    QVERIFY(loggedInAtBox);
    QVERIFY(NothingSentBefore(Doc(), Server()));
    // The socket is kept; the connected state is clear.
    QVERIFY(Doc().Connection().Socket() != nullptr);
    QCOMPARE(Doc().Connection().IsConnected(), 0);
    QCOMPARE(Doc().Title(), QStringLiteral("Not logged in"));
    QCOMPARE(Doc().OnlineCount() + Doc().OfflineCount(), 0);
    QVERIFY(FindSpeakWindow(Doc(), "bob") == nullptr);
    QVERIFY(stateSpy.count() >= 1);
    // The log-off keeps who the user was.
    QCOMPARE(Doc().UserName(), std::string("ann"));
    QCOMPARE(Doc().Password(), std::string("secret1"));
}

void TestDispatch::adminLogoffSendsLogoffThenTells()
{
    bool loggedInAtBox = true;
    bool socketAtBox = true;
    Boxes().SetOnShow([&](const CMessageBoxRequest&) {
        loggedInAtBox = Doc().IsLoggedIn();
        socketAtBox = Doc().Connection().Socket() != nullptr;
    });
    Server().Inject(Record("ZX"));
    QVERIFY(m_rig->ExpectBuilt(Record("X", "ann", "ann")));
    QVERIFY(Boxes().WaitForCount(1));
    QCOMPARE(Boxes().Texts(), QStringList{QStringLiteral("Admin has logged you off ...")});
    QVERIFY(!loggedInAtBox);
    QVERIFY(!socketAtBox);
    QVERIFY(Server().WaitForClientClosed());
    QCOMPARE(Doc().Connection().IsConnected(), 0);

    // Login reconnects, since the connection reads as not connected.
    QVERIFY(m_rig->Connect());
    QCOMPARE(Server().AcceptedCount(), 2);
}

void TestDispatch::unknownCodesAreIgnored()
{
    const int rebuilds = View().m_nRebuilds;
    for (const char* code : {"", "A", "L", "M", "X", "ZY", "ZXX", "Zx", "z", "S", "SQ", "SZ", "sN"}) {
        CNetMessage msg = Record(code, "bob", "ann", {"x*"});
        msg.text = "t";
        QVERIFY2(InjectAndSettle(msg), code);
    }
    QCOMPARE(Boxes().Count(), 0);
    QVERIFY(NothingSentBefore(Doc(), Server()));
    QVERIFY(Doc().IsLoggedIn());
    QVERIFY(Doc().IsConnected());
    QCOMPARE(Doc().OnlineCount(), 1);
    QCOMPARE(Doc().OfflineCount(), 2);
    QCOMPARE(View().m_nRebuilds, rebuilds);
    QVERIFY(View().m_openedSpeakWindows.empty());
    QVERIFY(Doc().OfflineMessages().empty());
    QVERIFY(View().m_blockedRuns.empty());
}

SESSION_TEST_MAIN(TestDispatch)
#include "tst_dispatch.moc"
