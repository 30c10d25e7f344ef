// The login dialog against a session on a fake server: the "L" record byte
// for byte, the order of the checks and their messages, the automatic login
// at start-up and its edge cases, the hidden wait that the session ends or
// shows again, a new login while logged in, and a record that cannot leave.

#include "connectwait.h"
#include "dialogsession.h"
#include "logindlg.h"
#include "messageboxinterceptor.h"
#include "modalrunner.h"
#include "multiclientserver.h"
#include "recordcheck.h"
#include "widgetlookup.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

const QString kPasswordLength = QStringLiteral("Password length must be 1-14 characters");

void Type(QWidget& dlg, const QString& user, const QString& password)
{
    Edit(dlg, "userName")->clear();
    QTest::keyClicks(Edit(dlg, "userName"), user);
    Edit(dlg, "password")->clear();
    QTest::keyClicks(Edit(dlg, "password"), password);
}

// carol, remembered with `password`, logged in automatically.
void StoreAutoLogin(CUserSettings& settings, const std::string& password)
{
    settings.m_nAutoLogin = 1;
    settings.m_nRememberLogin = 1;
    settings.m_strUserName = "carol";
    settings.m_strPassword = password;
}

CNetMessage Answer(const char* command, const std::string& recipient, const std::string& sender = {})
{
    return MakeRecord(command, sender, recipient);
}

} // namespace

