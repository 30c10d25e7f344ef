// The session's life cycle: its start, the log-off and what it clears, the
// close of the connection, a connection the server drops, and a view that
// goes before the session.

#include "connectwait.h"
#include "scratchsettings.h"
#include "sessionrig.h"
#include "waits.h"

#include <QSignalSpy>
#include <QtTest>

using namespace std::chrono_literals;

class TestLogoff : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startLoadsSettingsAndConnectsOnce();
    void logoffSendsLogoffAndClearsInOrder();
    void logoffWhenNotConnectedSendsNothing();
    void closeConnectionClearsTreeAndFlags();
    void failedReconnectLeavesNotConnected();
    void lostConnectionLeavesLoggedOffAndReconnects();
    void lostConnectionShowsWaitingDialogsAgain();
    void viewThatGoesFirstIsForgotten();
    void speakWindowsAreFoundByExactName();

private:
    CPalaverDoc& Doc() { return *m_rig->m_pDoc; }
    CFakeView& View() { return *m_rig->m_pView; }
    CFakeServer& Server() { return *m_rig->m_pServer; }
    CMessageBoxInterceptor& Boxes() { return *m_rig->m_pBoxes; }

    std::unique_ptr<CSessionRig> m_rig;
};

void TestLogoff::init()
{
    m_rig = std::make_unique<CSessionRig>();
}

void TestLogoff::cleanup()
{
    m_rig.reset();
}

void TestLogoff::startLoadsSettingsAndConnectsOnce()
{
    {
        std::unique_ptr<QSettings> store = OpenSettingsRoot();
        store->setValue(QStringLiteral("Settings/ColorFonts/Color"), 0x00ABCDEF);
    }
    QSignalSpy stateSpy(&Doc(), &CPalaverDoc::StateChanged);
    QSignalSpy connectionSpy(&Doc(), &CPalaverDoc::ConnectionChanged);
    QVERIFY(Doc().OnNewDocument());
    QCOMPARE(Doc().Title(), QStringLiteral("Not logged in"));
    QCOMPARE(Doc().Settings().m_nColor, 0x00ABCDEFu);
    QVERIFY(WaitForConnect(Doc().Connection()));
    QVERIFY(Server().WaitForClient());
    QCOMPARE(stateSpy.count(), 1);
    QCOMPARE(connectionSpy.count(), 1);
    QVERIFY(!Doc().IsLoggedIn());

    QVERIFY(Doc().OnNewDocument());
    // The same connection still answers for the session.
    QVERIFY(NothingSentBefore(Doc(), Server()));
    QCOMPARE(Server().AcceptedCount(), 1);
    OpenSettingsRoot()->remove(QStringLiteral("Settings"));
}

void TestLogoff::logoffSendsLogoffAndClearsInOrder()
{
    QVERIFY(m_rig->Connect());
    QVERIFY(m_rig->LogIn("ann", {"bob*", "cy"}));
    QVERIFY(m_rig->InjectAndSettle(Record("O", "bob", "ann")));
    Doc().AddBlockedUser("zed");
    CFakeSpeakWindow window("bob");
    Doc().AddSpeakWindow(&window);

    // By the time the tree is cleared, the other lists are empty already.
    bool othersEmptyAtTreeClear = false;
    const int rebuilds = View().m_nRebuilds;
    QSignalSpy stateSpy(&Doc(), &CPalaverDoc::StateChanged);
    QSignalSpy titleSpy(&Doc(), &CPalaverDoc::TitleChanged);
    const QMetaObject::Connection watch =
        QObject::connect(View().m_pTree->model(), &QAbstractItemModel::modelReset, &Doc(), [&] {
            othersEmptyAtTreeClear = Doc().OfflineMessages().empty() && Doc().BlockedUsers().empty() &&
                                     FindSpeakWindow(Doc(), "bob") == nullptr && !Doc().IsLoggedIn() &&
                                     !Doc().IsConnected();
        });

    QVERIFY(Doc().SaveModified());
    QObject::disconnect(watch);
    QVERIFY(m_rig->ExpectBuilt(Record("X", "ann", "ann")));
    QVERIFY(Server().WaitForClientClosed());
    QVERIFY(Doc().Connection().Socket() == nullptr);
    QVERIFY(!Doc().IsConnected());
    QVERIFY(!Doc().IsLoggedIn());
    QVERIFY(othersEmptyAtTreeClear);
    QCOMPARE(View().m_nRebuilds, rebuilds + 1);
    QCOMPARE(Doc().OnlineCount(), 0);
    QCOMPARE(View().OnlineGroup()->text(0), QStringLiteral("Online Friends"));
    QCOMPARE(Doc().Title(), QStringLiteral("Not logged in"));
    QCOMPARE(titleSpy.count(), 1);
    QVERIFY(stateSpy.count() >= 1);
    QCOMPARE(Doc().UserName(), std::string("ann"));
    QCOMPARE(Doc().Password(), std::string("secret1"));
    QCOMPARE(Boxes().Count(), 0);
}

