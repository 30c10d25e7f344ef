// The session against the real server, run in this process on a free
// loopback port: ann is this session, with fake dialogs and a fake view;
// bob is a plain protocol client. One session from registration to the
// server's shutdown, and offline messages: the one deleted is not delivered
// twice, the one kept comes back.

#include "connectwait.h"
#include "scratchsettings.h"
#include "serverfixture.h"
#include "sessionrig.h"
#include "waits.h"

#include <QtTest>

using namespace std::chrono_literals;

class TestSessionServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void wholeSession();
    void onlyTheDeletedOfflineMessageIsForgotten();

private:
    // ann logs in through the login dialog; true once logged in.
    bool LogIn(const std::string& password);
    CNetMessage Login(const std::string& user, const std::string& password) const;

    std::unique_ptr<CTempDir> m_pDbDir;
    std::unique_ptr<CInProcessServer> m_pServer;
    std::unique_ptr<CConfigDir> m_pConfig;
    std::unique_ptr<CMessageBoxInterceptor> m_pBoxes;
    std::unique_ptr<CPalaverDoc> m_pDoc;
    std::unique_ptr<CFakeView> m_pView;
};

void TestSessionServer::init()
{
    m_pDbDir = std::make_unique<CTempDir>();
    m_pServer = std::make_unique<CInProcessServer>((m_pDbDir->Path() / "murmurly.db").string());
    m_pConfig = std::make_unique<CConfigDir>();
    QVERIFY(m_pConfig->WriteConfig("127.0.0.1", m_pServer->Port()));
    m_pBoxes = std::make_unique<CMessageBoxInterceptor>();
    m_pDoc = std::make_unique<CPalaverDoc>(ZeroPauses());
    ConnectSessionPrompts(*m_pDoc);
    m_pView = std::make_unique<CFakeView>(*m_pDoc);
}

void TestSessionServer::cleanup()
{
    m_pView.reset();
    m_pDoc.reset();
    m_pBoxes.reset();
    m_pServer.reset();
    m_pConfig.reset();
    m_pDbDir.reset();
}

CNetMessage TestSessionServer::Login(const std::string& user, const std::string& password) const
{
    return Record("L", user, password, {user, password, "L"});
}

bool TestSessionServer::LogIn(const std::string& password)
{
    CFakeLoginDlg login;
    login.m_strUserName = "ann";
    login.m_strPassword = password;
    login.m_bRemember = 1;
    login.AwaitAnswer(*m_pDoc);
    const int result = RunModalWithScript(login, [&] {
        m_pDoc->Send(Login("ann", password));
        login.hide();
    });
    m_pDoc->EndLogin();
    return result == 0 && WaitUntil([&] { return m_pDoc->IsLoggedIn(); });
}

