// End to end, with the real server: anna asks bob through Add a Friend and
// bob adds her back; carol's request is declined in the accept dialog; anna
// deletes bob and her list is read again; anna changes her password and logs
// in with the new one; the preferences sheet recolours her list at once, and
// storing another user name logs her off and asks for a login. anna is the
// whole client, the others speak the codec.
#include "clientstack.h"
#include "commandids.h"
#include "commands.h"
#include "preferences.h"
#include "rawclient.h"
#include "serverprocess.h"
#include "waits.h"

#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

using namespace std::chrono_literals;

namespace {

QStringList FriendsOf(CRawClient& user, const std::string& name)
{
    QStringList names;
    if (!user.Send(Cmd::FriendsList, name))
        return {QStringLiteral("(not sent)")};
    const auto list = user.Expect(Cmd::FriendsListAnswer);
    if (!list)
        return {QStringLiteral("(no answer)")};
    for (const std::string& entry : list->names)
        names.append(QString::fromStdString(entry));
    return names;
}

// Grabs a window into MURMURLY_SCREENSHOTS/<file> when that folder is given
// (the pictures in docs/ come from here).
void SaveScreenshot(QWidget& window, const QString& file)
{
    const QString folder = qEnvironmentVariable("MURMURLY_SCREENSHOTS");
    if (!folder.isEmpty())
        QVERIFY(window.grab().save(QDir(folder).filePath(file)));
}

} // namespace

class TestE2eFriendsManage : public QObject
{
    Q_OBJECT

private slots:
    void FriendsAccountAndPreferences();
};

