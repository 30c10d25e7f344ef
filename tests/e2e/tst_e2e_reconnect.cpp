// End to end, with the real server: a remembered automatic login brings the
// session back by itself after the server went away (a config.txt missing
// meanwhile is told once), a line typed while it was away arrives once and
// shows delivered, and nothing comes back after Disconnect or after the
// same user logged in elsewhere ("ZX").
#include "clientstack.h"
#include "commandids.h"
#include "commands.h"
#include "connectwait.h"
#include "rawclient.h"
#include "serverprocess.h"
#include "speakwindow.h"
#include "waits.h"

#include <QFile>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTextEdit>

#include <csignal>
#include <string>

using namespace std::chrono_literals;

namespace {

CSessionTiming FastReconnect()
{
    CSessionTiming timing;
    timing.reconnect = CReconnectTiming{20ms, 200ms, 0.2};
    return timing;
}

// A server whose database and port outlive the process, so that it can be
// started again where it was.
struct CRestartableServer
{
    CTempDir dir;
    std::unique_ptr<CServerProcess> process;

    void Start(uint16_t port)
    {
        // Fast hashing is a property of a new database only.
        std::vector<std::string> args{"--address",          "127.0.0.1", "--port",
                                      std::to_string(port), "--db",      (dir.Path() / "server.db").string()};
        if (port == 0)
            args.emplace_back("--fast-hash");
        process = std::make_unique<CServerProcess>(dir.Path(), std::move(args));
    }
};

// anna registers, then logs in by hand in `client` with her login
// remembered for automatic login, which is what brings a session back.
bool RegisterAndLogIn(uint16_t port, CClientStack& client)
{
    if (!CRawClient(port).Register("anna", "secret1"))
        return false;
    return client.LoginByHand("anna", "secret1", true, true);
}

} // namespace

class TestE2eReconnect : public QObject
{
    Q_OBJECT

private slots:
    void ServerBackLogsInAgain();
    void LineTypedWhileAwayArrivesOnce();
    void DisconnectStaysOut();
    void LoginElsewhereStaysOut();
};

void TestE2eReconnect::ServerBackLogsInAgain()
{
    CRestartableServer server;
    server.Start(0);
    QVERIFY2(server.process->IsRunning(), server.process->Log().c_str());
    const uint16_t port = server.process->Port();
    CClientStack client(port, {}, FastReconnect());
    QVERIFY(RegisterAndLogIn(port, client));
    QVERIFY(!client.Doc().IsReconnecting());

    // The server goes (it may say "Z" first): the session counts down and
    // tries, again and again, while nothing listens.
    QCOMPARE(server.process->Stop(SIGTERM), 0);
    QVERIFY(WaitUntil([&] { return client.Doc().Reconnector().Attempts() >= 2; }, 15s));
    QVERIFY(!client.Doc().IsLoggedIn());
    QVERIFY(client.Frame().statusBar()->currentMessage().startsWith(QStringLiteral("Reconnecting")));

    // Its config.txt gone meanwhile: said once, not at every attempt.
    const int boxes = client.Boxes().Count();
    const int attempts = client.Doc().Reconnector().Attempts();
    QVERIFY(QFile::rename(QStringLiteral("config.txt"), QStringLiteral("config.away")));
    QVERIFY(WaitUntil([&] { return client.Doc().Reconnector().Attempts() >= attempts + 3; }, 15s));
    QCOMPARE(client.Boxes().Count(), boxes + 1);
    QVERIFY(client.Boxes().Last().text.startsWith(QStringLiteral("Configuration file not found")));
    QVERIFY(QFile::rename(QStringLiteral("config.away"), QStringLiteral("config.txt")));

    // Back on the same port with the same database: logged in without a click.
    server.Start(port);
    QVERIFY2(server.process->IsRunning(), server.process->Log().c_str());
    QVERIFY(WaitUntil([&] { return client.Doc().IsLoggedIn(); }, 15s));
    QCOMPARE(client.Doc().UserName(), std::string("anna"));
    QVERIFY(!client.Doc().IsReconnecting());
    QCOMPARE(client.Frame().statusBar()->currentMessage(), QStringLiteral("Logged in"));
    QVERIFY(!RunningDialog<CLoginDlg>());
    QVERIFY(client.Boxes().Count() <= boxes + 1);
}