void TestLogoff::logoffWhenNotConnectedSendsNothing()
{
    QVERIFY(m_rig->Connect());
    Doc().Connection().SetConnected(0);
    QVERIFY(Doc().SaveModified());
    QVERIFY(NothingSentBefore(Doc(), Server()));
    QVERIFY(Doc().Connection().Socket() != nullptr);
    QVERIFY(!Doc().IsConnected());
}

void TestLogoff::closeConnectionClearsTreeAndFlags()
{
    QVERIFY(m_rig->Connect());
    QVERIFY(m_rig->LogIn("ann", {"bob*"}));
    QSignalSpy connectionSpy(&Doc(), &CPalaverDoc::ConnectionChanged);
    Doc().CloseConnection();
    QVERIFY(Server().WaitForClientClosed());
    QCOMPARE(Doc().Connection().IsConnected(), 0);
    QVERIFY(Doc().Connection().Socket() == nullptr);
    QCOMPARE(Doc().OnlineCount(), 0);
    QCOMPARE(CFakeView::Children(View().OnlineGroup()), QStringList());
    QCOMPARE(connectionSpy.count(), 1);
    QCOMPARE(connectionSpy.at(0).at(0).toBool(), false);
    QVERIFY(NothingSentBefore(Doc(), Server()));
}

void TestLogoff::failedReconnectLeavesNotConnected()
{
    QVERIFY(m_rig->Connect());
    // A server that has gone: the connection must not claim to be connected.
    const quint16 port = Server().Port();
    m_rig->m_pServer.reset();
    m_rig->m_pDir->WriteConfig("127.0.0.1", port);
    QVERIFY(Doc().OpenConnection());
    QVERIFY(!WaitForConnect(Doc().Connection()));
    QCOMPARE(Doc().Connection().IsConnected(), 0);
    QVERIFY(Doc().Connection().Send(Record("X")) == false);
}

void TestLogoff::lostConnectionLeavesLoggedOffAndReconnects()
{
    QVERIFY(m_rig->Connect());
    QVERIFY(m_rig->LogIn("ann", {"bob*", "cy"}));
    Doc().AddBlockedUser("zed");
    QSignalSpy stateSpy(&Doc(), &CPalaverDoc::StateChanged);
    QSignalSpy connectionSpy(&Doc(), &CPalaverDoc::ConnectionChanged);

    Server().CloseClient();
    QVERIFY(Boxes().WaitForCount(1));
    QCOMPARE(Boxes().Texts(), QStringList{QStringLiteral("Connection to server lost")});
    QCOMPARE(Boxes().Last().icon, MessageIcon::Exclamation);
    QVERIFY(WaitUntil([&] { return !Doc().IsLoggedIn(); }));
    QCOMPARE(Doc().Connection().IsConnected(), 0);
    QVERIFY(Doc().Connection().Socket() == nullptr);
    QCOMPARE(Doc().Title(), QStringLiteral("Not logged in"));
    QCOMPARE(Doc().OnlineCount() + Doc().OfflineCount(), 0);
    QVERIFY(Doc().BlockedUsers().empty());
    QVERIFY(stateSpy.count() >= 1);
    QCOMPARE(connectionSpy.count(), 1);
    Spin(50ms);
    QCOMPARE(Boxes().Count(), 1);

    // The Login command reconnects because the connection reads as closed;
    // a new login works as the first did.
    QCOMPARE(Doc().Connection().IsConnected(), 0);
    QVERIFY(m_rig->Connect());
    QCOMPARE(Server().AcceptedCount(), 2);
    QVERIFY(m_rig->LogIn("ann", {"bob"}));
    QCOMPARE(Doc().OfflineCount(), 1);
}