void TestE2eFriendsManage::FriendsAccountAndPreferences()
{
    CServerProcess server;
    QVERIFY2(server.IsRunning(), server.Log().c_str());
    CRawClient setup(server.Port());
    QVERIFY(setup.Register("anna", "secret1"));
    QVERIFY(setup.Register("bob", "pw2"));
    QVERIFY(setup.Register("carol", "pw3"));
    QVERIFY(setup.Register("dave", "pw4"));
    QVERIFY(setup.Register("erin", "pw5"));

    CRawClient bob(server.Port());
    QVERIFY(bob.Login("bob", "pw2"));
    CClientStack client(server.Port());
    QVERIFY(client.LoginByHand("anna", "secret1"));
    CMessageBoxInterceptor& boxes = client.Boxes();

    // anna asks bob, with a message of two lines.
    boxes.Clear();
    client.RunCommand(ID_FRIENDS_ADD, [&] {
        QPointer<QDialog> dialog = RunningDialog<CAddFriendDlg>();
        QVERIFY(WaitUntil([&] { return dialog && dialog->isVisible(); }));
        CClientStack::Type(dialog, "friendId", "bob");
        dialog->findChild<QPlainTextEdit*>(QStringLiteral("message"))
            ->setPlainText(QStringLiteral("hi bob\nit's anna"));
        CClientStack::Button(dialog, "add")->click();
    });
    QVERIFY(!RunningDialog<CAddFriendDlg>());
    const auto request = bob.Expect(Cmd::FriendRequest);
    QVERIFY(request);
    QCOMPARE(request->sender, std::string("anna"));
    QCOMPARE(request->text,
             std::string("User anna wants to add you to his/her friends list\nhi bob\r\nit's anna"));
    QVERIFY(boxes.WaitForCount(2));
    QCOMPARE(boxes.Texts(),
             (QStringList{QStringLiteral("A message has been sent to the user asking for his permission"),
                          QStringLiteral("A message has been sent to bob asking for his/her permission")}));

    // bob accepts and adds anna back: each shows the other online.
    QVERIFY(bob.Send(Cmd::AcceptAndAdd, "bob", "anna",
                     "User bob has accepted your invitation and also has added you to his/her friends list"));
    const auto added = bob.Expect(Cmd::NewFriendOnline);
    QVERIFY(added);
    QCOMPARE(added->sender, std::string("anna"));
    QVERIFY(WaitUntil([&] { return client.Group(true) == QStringList{QStringLiteral("bob")}; }));
    QCOMPARE(client.GroupCaption(true), QStringLiteral("Online Friends (1)"));
    QCOMPARE(FriendsOf(bob, "bob"), QStringList{QStringLiteral("anna*")});

    // carol asks and anna declines: nobody's list changes.
    CRawClient carol(server.Port());
    QVERIFY(carol.Login("carol", "pw3"));
    QVERIFY(carol.Send(Cmd::AddFriend, "carol", "anna", "me too"));
    QVERIFY(carol.Expect(Cmd::FriendRequestSent));
    QPointer<QDialog> accept;
    QVERIFY(WaitUntil([&] { return (accept = VisibleWindow<CAcceptFriendDlg>()) && accept->isVisible(); }));
    QCOMPARE(accept->findChild<QPlainTextEdit*>(QStringLiteral("invitation"))->toPlainText(),
             QStringLiteral("User carol wants to add you to his/her friends list\nme too"));
    SaveScreenshot(*accept, QStringLiteral("accept-friend.png"));
    CClientStack::Button(accept, "dontAccept")->click();
    QVERIFY(WaitUntil([&] { return accept.isNull(); }));
    QVERIFY(!carol.Expect(Cmd::NewFriendOnline, 500ms));
    QCOMPARE(FriendsOf(carol, "carol"), QStringList());
    QCOMPARE(client.Group(true), QStringList{QStringLiteral("bob")});
    QCOMPARE(client.Group(false), QStringList());

    // dave becomes a second friend, so the list read after a deletion shows.
    CRawClient dave(server.Port());
    QVERIFY(dave.Login("dave", "pw4"));
    QVERIFY(dave.Send(Cmd::AddFriend, "dave", "anna"));
    QVERIFY(WaitUntil([&] { return (accept = VisibleWindow<CAcceptFriendDlg>()) && accept->isVisible(); }));
    CClientStack::Button(accept, "acceptAndAdd")->click();
    QVERIFY(WaitUntil([&] { return client.Group(true).size() == 2; }));

    // anna deletes bob; the server confirms and the list is read again.
    boxes.Clear();
    client.RunCommand(ID_FRIENDS_DELETE, [&] {
        QPointer<QDialog> dialog = RunningDialog<CDeleteFriendsDlg>();
        QVERIFY(WaitUntil([&] { return dialog && dialog->isVisible(); }));
        auto* existing = dialog->findChild<QListWidget*>(QStringLiteral("existing"));
        QCOMPARE(existing->count(), 2);
        QCOMPARE(existing->item(0)->text(), QStringLiteral("bob"));
        existing->item(0)->setSelected(true);
        CClientStack::Button(dialog, "moveRight")->click();
        CClientStack::Button(dialog, "delete")->click();
    });
    QVERIFY(WaitUntil([&] { return client.Group(true) == QStringList{QStringLiteral("dave")}; }));
    QCOMPARE(
        boxes.Texts(),
        (QStringList{QStringLiteral("You are about to delete some friends from your friends list. "
                                    "This operation is not reversible. Are you sure you want to do this?"),
                     QStringLiteral("Selected Friends deleted successfully")}));
    QCOMPARE(client.GroupCaption(true), QStringLiteral("Online Friends (1)"));
    // The other side keeps its own list.
    QCOMPARE(FriendsOf(bob, "bob"), QStringList{QStringLiteral("anna*")});

    // anna changes her password; the dialog stays until the server agrees.
    boxes.Clear();
    client.RunCommand(ID_TOOLS_CHANGEPASSWORD, [&] {
        QPointer<CChangePasswordDlg> dialog = RunningDialog<CChangePasswordDlg>();
        QVERIFY(WaitUntil([&] { return dialog && dialog->isVisible(); }));
        CClientStack::Type(dialog, "oldPassword", "secret1");
        CClientStack::Type(dialog, "newPassword", "fresh22");
        CClientStack::Type(dialog, "retype", "fresh22");
        CClientStack::Button(dialog, "change")->click();
    });
    QVERIFY(!RunningDialog<CChangePasswordDlg>());
    QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("Password changed successfully")});

    // The old password no longer logs in, the new one does.
    client.RunCommand(ID_FILE_DISCONNECT);
    QVERIFY(!client.Doc().IsLoggedIn());
    CRawClient stale(server.Port());
    QVERIFY(!stale.Login("anna", "secret1"));
    QVERIFY(client.LoginByHand("anna", "fresh22"));
    QVERIFY(WaitUntil([&] { return client.Group(true) == QStringList{QStringLiteral("dave")}; }));

    // Preferences: a new background colour shows at once; another stored
    // user logs anna off and asks for a login, here erin's.
    CPreferences::SetColorChooser([] { return std::optional<QColor>(QColor(0xE0, 0xF0, 0xFF)); });
    // The login dialog opens once the new connection is made, from whatever
    // loop runs then: a timer fills it in when it is in view.
    bool loggedInAtLogin = true;
    bool typed = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        QPointer<CLoginDlg> login = RunningDialog<CLoginDlg>();
        if (typed || !login || !login->isVisible())
            return;
        typed = true;
        loggedInAtLogin = client.Doc().IsLoggedIn();
        CClientStack::Type(login, "userName", "erin");
        CClientStack::Type(login, "password", "pw5");
        CClientStack::Button(login, "login")->click();
    });
    poll.start(10);
    client.RunCommand(ID_FILE_PREFERENCES, [&] {
        auto* sheet = qobject_cast<CPreferences*>(RunningDialog<CPreferences>());
        QVERIFY(sheet);
        sheet->ColorFontsPage()->OnChooseColor();
        sheet->ApplyButton()->click();
        QCOMPARE(client.View().TreeControl()->palette().color(QPalette::Base), QColor(0xE0, 0xF0, 0xFF));
        sheet->LoginPage()->UserNameBox()->setText(QStringLiteral("erin"));
        sheet->OkButton()->click();
    });
    CPreferences::SetColorChooser({});
    QVERIFY(WaitUntil([&] { return client.Doc().IsLoggedIn() && client.Doc().UserName() == "erin"; }, 15s));
    QVERIFY(typed);
    QVERIFY(!loggedInAtLogin);
    QVERIFY(!RunningDialog<CPreferences>());
    QCOMPARE(client.Frame().windowTitle(), QStringLiteral("Murmurly - erin"));
    QVERIFY(!boxes.Texts().contains(QStringLiteral("Connection to server lost")));
}

QTEST_MAIN(TestE2eFriendsManage)
#include "tst_e2e_friends_manage.moc"