class TestLoginDlg : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { CDialogSession::ProtectUserSettings(); }

    void layoutAndTexts()
    {
        CDialogSession session;
        QVERIFY(session.Start());
        CLoginDlg dlg(&session.Doc());
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Murmurly"));
        QCOMPARE(Button(dlg, "login")->text(), QStringLiteral("&Login"));
        QVERIFY(Button(dlg, "login")->isDefault());
        QCOMPARE(Button(dlg, "exit")->text(), QStringLiteral("E&xit"));
        QCOMPARE(Button(dlg, "register")->text(), QStringLiteral("Register with Murmurly"));
        QCOMPARE(dlg.findChild<QCheckBox*>(QStringLiteral("remember"))->text(),
                 QStringLiteral("&Remember My ID and Password"));
        QCOMPARE(dlg.findChild<QCheckBox*>(QStringLiteral("autoLogin"))->text(),
                 QStringLiteral("&Automatically Login"));
        QCOMPARE(Edit(dlg, "password")->echoMode(), QLineEdit::Password);
        QCOMPARE(Edit(dlg, "userName")->maxLength(), QLineEdit().maxLength());
    }

    // Typed by hand: "L" goes out, the dialog hides and its run goes on
    // until the session's answers end it with 0.
    void manualLoginWaitsHiddenForTheSession()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        CLoginDlg dlg(&session.Doc());
        dlg.SetAutoLoginAllowed(false);

        bool hiddenWhileWaiting = false;
        const int result = RunModalWith(dlg, [&] {
            QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
            Type(dlg, QStringLiteral("alice"), QStringLiteral("Secret1"));
            dlg.findChild<QCheckBox*>(QStringLiteral("remember"))->setChecked(true);
            QTest::mouseClick(Button(dlg, "login"), Qt::LeftButton);

            std::optional<CNetMessage> login = session.Server().Expect("L");
            QVERIFY(login);
            QVERIFY(IsRecentTime(*login));
            QCOMPARE(
                Bytes(*login),
                ExpectedBytes(MakeRecord("L", "alice", "Secret1", {}, {"alice", "Secret1", "L"}), *login));
            hiddenWhileWaiting = !dlg.isVisible() && dlg.IsRunning();

            QVERIFY(session.Server().Inject(Answer("SL", "alice")));
            QVERIFY(session.Server().Expect("SL"));
            QVERIFY(session.Server().Inject(Answer("SLU", "alice")));
            QVERIFY(session.Server().Expect("SLO"));
        });
        QCOMPARE(result, 0);
        QVERIFY(hiddenWhileWaiting);
        QCOMPARE(boxes.Count(), 0);
        QVERIFY(session.Doc().IsLoggedIn());
        QCOMPARE(session.Doc().UserName(), std::string("alice"));
        QCOMPARE(session.Doc().Settings().m_nRememberLogin, 1);
        QCOMPARE(dlg.Remember(), 1);
        QCOMPARE(dlg.AutoLogin(), 0);
        session.Doc().EndLogin();
    }

    void enterPressesLogin()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        CLoginDlg dlg(&session.Doc());
        const int result = RunModalWith(dlg, [&] {
            Type(dlg, QStringLiteral("bob"), QStringLiteral("abcdefghij1234"));
            QTest::keyClick(Edit(dlg, "password"), Qt::Key_Return);
            std::optional<CNetMessage> login = session.Server().Expect("L");
            QVERIFY(login);
            QCOMPARE(login->recipient, std::string("abcdefghij1234"));
            QVERIFY(!dlg.isVisible());
            dlg.EndDialog(0);
        });
        QCOMPARE(result, 0);
        QCOMPARE(boxes.Count(), 0);
    }

    // "FL": the session shows the text and the dialog again, fields as typed.
    void refusedLoginShowsTheDialogAgain()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        CLoginDlg dlg(&session.Doc());
        const int result = RunModalWith(dlg, [&] {
            Type(dlg, QStringLiteral("alice"), QStringLiteral("wrong1"));
            QTest::mouseClick(Button(dlg, "login"), Qt::LeftButton);
            QVERIFY(session.Server().Expect("L"));
            QVERIFY(!dlg.isVisible());
            QVERIFY(session.Server().Inject(MakeRecord("FL", "Invalid password")));
            QVERIFY(WaitUntil([&] { return dlg.isVisible(); }));
            QCOMPARE(Edit(dlg, "userName")->text(), QStringLiteral("alice"));
            QCOMPARE(Edit(dlg, "password")->text(), QStringLiteral("wrong1"));
            QVERIFY(Button(dlg, "login")->isEnabled());
            QTest::mouseClick(Button(dlg, "exit"), Qt::LeftButton);
        });
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("Invalid password")});
        QVERIFY(!session.Doc().IsLoggedIn());
        session.Doc().EndLogin();
    }

    void checks_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message"); // empty: sent

        QTest::newRow("valid") << "alice"
                               << "Secret1" << QString();
        QTest::newRow("fourteenCharacterPassword") << "alice"
                                                   << "abcdefgh123456" << QString();
        QTest::newRow("emptyPassword") << "alice"
                                       << "" << kPasswordLength;
        QTest::newRow("fifteenCharacterPassword") << "alice"
                                                  << "abcdefgh1234567" << kPasswordLength;
        QTest::newRow("passwordWithLeadingSpace") << "alice"
                                                  << " abc"
                                                  << "Password cannot contain spaces";
        QTest::newRow("passwordWithSpaceInside")
            << "alice"
            << "ab cd"
            << "Password can contain only the characters from A-Z, a-z and 0-9";
        QTest::newRow("emptyUserName") << ""
                                       << "Secret1"
                                       << "Invalid Login Name";
        QTest::newRow("userNameOfTwoWords") << "al ice"
                                            << "Secret1"
                                            << "Invalid Login Name";
        QTest::newRow("userNameWithTrailingSpace") << "alice "
                                                   << "Secret1"
                                                   << "Invalid Login Name";
        QTest::newRow("userNameTooLong") << "abcdefghijklmno"
                                         << "Secret1"
                                         << "Invalid Login Name";
        QTest::newRow("bothInvalid") << "a b"
                                     << "" << kPasswordLength;
    }

    // One box per failure, the password's first; nothing is sent and the
    // dialog stays up with its input.
    void checks()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, message);

        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        CLoginDlg dlg(&session.Doc());
        const int result = RunModalWith(dlg, [&] {
            Type(dlg, user, password);
            QTest::mouseClick(Button(dlg, "login"), Qt::LeftButton);
            if (message.isEmpty()) {
                QVERIFY(session.Server().Expect("L"));
                dlg.EndDialog(0);
                return;
            }
            QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
            QVERIFY(dlg.isVisible());
            QCOMPARE(Edit(dlg, "userName")->text(), user);
            QCOMPARE(Edit(dlg, "password")->text(), password);
            QTest::keyClick(&dlg, Qt::Key_Escape);
        });
        if (message.isEmpty()) {
            QCOMPARE(result, 0);
            QCOMPARE(boxes.Count(), 0);
            return;
        }
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(boxes.Texts(), QStringList{message});
        QCOMPARE(boxes.Last().caption, QStringLiteral("Murmurly"));
        QCOMPARE(boxes.Last().icon, MessageIcon::Exclamation);
        QCOMPARE(boxes.Last().buttons, MessageButtons::Ok);
    }

    // At start-up with stored automatic login: "L" goes out without any
    // input, and the dialog is shown all the same, with Login disabled.
    void automaticLoginSendsDuringInitialisation()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        StoreAutoLogin(session.Doc().Settings(), "pass99");
        CLoginDlg dlg(&session.Doc());

        const int result = RunModalWith(dlg, [&] {
            std::optional<CNetMessage> login = session.Server().Expect("L");
            QVERIFY(login);
            QCOMPARE(Bytes(*login),
                     ExpectedBytes(MakeRecord("L", "carol", "pass99", {}, {"carol", "pass99", "L"}), *login));
            QVERIFY(dlg.isVisible());
            QVERIFY(!Button(dlg, "login")->isEnabled());
            QCOMPARE(Edit(dlg, "userName")->text(), QStringLiteral("carol"));
            QVERIFY(dlg.findChild<QCheckBox*>(QStringLiteral("autoLogin"))->isChecked());
            QVERIFY(dlg.findChild<QCheckBox*>(QStringLiteral("remember"))->isChecked());

            QVERIFY(session.Server().Inject(Answer("SL", "carol")));
            QVERIFY(session.Server().Expect("SL"));
            QVERIFY(session.Server().Inject(Answer("SLU", "carol")));
            QVERIFY(session.Server().Expect("SLO"));
        });
        QCOMPARE(result, 0);
        QCOMPARE(boxes.Count(), 0);
        QVERIFY(session.Doc().IsLoggedIn());
        session.Doc().EndLogin();
    }

    // A refused automatic login (the password changed elsewhere) leaves an
    // ordinary dialog: Login enabled without the name being edited.
    void refusedAutomaticLoginEnablesLogin()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        StoreAutoLogin(session.Doc().Settings(), "oldpass1");
        CLoginDlg dlg(&session.Doc());
        const int result = RunModalWith(dlg, [&] {
            QVERIFY(session.Server().Expect("L"));
            QVERIFY(!Button(dlg, "login")->isEnabled());
            QVERIFY(session.Server().Inject(MakeRecord("FL", "Invalid user name or password")));
            QVERIFY(WaitUntil([&] { return Button(dlg, "login")->isEnabled(); }));
            QVERIFY(dlg.isVisible());
            dlg.EndDialog(0);
        });
        QCOMPARE(result, 0);
        QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("Invalid user name or password")});
        session.Doc().EndLogin();
    }

    // Opened from the friends list view: the same settings only fill the fields.
    void automaticLoginNotAllowedOnlyFills()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        StoreAutoLogin(session.Doc().Settings(), "pass99");
        CLoginDlg dlg(&session.Doc());
        dlg.SetAutoLoginAllowed(false);
        const int result = RunModalWith(dlg, [&] {
            QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
            QVERIFY(dlg.isVisible());
            QVERIFY(Button(dlg, "login")->isEnabled());
            QCOMPARE(Edit(dlg, "userName")->text(), QStringLiteral("carol"));
            QCOMPARE(Edit(dlg, "password")->text(), QStringLiteral("pass99"));
            dlg.close();
        });
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(boxes.Count(), 0);
        QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
    }

    // A stored password of 15 characters: the message at once, nothing sent,
    // and an ordinary dialog, Login enabled, to correct it.
    void automaticLoginWithInvalidStoredPassword()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        StoreAutoLogin(session.Doc().Settings(), "abcdefghijklmno");
        CLoginDlg dlg(&session.Doc());
        int boxesBeforeShown = -1;
        const int result = RunModalWith(dlg, [&] {
            boxesBeforeShown = boxes.Count();
            QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
            QVERIFY(dlg.isVisible());
            QPushButton* login = Button(dlg, "login");
            QVERIFY(login->isEnabled());
            Edit(dlg, "password")->setText(QStringLiteral("short1"));
            QTest::mouseClick(login, Qt::LeftButton);
            std::optional<CNetMessage> sent = session.Server().Expect("L");
            QVERIFY(sent);
            QCOMPARE(sent->recipient, std::string("short1"));
            dlg.EndDialog(0);
        });
        QCOMPARE(result, 0);
        QCOMPARE(boxesBeforeShown, 1);
        QCOMPARE(boxes.Texts(), QStringList{kPasswordLength});
    }

    // A new login while one is in force: "X" on the old connection, which
    // closes, then "L" on a new one.
    void loginWhileLoggedInLogsOffAndReconnects()
    {
        CMessageBoxInterceptor boxes;
        CConfigDir dir;
        CMultiClientServer server;
        QVERIFY(dir.WriteConfig("127.0.0.1", server.Port()));
        CPalaverDoc doc(CDialogSession::ZeroTiming());
        ConnectSessionPrompts(doc);
        QVERIFY(doc.OpenConnection() && WaitForConnect(doc.Connection()));
        QVERIFY(server.WaitForConnections(1));

        CFakeLoginDlg first;
        first.m_strUserName = "alice";
        first.m_strPassword = "Secret1";
        first.AwaitAnswer(doc);
        QVERIFY(server.Inject(0, Answer("SL", "alice")));
        QVERIFY(server.Expect(0, "SL"));
        QVERIFY(server.Inject(0, Answer("SLU", "alice")));
        QVERIFY(server.Expect(0, "SLO"));
        QVERIFY(WaitUntil([&] { return doc.IsLoggedIn(); }));

        CLoginDlg dlg(&doc);
        dlg.SetAutoLoginAllowed(false);
        const int result = RunModalWith(dlg, [&] {
            Type(dlg, QStringLiteral("bob"), QStringLiteral("Other2"));
            QTest::mouseClick(Button(dlg, "login"), Qt::LeftButton);
            QVERIFY(!doc.IsLoggedIn());
            std::optional<CNetMessage> logoff = server.Expect(0, "X");
            QVERIFY(logoff);
            QCOMPARE(logoff->sender, std::string("alice"));
            QVERIFY(server.WaitForClosed(0));
            QVERIFY(server.ExpectNoRecord(0, 20ms));
            std::optional<CNetMessage> login = server.Expect(1, "L");
            QVERIFY(login);
            QCOMPARE(Bytes(*login),
                     ExpectedBytes(MakeRecord("L", "bob", "Other2", {}, {"bob", "Other2", "L"}), *login));
            QCOMPARE(server.ConnectionCount(), 2);
            dlg.EndDialog(0);
        });
        QCOMPARE(result, 0);
        QCOMPARE(boxes.Count(), 0);
        doc.EndLogin();
    }

    // A connection gone (the server closes one that does not log in for a
    // while) is made again by Login, which then sends. One that cannot be
    // made leaves the dialog in view, saying so: nothing would bring a
    // hidden dialog back if its record never left.
    void loginConnectsAgain()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        session.Doc().CloseConnection();
        CLoginDlg dlg(&session.Doc());
        QVERIFY(!dlg.SendRecord(MakeRecord("L", "x")));
        const int result = RunModalWith(dlg, [&] {
            Type(dlg, QStringLiteral("alice"), QStringLiteral("Secret1"));
            QTest::mouseClick(Button(dlg, "login"), Qt::LeftButton);
            std::optional<CNetMessage> got = session.Server().ExpectRecord();
            QVERIFY(got && got->command == "L" && got->sender == "alice");
            QVERIFY(!dlg.isVisible());

            {
                CFakeServer closed;
                QVERIFY(session.Dir().WriteConfig("127.0.0.1", closed.Port()));
            }
            session.Doc().CloseConnection();
            dlg.ShowAgain();
            QTest::mouseClick(Button(dlg, "login"), Qt::LeftButton);
            QVERIFY(boxes.WaitForCount(1));
            QVERIFY(dlg.isVisible());
            QVERIFY(Button(dlg, "login")->isEnabled());
            QTest::mouseClick(Button(dlg, "exit"), Qt::LeftButton);
        });
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("Not connected to Server")});
    }

    // SendRecord writes the record as it is, names and all, with no pause.
    void sendRecordWritesTheWholeRecord()
    {
        CDialogSession session;
        QVERIFY(session.Start());
        CLoginDlg dlg(&session.Doc());
        CNetMessage msg = MakeRecord("R", "newbie", "pw12", "text", {"a", "b"});
        msg.faceName = "Arial";
        msg.color = 0x00112233;
        msg.size = 240;
        QVERIFY(dlg.SendRecord(msg));
        std::optional<CNetMessage> got = session.Server().ExpectRecord();
        QVERIFY(got);
        QCOMPARE(Bytes(*got), Bytes(msg));
    }
};

QTEST_MAIN(TestLoginDlg)
#include "tst_logindlg.moc"