void TestLogoff::lostConnectionShowsWaitingDialogsAgain()
{
    QVERIFY(m_rig->Connect());
    CFakeLoginDlg login;
    login.AwaitAnswer(Doc());
    bool shownAgain = false;
    const int result = RunModalWithScript(login, [&] {
        Doc().Send(Record("L", "ann", "pw12", {"ann", "pw12", "L"}));
        login.hide();
        QVERIFY(Server().Expect("L"));
        Server().CloseClient();
        QVERIFY(Boxes().WaitForCount(1));
        shownAgain = WaitUntil([&] { return login.isVisible(); }, 2s) && login.IsRunning();
        login.EndDialog(IDCANCEL);
    });
    Doc().EndLogin();
    QVERIFY(shownAgain);
    QCOMPARE(result, int(IDCANCEL));
    QVERIFY(!Doc().IsLoggedIn());
}

void TestLogoff::viewThatGoesFirstIsForgotten()
{
    QVERIFY(m_rig->Connect());
    QVERIFY(m_rig->LogIn("ann", {"bob*"}));
    m_rig->m_pView.reset();
    QVERIFY(Doc().View() == nullptr);
    // Everything that would reach the view or its tree is skipped.
    Server().Inject(Record("SN", "bob"));
    Server().Inject(Record("SLU", {}, "ann", {"cy"}));
    Server().Inject(Record("SM", "bob", "ann"));
    Server().Inject(Record("SD", {}, "ann"));
    QVERIFY(m_rig->ExpectBuilt(Record("SL", "ann")));
    QVERIFY(Doc().FindFriendItem("bob") == nullptr);
    QVERIFY(Doc().SaveModified());
    QVERIFY(m_rig->ExpectBuilt(Record("X", "ann", "ann")));
}

void TestLogoff::speakWindowsAreFoundByExactName()
{
    CFakeSpeakWindow first("bob");
    CFakeSpeakWindow second("bob");
    CFakeSpeakWindow other("Bob");
    Doc().AddSpeakWindow(&first);
    Doc().AddSpeakWindow(&second);
    Doc().AddSpeakWindow(&other);
    QCOMPARE(FindSpeakWindow(Doc(), "bob"), &first);
    QCOMPARE(FindSpeakWindow(Doc(), "Bob"), &other);
    QVERIFY(FindSpeakWindow(Doc(), "BOB") == nullptr);

    // Entries go by window, not by name.
    Doc().RemoveSpeakWindow(&first);
    QCOMPARE(FindSpeakWindow(Doc(), "bob"), &second);
    CFakeSpeakWindow unlisted("bob");
    Doc().RemoveSpeakWindow(&unlisted);
    QCOMPARE(FindSpeakWindow(Doc(), "bob"), &second);

    // A window that is destroyed without saying so is skipped.
    {
        auto gone = std::make_unique<CFakeSpeakWindow>("cy");
        Doc().AddSpeakWindow(gone.get());
    }
    QVERIFY(FindSpeakWindow(Doc(), "cy") == nullptr);
}

SESSION_TEST_MAIN(TestLogoff)
#include "tst_logoff.moc"