void TestSessionServer::wholeSession()
{
    CPalaverDoc& doc = *m_pDoc;
    CFakeView& view = *m_pView;
    CTestClient bob(m_pServer->Port());
    bob.Register("bob", "pw1");
    bob.Login("bob", "pw1");

    QVERIFY(doc.OnNewDocument());
    QVERIFY(WaitForConnect(doc.Connection()));

    // Registration, through the login dialog's registration dialog.
    CFakeLoginDlg login;
    CFakeModalDlg registration;
    login.m_pRegistrationDlg = &registration;
    login.AwaitAnswer(doc);
    // What the login dialog's Register does.
    QObject::connect(&doc, &CPalaverDoc::Registered, &registration, &CModalDialog::EndWithMessage);
    doc.BeginRegistration();
    QCOMPARE(RunModalWithScript(registration,
                                [&] {
                                    doc.Send(Record("R", "ann", "pw2"));
                                    registration.hide();
                                }),
             0);
    doc.EndRegistration();
    doc.EndLogin();
    QCOMPARE(m_pBoxes->Texts(), QStringList{QStringLiteral("Registration success, proceed to Login")});

    // A message while ann is away is stored, and comes with her login.
    bob.Send("M", "bob", "ann", "while you were away");
    QVERIFY(bob.ExpectNoRecord());
    QVERIFY(LogIn("pw2"));
    QCOMPARE(doc.Title(), QStringLiteral("ann"));
    QCOMPARE(doc.UserName(), std::string("ann"));
    QCOMPARE(doc.Settings().m_strUserName, std::string("ann"));
    QVERIFY(WaitUntil([&] { return view.m_offlineFills.size() == 1; }));
    QCOMPARE(view.m_offlineFills[0], std::vector<std::string>{"bob"});
    QCOMPARE(doc.OfflineMessages()[0]->text, std::string("while you were away"));

    // A friend request, accepted with a word.
    doc.Send(Record("AF", "ann", "bob"));
    CNetMessage request = bob.Expect("SFA");
    QCOMPARE(request.sender, std::string("ann"));
    QVERIFY(m_pBoxes->WaitForCount(2));
    QCOMPARE(m_pBoxes->Last().text,
             QStringLiteral("A message has been sent to bob asking for his/her permission"));
    bob.Send("AFA", "bob", "ann", "sure");
    QVERIFY(WaitUntil([&] { return doc.OnlineCount() == 1 && !view.m_speakWindows.empty(); }));
    QCOMPARE(CFakeView::Children(view.OnlineGroup()), QStringList{QStringLiteral("bob")});
    QVERIFY(WaitUntil([&] { return view.m_speakWindows[0]->m_lines.size() == 1; }));
    QCOMPARE(view.m_speakWindows[0]->To(), std::string("bob"));
    QCOMPARE(view.m_speakWindows[0]->m_lines[0].text, std::string("sure"));

    // A live message goes to the open window.
    CNetMessage line = Record("M", "bob", "ann");
    line.text = "hello";
    line.faceName = "Arial";
    line.size = 240;
    line.color = 0xFF;
    bob.Send(line);
    QVERIFY(WaitUntil([&] { return view.m_speakWindows[0]->m_lines.size() == 2; }));
    QCOMPARE(view.m_speakWindows[0]->m_lines[1].faceName, std::string("Arial"));
    QCOMPARE(view.m_speakWindows[0]->m_lines[1].size, 240);
    QCOMPARE(view.m_speakWindows.size(), std::size_t(1));

    // Blocked until log-off, listed, unblocked from the dialog.
    doc.Send(Record("BU", "ann", "bob"));
    view.m_onBlockedInit = [&](CFakeModalDlg& dlg) {
        QMetaObject::invokeMethod(
            &dlg,
            [&] {
                doc.Send(Record("BUR", "ann", {}, {"bob*"}));
                dlg.hide();
            },
            Qt::QueuedConnection);
    };
    doc.Send(Record("BUL", "ann"));
    QVERIFY(WaitUntil([&] { return view.m_blockedResults.size() == 1; }));
    QCOMPARE(view.m_blockedRuns[0], std::vector<std::string>{"bob*"});
    QCOMPARE(view.m_blockedResults[0], 0);
    QCOMPARE(m_pBoxes->Last().text, QStringLiteral("The selected users are now unblocked"));
    QVERIFY(doc.BlockedUsers().empty());

    // bob leaves: his item moves to the offline group.
    bob.Send("X", "bob", "bob");
    QVERIFY(WaitUntil([&] { return doc.OfflineCount() == 1; }));
    QCOMPARE(doc.OnlineCount(), 0);

    // The server stops: "Z" logs the session off, and nothing else is said.
    const int boxes = m_pBoxes->Count();
    m_pServer->Stop();
    QVERIFY(m_pBoxes->WaitForCount(boxes + 1));
    QCOMPARE(m_pBoxes->Last().text, QStringLiteral("Server is shutting down. Logging you off ..."));
    QVERIFY(WaitUntil([&] { return !doc.IsLoggedIn(); }));
    QVERIFY(!doc.IsConnected());
    Spin(200ms);
    QCOMPARE(m_pBoxes->Count(), boxes + 1);
}

void TestSessionServer::onlyTheDeletedOfflineMessageIsForgotten()
{
    CPalaverDoc& doc = *m_pDoc;
    CFakeView& view = *m_pView;
    {
        CTestClient bob(m_pServer->Port());
        bob.Register("bob", "pw1");
        bob.Register("ann", "pw2");
        bob.Login("bob", "pw1");
        bob.Send("M", "bob", "ann", "one");
        bob.Send("M", "bob", "ann", "two");
        QVERIFY(bob.ExpectNoRecord());
    }
    QVERIFY(doc.OpenConnection() && WaitForConnect(doc.Connection()));
    QVERIFY(LogIn("pw2"));
    QVERIFY(WaitUntil([&] { return view.m_offlineFills.size() == 1; }));
    QCOMPARE(doc.OfflineMessages().size(), std::size_t(2));

    // Deleting "one" echoes its id back as "ON"; "two" is left alone, and
    // only it comes back at the next login.
    doc.RemoveOfflineMessage(0);
    QVERIFY(doc.SaveModified());
    QVERIFY(doc.OfflineMessages().empty());
    QVERIFY(doc.OpenConnection() && WaitForConnect(doc.Connection()));
    QVERIFY(LogIn("pw2"));
    QVERIFY(WaitUntil([&] { return view.m_offlineFills.size() == 2; }));
    QCOMPARE(doc.OfflineMessages().size(), std::size_t(1));
    QCOMPARE(doc.OfflineMessages()[0]->text, std::string("two"));
}

SESSION_TEST_MAIN(TestSessionServer)
#include "tst_session_server.moc"
