// End to end, with the real server: messages sent to anna while she is
// away arrive at her next login, are acknowledged one by one and open in
// the offline messages window; the server forgets exactly the messages
// that were acknowledged, so nothing comes back twice.
#include "clientstack.h"
#include "commandids.h"
#include "commands.h"
#include "offlinemessageswnd.h"
#include "rawclient.h"
#include "serverprocess.h"
#include "waits.h"

#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>

using namespace std::chrono_literals;

namespace {

// bob's "M" records have no answer; one that has ("SL", answered by "SLU")
// shows that the server has handled everything bob sent before it.
bool SendWhileAway(CRawClient& bob, const std::vector<std::string>& texts)
{
    for (const std::string& text : texts)
        if (!bob.Send(Cmd::Message, "bob", "anna", text))
            return false;
    return bob.Send(Cmd::FriendsList, "bob") && bob.Expect(Cmd::FriendsListAnswer).has_value();
}

// The texts of the "O" records up to "OL", as a raw client receives them.
std::vector<CNetMessage> Delivered(CRawClient& client)
{
    std::vector<CNetMessage> delivered;
    while (auto msg = client.Expect(Cmd::OfflineMessage, 1500ms))
        delivered.push_back(std::move(*msg));
    return delivered;
}

std::vector<std::string> Texts(const std::vector<CNetMessage>& records)
{
    std::vector<std::string> texts;
    for (const CNetMessage& msg : records)
        texts.push_back(msg.text);
    return texts;
}

COfflineMessagesFrameWnd* OfflineWindow(CPalaverDoc& doc)
{
    QWidget* pane = doc.m_pOfflineMessagesWnd;
    return pane ? qobject_cast<COfflineMessagesFrameWnd*>(pane->window()) : nullptr;
}

// Saves the offline messages window to MURMURLY_OFFLINE_SCREENSHOT when
// that is set (the picture in docs/ comes from here).
void SaveScreenshot(QWidget& window)
{
    const QString path = qEnvironmentVariable("MURMURLY_OFFLINE_SCREENSHOT");
    if (!path.isEmpty())
        QVERIFY(window.grab().save(path));
}

} // namespace

class TestE2eOffline : public QObject
{
    Q_OBJECT

private slots:
    void MessagesWhileAway();
};

void TestE2eOffline::MessagesWhileAway()
{
    CServerProcess server;
    QVERIFY2(server.IsRunning(), qPrintable(server.Log()));
    CRawClient bob(server.Port());
    QVERIFY(bob.Register("anna", "secret1"));
    QVERIFY(bob.Register("bob", "pw2"));
    QVERIFY(bob.Login("bob", "pw2"));
    const std::vector<std::string> three{"Are you there?", "Lunch at noon, the usual place",
                                         "Call me when you are back"};
    QVERIFY(SendWhileAway(bob, three));

    // anna's full client logs in: three rows in the order bob wrote them.
    CClientStack client(server.Port());
    QVERIFY(client.LoginByHand("anna", "secret1"));
    QVERIFY(WaitUntil([&] { return OfflineWindow(client.Doc()) != nullptr; }));
    COfflineMessagesFrameWnd* window = OfflineWindow(client.Doc());
    QCOMPARE(window->windowTitle(), QStringLiteral("Offline Messages -- anna"));
    QTreeWidget* list = window->ListPane()->List();
    QCOMPARE(list->topLevelItemCount(), 3);
    const QRegularExpression received(QStringLiteral(
        "^(Sun|Mon|Tues|Wednes|Thurs|Fri|Satur)day, [A-Z][a-z]+, \\d\\d, \\d{4}, \\d\\d:\\d\\d:\\d\\d$"));
    for (int row = 0; row < 3; ++row) {
        QCOMPARE(list->topLevelItem(row)->text(0), QStringLiteral("bob"));
        QCOMPARE(list->topLevelItem(row)->text(1), QString::fromStdString(three[row]));
        QVERIFY2(received.match(list->topLevelItem(row)->text(2)).hasMatch(),
                 qPrintable(list->topLevelItem(row)->text(2)));
    }
    QCOMPARE(window->ListPane()->SelectedRow(), 0);
    QCOMPARE(window->TextPane()->TextBox()->toPlainText(), QString::fromStdString(three[0]));
    QVERIFY(window->TextPane()->ReplyButton()->isEnabled());
    SaveScreenshot(*window);

    // Log-off closes the window with the store it showed.
    client.RunCommand(ID_FILE_DISCONNECT);
    QVERIFY(!client.Doc().IsLoggedIn());
    QVERIFY(client.Doc().OfflineMessages().empty());
    QVERIFY(WaitUntil([&] { return !client.Doc().m_pOfflineMessagesWnd; }));

    // Every message was acknowledged: the next login brings none back.
    QVERIFY(client.LoginByHand("anna", "secret1"));
    QTest::qWait(500);
    QVERIFY(client.Doc().OfflineMessages().empty());
    QVERIFY(!client.Doc().m_pOfflineMessagesWnd);
    client.RunCommand(ID_FILE_DISCONNECT);
    QVERIFY(!client.Doc().IsLoggedIn());

    // Two more while anna is away. A client that acknowledges only the
    // first of them gets exactly the second again at its next login.
    QVERIFY(SendWhileAway(bob, {"four", "five"}));
    {
        CRawClient anna(server.Port());
        QVERIFY(anna.Login("anna", "secret1"));
        std::vector<CNetMessage> delivered = Delivered(anna);
        QCOMPARE(Texts(delivered), (std::vector<std::string>{"four", "five"}));
        CNetMessage ack = std::move(delivered[0]);
        ack.sender = "anna";
        ack.command = Cmd::OfflineAck;
        QVERIFY(anna.Send(ack));
        QVERIFY(anna.Send(Cmd::FriendsList, "anna"));
        QVERIFY(anna.Expect(Cmd::FriendsListAnswer));
        anna.Logoff("anna");
    }
    {
        CRawClient anna(server.Port());
        QVERIFY(anna.Login("anna", "secret1"));
        QCOMPARE(Texts(Delivered(anna)), std::vector<std::string>{"five"});
        anna.Logoff("anna");
    }

    // The full client shows that one and acknowledges it; then nothing is left.
    QVERIFY(client.LoginByHand("anna", "secret1"));
    QVERIFY(WaitUntil([&] { return OfflineWindow(client.Doc()) != nullptr; }));
    QCOMPARE(OfflineWindow(client.Doc())->ListPane()->List()->topLevelItemCount(), 1);
    client.RunCommand(ID_FILE_DISCONNECT);
    CRawClient anna(server.Port());
    QVERIFY(anna.Login("anna", "secret1"));
    QVERIFY(Delivered(anna).empty());
}

QTEST_MAIN(TestE2eOffline)
#include "tst_e2e_offline.moc"
