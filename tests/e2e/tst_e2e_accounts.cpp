// End to end, with the real server: register through the login dialog's
// registration dialog, log in by hand, disconnect, log in as someone else.
#include "clientsocket.h"
#include "clientstack.h"
#include "commandids.h"
#include "connectwait.h"
#include "rawclient.h"
#include "serverprocess.h"
#include "waits.h"

#include <QAction>
#include <QPushButton>
#include <QTest>

using namespace std::chrono_literals;

class TestE2eAccounts : public QObject
{
    Q_OBJECT

private slots:
    void RegisterLoginDisconnectSwitchUser();
};

void TestE2eAccounts::RegisterLoginDisconnectSwitchUser()
{
    CServerProcess server;
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    CClientStack client(server.Port());
    QVERIFY(client.Doc().IsConnected());
    QCOMPARE(client.Frame().Action(ID_FILE_CHANGEUSER)->text(), QStringLiteral("&Login"));

    // A new account, then the login in the same dialog.
    QVERIFY(client.RegisterAndLogin("anna", "secret1"));
    QVERIFY(client.Boxes().Texts().contains(QStringLiteral("Registration success, proceed to Login")));
    QCOMPARE(client.Frame().windowTitle(), QStringLiteral("Murmurly - anna"));
    QCOMPARE(client.Frame().Action(ID_FILE_CHANGEUSER)->text(), QStringLiteral("&Change User"));
    QCOMPARE(client.GroupCaption(true), QStringLiteral("Online Friends"));
    QVERIFY(!RunningDialog<CLoginDlg>());

    // bob, a second user, will write to anna while she is away.
    CRawClient bob(server.Port());
    QVERIFY(bob.Register("bob", "pw2"));
    QVERIFY(bob.Login("bob", "pw2"));

    // Disconnect: logged off, connected again, Login offered.
    client.RunCommand(ID_FILE_DISCONNECT);
    QVERIFY(!client.Doc().IsLoggedIn());
    QVERIFY(WaitForConnect(client.Doc().Connection()));
    // The old socket closes only after "X" has gone out on it.
    QVERIFY(WaitUntil([&] { return client.Doc().Connection().findChildren<CClientSocket*>().isEmpty(); }));
    QCOMPARE(client.Frame().Action(ID_FILE_CHANGEUSER)->text(), QStringLiteral("&Login"));
    QCOMPARE(client.Frame().windowTitle(), QStringLiteral("Murmurly - Not logged in"));

    // Logged off for real: a message to anna is now kept for later.
    QVERIFY(bob.Send("M", "bob", "anna", "while you were out"));

    // Log in as someone else.
    CRawClient registrar(server.Port());
    QVERIFY(registrar.Register("dave", "pw4"));
    QVERIFY(client.LoginByHand("dave", "pw4"));
    QCOMPARE(client.Frame().windowTitle(), QStringLiteral("Murmurly - dave"));

    // And back to anna with Change User while logged in: the session logs
    // dave off on a fresh connection first. anna's stored message arrives
    // and opens the offline messages window.
    QVERIFY(client.LoginByHand("anna", "secret1"));
    QCOMPARE(client.Frame().windowTitle(), QStringLiteral("Murmurly - anna"));
    QVERIFY(WaitUntil([&] { return client.View().OfflineMessagesWindow() != nullptr; }));
    QCOMPARE(client.Doc().OfflineMessages().size(), std::size_t(1));
    QCOMPARE(client.Doc().OfflineMessages()[0]->text, std::string("while you were out"));
    QCOMPARE(client.View().OfflineMessagesWindow()->window()->windowTitle(),
             QStringLiteral("Offline Messages -- anna"));

    // A wrong password: the dialog says so and stays; the guard cancels it.
    client.Boxes().Clear();
    client.RunCommand(ID_FILE_CHANGEUSER, [&] {
        CLoginDlg* login = RunningDialog<CLoginDlg>();
        QVERIFY(WaitUntil([&] { return login && login->isVisible(); }));
        CClientStack::Type(login, "userName", "anna");
        CClientStack::Type(login, "password", "wrong1");
        CClientStack::Button(login, "login")->click();
        QVERIFY(WaitUntil([&] { return client.Boxes().Count() > 0 && login->isVisible(); }));
        CClientStack::Button(login, "exit")->click();
    });
    QCOMPARE(client.Boxes().Texts(), QStringList{QStringLiteral("Invalid user name or password")});
    QVERIFY(!client.Doc().IsLoggedIn());
}

QTEST_MAIN(TestE2eAccounts)
#include "tst_e2e_accounts.moc"
