// End to end, with the real server: a friend request answered in the accept
// dialog, the friends list split into online and offline friends with their
// counts, and presence moving friends both ways.
#include "clientstack.h"
#include "commandids.h"
#include "commands.h"
#include "rawclient.h"
#include "serverprocess.h"
#include "speakwindow.h"
#include "waits.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>

using namespace std::chrono_literals;

namespace {

// The accept dialog that a friend request opened, while it shows.
QDialog* AcceptDialog()
{
    QDialog* dialog = VisibleWindow<CAcceptFriendDlg>();
    return dialog && dialog->isVisible() ? dialog : nullptr;
}

QPushButton* ButtonByText(QWidget* dialog, const QString& text)
{
    for (QPushButton* button : dialog->findChildren<QPushButton*>())
        if (button->text() == text)
            return button;
    return nullptr;
}

// Saves the main window to MURMURLY_SCREENSHOT when that is set (the
// picture in docs/ comes from here).
void SaveScreenshot(QWidget& window)
{
    const QString path = qEnvironmentVariable("MURMURLY_SCREENSHOT");
    if (!path.isEmpty())
        QVERIFY(window.grab().save(path));
}

} // namespace

class TestE2eFriends : public QObject
{
    Q_OBJECT

private slots:
    void FriendsAndPresence();
};

void TestE2eFriends::FriendsAndPresence()
{
    CServerProcess server;
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    CRawClient setup(server.Port());
    QVERIFY(setup.Register("anna", "secret1"));
    QVERIFY(setup.Register("bob", "pw2"));
    QVERIFY(setup.Register("carol", "pw3"));

    CClientStack client(server.Port());
    QVERIFY(client.LoginByHand("anna", "secret1"));

    // bob asks; anna's accept dialog answers "Accept and Add".
    CRawClient bob(server.Port());
    QVERIFY(bob.Login("bob", "pw2"));
    QVERIFY(bob.Send(Cmd::AddFriend, "bob", "anna", "it's bob"));
    QVERIFY(bob.Expect(Cmd::FriendRequestSent));
    QDialog* dialog = nullptr;
    QVERIFY(WaitUntil([&] { return (dialog = AcceptDialog()) != nullptr; }));
    QVERIFY(ButtonByText(dialog, QStringLiteral("&Accept and Add")));
    ButtonByText(dialog, QStringLiteral("&Accept and Add"))->click();
    auto added = bob.Expect(Cmd::NewFriendOnline);
    QVERIFY(added);
    QCOMPARE(added->sender, std::string("anna"));
    QVERIFY(WaitUntil([&] { return client.Group(true) == QStringList{QStringLiteral("bob")}; }));
    QCOMPARE(client.GroupCaption(true), QStringLiteral("Online Friends (1)"));

    // carol asks too, and goes away after the answer.
    {
        CRawClient carol(server.Port());
        QVERIFY(carol.Login("carol", "pw3"));
        QVERIFY(carol.Send(Cmd::AddFriend, "carol", "anna"));
        QVERIFY(WaitUntil([&] { return (dialog = AcceptDialog()) != nullptr; }));
        ButtonByText(dialog, QStringLiteral("&Accept and Add"))->click();
        QVERIFY(carol.Expect(Cmd::NewFriendOnline));
        QVERIFY(WaitUntil([&] { return client.Group(true).size() == 2; }));
        carol.Logoff("carol");
    }
    // "SX": carol moves to the offline group.
    QVERIFY(WaitUntil([&] { return client.Group(false) == QStringList{QStringLiteral("carol")}; }));
    QCOMPARE(client.Group(true), QStringList{QStringLiteral("bob")});
    QCOMPARE(client.GroupCaption(true), QStringLiteral("Online Friends (1)"));
    QCOMPARE(client.GroupCaption(false), QStringLiteral("Offline Friends (1)"));
    SaveScreenshot(client.Frame());

    // "SN": carol comes back and moves online, after bob.
    CRawClient carol(server.Port());
    QVERIFY(carol.Login("carol", "pw3"));
    QVERIFY(WaitUntil([&] { return client.Group(true).size() == 2; }));
    QCOMPARE(client.Group(true), (QStringList{QStringLiteral("bob"), QStringLiteral("carol")}));
    QCOMPARE(client.GroupCaption(true), QStringLiteral("Online Friends (2)"));
    QCOMPARE(client.GroupCaption(false), QStringLiteral("Offline Friends (0)"));

    // The other way: anna's presence reaches bob.
    client.RunCommand(ID_FILE_DISCONNECT);
    auto gone = bob.Expect(Cmd::FriendOffline);
    QVERIFY(gone);
    QCOMPARE(gone->sender, std::string("anna"));

    // A fresh login shows the list from the server, split with counts.
    carol.Logoff("carol");
    QVERIFY(client.LoginByHand("anna", "secret1"));
    QVERIFY(WaitUntil([&] { return !client.Group(true).isEmpty(); }));
    QCOMPARE(client.Group(true), QStringList{QStringLiteral("bob")});
    QCOMPARE(client.Group(false), QStringList{QStringLiteral("carol")});
    QCOMPARE(client.GroupCaption(true), QStringLiteral("Online Friends (1)"));
    QCOMPARE(client.GroupCaption(false), QStringLiteral("Offline Friends (1)"));
    auto back = bob.Expect(Cmd::FriendOnline);
    QVERIFY(back);
    QCOMPARE(back->sender, std::string("anna"));

    // A message both ways through a conversation window.
    QVERIFY(bob.Send(Cmd::Message, "bob", "anna", "hello anna"));
    QVERIFY(WaitUntil([&] { return FindSpeakWindow(client.Doc(), "bob") != nullptr; }));
    auto* window = qobject_cast<CSpeakWindow*>(FindSpeakWindow(client.Doc(), "bob"));
    QVERIFY(window);
    QVERIFY(WaitUntil([&] { return window->Conversation() == "bob: hello anna"; }));
    window->InputBox()->setText(QStringLiteral("hi bob"));
    window->SendButton()->click();
    // The accept dialog's answer may have reached bob as a message too.
    auto reply = bob.Expect(Cmd::IncomingMessage);
    while (reply && reply->text != "hi bob")
        reply = bob.Expect(Cmd::IncomingMessage);
    QVERIFY(reply);
    QCOMPARE(reply->sender, std::string("anna"));
    QCOMPARE(reply->text, std::string("hi bob"));
    QCOMPARE(window->Conversation(), std::string("bob: hello anna\nanna: hi bob"));
    QVERIFY(!client.Boxes().Texts().contains(QStringLiteral("Connection to server lost")));
}

QTEST_MAIN(TestE2eFriends)
#include "tst_e2e_friends.moc"