void TestE2eReconnect::LineTypedWhileAwayArrivesOnce()
{
    CRestartableServer server;
    server.Start(0);
    QVERIFY2(server.process->IsRunning(), server.process->Log().c_str());
    const uint16_t port = server.process->Port();
    CClientStack client(port, {}, FastReconnect());
    QVERIFY(RegisterAndLogIn(port, client));
    QVERIFY(CRawClient(port).Register("bob", "secret1"));
    auto* window = qobject_cast<CSpeakWindow*>(client.View().OpenSpeakWindow("bob"));
    QVERIFY(window);

    // The server goes; anna types a line and presses Send meanwhile. Her
    // session is held back (config.txt away) until bob is in again.
    QCOMPARE(server.process->Stop(SIGTERM), 0);
    QVERIFY(WaitUntil([&] { return !client.Doc().IsLoggedIn(); }, 15s));
    QVERIFY(QFile::rename(QStringLiteral("config.txt"), QStringLiteral("config.away")));
    window->InputBox()->setPlainText(QStringLiteral("are you there?"));
    window->SendButton()->click();
    QCOMPARE(window->ConversationBox()->MarkWord(0), QStringLiteral("sending\u2026"));

    server.Start(port);
    QVERIFY2(server.process->IsRunning(), server.process->Log().c_str());
    CRawClient bob(port);
    QVERIFY(bob.Login("bob", "secret1"));
    QVERIFY(QFile::rename(QStringLiteral("config.away"), QStringLiteral("config.txt")));

    // anna comes back by herself, the line goes out and bob gets it once.
    const std::optional<CNetMessage> line = bob.Expect(Cmd::IncomingMessage, 15s);
    QVERIFY(line && line->sender == "anna" && line->text == "are you there?");
    QVERIFY(WaitUntil([&] { return window->ConversationBox()->MarkWord(0) == QStringLiteral("delivered"); },
                      15s));
    QVERIFY(bob.Send(Cmd::FriendsList, "bob"));
    const auto before = bob.Before(Cmd::FriendsListAnswer);
    QVERIFY(before);
    for (const CNetMessage& record : *before)
        QVERIFY(record.command != Cmd::IncomingMessage);
}

void TestE2eReconnect::DisconnectStaysOut()
{
    CServerProcess server;
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    CClientStack client(server.Port(), {}, FastReconnect());
    QVERIFY(RegisterAndLogIn(server.Port(), client));

    // Disconnect logs off and connects again; the new connection is made
    // (the moment a reconnect would log in) and the user stays logged out.
    client.RunCommand(ID_FILE_DISCONNECT);
    QVERIFY(WaitForConnect(client.Doc().Connection()));
    QVERIFY(client.Doc().IsConnected());
    QVERIFY(!client.Doc().IsLoggedIn());
    QVERIFY(!client.Doc().IsReconnecting());

    // The server then goes: a session that is not logged in is not brought back.
    QCOMPARE(server.Stop(SIGTERM), 0);
    QVERIFY(WaitUntil([&] { return !client.Doc().IsConnected(); }, 15s));
    QVERIFY(!client.Doc().IsReconnecting());
    QCOMPARE(client.Doc().Reconnector().Attempts(), 0);
}

void TestE2eReconnect::LoginElsewhereStaysOut()
{
    CServerProcess server;
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    CClientStack client(server.Port(), {}, FastReconnect());
    QVERIFY(RegisterAndLogIn(server.Port(), client));

    // anna logs in elsewhere: this session gets "ZX" and must not take the
    // user back from the other one.
    CRawClient elsewhere(server.Port());
    QVERIFY(elsewhere.Login("anna", "secret1"));
    QVERIFY(WaitUntil([&] { return !client.Doc().IsLoggedIn(); }, 15s));
    QVERIFY(!client.Doc().IsReconnecting());

    // A round trip on the other session: it is still in, and nothing here
    // has tried again meanwhile.
    QVERIFY(elsewhere.Send(Cmd::FriendsList, "anna"));
    QVERIFY(elsewhere.Expect(Cmd::FriendsListAnswer));
    QVERIFY(!client.Doc().IsLoggedIn());
    QVERIFY(!client.Doc().IsReconnecting());
    QCOMPARE(client.Doc().Reconnector().Attempts(), 0);
}

QTEST_MAIN(TestE2eReconnect)
#include "tst_e2e_reconnect.moc"
