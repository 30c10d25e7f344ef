// End to end, with the real server: a remembered automatic login brings the
// session back by itself after the server went away (a config.txt missing
// meanwhile is told once), quietly: its boxes neither wait nor take the
// keyboard and go once it is back, no window takes the keyboard, and the
// offline messages window comes again only for what it has not shown. A line
// typed while it was away arrives once and shows delivered, and nothing
// comes back after Disconnect or after the same user logged in elsewhere
// ("ZX"). A login dialog left open past the server's login time-out still
// registers and logs in.
#include "clientstack.h"
#include "commandids.h"
#include "commands.h"
#include "connectwait.h"
#include "rawclient.h"
#include "serverprocess.h"
#include "speakwindow.h"
#include "waits.h"

#include <QApplication>
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
    void OfflineWindowOnlyForNewMessages();
    void LoginDialogOutlivesTheLoginTimeout();
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
    // tries, again and again, while nothing listens. What it tells meanwhile
    // neither waits nor takes the keyboard.
    const int before = client.Boxes().Count();
    QCOMPARE(server.process->Stop(SIGTERM), 0);
    QVERIFY(WaitUntil([&] { return client.Doc().Reconnector().Attempts() >= 2; }, 15s));
    QVERIFY(!client.Doc().IsLoggedIn());
    QVERIFY(client.Frame().statusBar()->currentMessage().startsWith(QStringLiteral("Reconnecting")));
    QVERIFY(client.Boxes().Count() > before);
    for (int i = before; i < client.Boxes().Count(); ++i)
        QVERIFY(client.Boxes().Requests()[i].quiet);
    QVERIFY(QuietMessageBoxCount() > 0);

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
    // The outage is over, and so are its boxes.
    QCOMPARE(QuietMessageBoxCount(), 0);
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
    {
        // bob becomes her friend: her friends list then comes with each
        // login, which brings the main window forward when she logs in.
        CRawClient asking(port);
        QVERIFY(asking.Login("bob", "secret1") && asking.Send(Cmd::AddFriend, "bob", "anna", "hi"));
        CAcceptFriendDlg* accept = nullptr;
        QVERIFY(WaitUntil([&] { return (accept = VisibleWindow<CAcceptFriendDlg>()) != nullptr; }));
        for (QPushButton* button : accept->findChildren<QPushButton*>())
            if (button->text() == QStringLiteral("&Accept and Add"))
                button->click();
        QVERIFY(asking.Expect(Cmd::NewFriendOnline));
    }
    auto* window = qobject_cast<CSpeakWindow*>(client.View().OpenSpeakWindow("bob"));
    QVERIFY(window);
    QVERIFY(WaitUntil([&] { return QApplication::activeWindow() == window->window(); }));

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
    // Back by itself, the session left the keyboard where the user had it.
    QCOMPARE(QApplication::activeWindow(), window->window());
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

namespace {

// bob writes to anna while she is away; his friends list's answer shows
// that the server has stored it.
bool WriteWhileAway(uint16_t port, const std::string& text)
{
    CRawClient bob(port);
    return bob.Login("bob", "secret1") && bob.Send(Cmd::Message, "bob", "anna", text) &&
           bob.Send(Cmd::FriendsList, "bob") && bob.Expect(Cmd::FriendsListAnswer).has_value();
}

// The server goes and comes back on its port; anna is held back meanwhile
// (config.txt away) while `away` runs, then comes back by herself.
bool RestartWhileAway(CRestartableServer& server, CClientStack& client, const std::function<bool()>& away)
{
    const uint16_t port = server.process->Port();
    if (server.process->Stop(SIGTERM) != 0 || !WaitUntil([&] { return !client.Doc().IsLoggedIn(); }, 15s) ||
        !QFile::rename(QStringLiteral("config.txt"), QStringLiteral("config.away")))
        return false;
    server.Start(port);
    const bool done = server.process->IsRunning() && away();
    return QFile::rename(QStringLiteral("config.away"), QStringLiteral("config.txt")) && done &&
           WaitUntil([&] { return client.Doc().IsLoggedIn(); }, 15s);
}

// A line to bob (away) sent and answered: what the login brought before
// its answer has been handled.
bool RoundTrip(CPalaverDoc& doc)
{
    CNetMessage line;
    line.recipient = "bob";
    line.text = "ping";
    const std::string id = doc.SendLine(std::move(line)).id;
    bool answered = false;
    const QMetaObject::Connection watch = QObject::connect(
        &doc.Outbox(), &COutbox::LineStateChanged, &doc, [&](const std::string& changed, LineState state) {
            answered |= changed == id && state != LineState::Sending;
        });
    const bool done = !id.empty() && WaitUntil([&] { return answered; }, 15s);
    QObject::disconnect(watch);
    return done;
}

} // namespace

void TestE2eReconnect::OfflineWindowOnlyForNewMessages()
{
    CRestartableServer server;
    server.Start(0);
    QVERIFY2(server.process->IsRunning(), server.process->Log().c_str());
    const uint16_t port = server.process->Port();
    CClientStack client(port, {}, FastReconnect());
    QVERIFY(CRawClient(port).Register("anna", "secret1"));
    QVERIFY(CRawClient(port).Register("bob", "secret1"));
    QVERIFY(WriteWhileAway(port, "first"));
    QVERIFY(client.LoginByHand("anna", "secret1", true, true));
    QVERIFY(WaitUntil([&] { return client.View().OfflineMessagesWindow(); }));

    // The message she kept comes again with the login the session makes by
    // itself; the window, shown already, does not.
    QVERIFY(RestartWhileAway(server, client, [] { return true; }));
    QVERIFY(RoundTrip(client.Doc()));
    QCOMPARE(client.Doc().OfflineMessages().size(), std::size_t{1});
    QVERIFY(!client.View().OfflineMessagesWindow());

    // A new one brings it, without the keyboard (the test platform
    // activates every window shown, so the window's own flag tells).
    QVERIFY(RestartWhileAway(server, client, [&] { return WriteWhileAway(port, "second"); }));
    QVERIFY(WaitUntil([&] { return client.View().OfflineMessagesWindow(); }));
    QCOMPARE(client.Doc().OfflineMessages().size(), std::size_t{2});
    QWidget* window = client.View().OfflineMessagesWindow()->window();
    QVERIFY(window->isVisible());
    QVERIFY(window->testAttribute(Qt::WA_ShowWithoutActivating));
}

void TestE2eReconnect::LoginDialogOutlivesTheLoginTimeout()
{
    CServerProcess server({"--login-timeout", "1"});
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    CClientStack client(server.Port());
    QVERIFY(client.Doc().IsConnected());

    // The user reads the dialog past the time-out before registering, and
    // again before logging in: each time the server has closed the
    // connection, and each press makes a new one.
    const QString lostText = QStringLiteral("Connection to server lost");
    const qsizetype lost = client.Boxes().Texts().count(lostText);
    QVERIFY(client.RegisterAndLogin(
        "anna", "secret1", [&] { QVERIFY(WaitUntil([&] { return !client.Doc().IsConnected(); }, 10s)); }));
    QCOMPARE(client.Boxes().Texts().count(lostText), lost + 2);
    QVERIFY(!client.Boxes().Texts().contains(QStringLiteral("Not connected to Server")));
}

QTEST_MAIN(TestE2eReconnect)
#include "tst_e2e_reconnect.moc"
