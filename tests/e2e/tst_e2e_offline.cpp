// End to end, with the real server: messages sent to anna while she is
// away arrive at her next login and open in the offline messages window.
// Only a message she deletes there is acknowledged: the others come back at
// her next login, the deleted ones never.
#include "clientsocket.h"
#include "clientstack.h"
#include "commandids.h"
#include "commands.h"
#include "offlinemessageswnd.h"
#include "palaverview.h"
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

// The texts of the "O" records that a raw client gets at its login; none
// when the server does not answer. The server answers in order, so
// everything stored has come before the answer to a friends list asked for
// after "SLO".
std::optional<std::vector<std::string>> DeliveredTexts(CRawClient& client)
{
    if (!client.Send(Cmd::FriendsList, "anna"))
        return std::nullopt;
    const std::optional<std::vector<CNetMessage>> before = client.Before(Cmd::FriendsListAnswer);
    if (!before)
        return std::nullopt;
    std::vector<std::string> texts;
    for (const CNetMessage& msg : *before)
        if (msg.command == Cmd::OfflineMessage)
            texts.push_back(msg.text);
    return texts;
}

COfflineMessagesFrameWnd* OfflineWindow(CPalaverDoc& doc)
{
    auto* view = qobject_cast<CPalaverView*>(doc.View());
    QWidget* pane = view ? view->OfflineMessagesWindow() : nullptr;
    return pane ? qobject_cast<COfflineMessagesFrameWnd*>(pane->window()) : nullptr;
}

// Selects the row as a click does, then presses Delete.
void DeleteRow(COfflineMessagesFrameWnd& window, int row)
{
    QTreeWidget* list = window.ListPane()->List();
    list->setCurrentItem(list->topLevelItem(row));
    window.ListPane()->ShowSelectedMessage();
    window.TextPane()->DeleteButton()->click();
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
    QVERIFY2(server.IsRunning(), server.Log().c_str());
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

    // anna deletes the second message; the other two she keeps.
    DeleteRow(*window, 1);
    QCOMPARE(list->topLevelItemCount(), 2);

    // Log-off closes the window with the store it showed.
    client.RunCommand(ID_FILE_DISCONNECT);
    QVERIFY(!client.Doc().IsLoggedIn());
    QVERIFY(client.Doc().OfflineMessages().empty());
    QVERIFY(WaitUntil([&] { return !client.View().OfflineMessagesWindow(); }));

    // The two she kept come back at the next login, in order; the deleted
    // one does not. This time she deletes both.
    QVERIFY(client.LoginByHand("anna", "secret1"));
    QVERIFY(WaitUntil([&] { return OfflineWindow(client.Doc()) != nullptr; }));
    list = OfflineWindow(client.Doc())->ListPane()->List();
    QCOMPARE(list->topLevelItemCount(), 2);
    QCOMPARE(list->topLevelItem(0)->text(1), QString::fromStdString(three[0]));
    QCOMPARE(list->topLevelItem(1)->text(1), QString::fromStdString(three[2]));
    for (int i = 0; i < 2; ++i)
        DeleteRow(*OfflineWindow(client.Doc()), 0);
    QCOMPARE(list->topLevelItemCount(), 0);
    client.RunCommand(ID_FILE_DISCONNECT);
    QVERIFY(!client.Doc().IsLoggedIn());
    // The acknowledgements and "X" go out at their pace before the old
    // socket closes.
    QVERIFY(WaitUntil([&] { return client.Doc().Connection().findChildren<CClientSocket*>().isEmpty(); }));

    // Nothing is left for her.
    CRawClient anna(server.Port());
    QVERIFY(anna.Login("anna", "secret1"));
    const std::optional<std::vector<std::string>> left = DeliveredTexts(anna);
    QVERIFY(left);
    QVERIFY(left->empty());
}

QTEST_MAIN(TestE2eOffline)
#include "tst_e2e_offline.moc"
