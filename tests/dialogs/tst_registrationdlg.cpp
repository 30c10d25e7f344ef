// The registration dialog: opened from the login dialog, it sends "R"
// through it and stays open; the session's "SR" ends it and a refusal
// leaves it for another try with the same record. Its checks and their
// order: the password with its retype first, the user name only after.

#include "dialogsession.h"
#include "logindlg.h"
#include "messageboxinterceptor.h"
#include "modalrunner.h"
#include "recordcheck.h"
#include "registrationdlg.h"
#include "widgetlookup.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

void Fill(QWidget& dlg, const QString& user, const QString& password, const QString& retype)
{
    Edit(dlg, "userName")->setText(user);
    Edit(dlg, "password")->setText(password);
    Edit(dlg, "retype")->setText(retype);
}

} // namespace

class TestRegistrationDlg : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { CDialogSession::ProtectUserSettings(); }

    void layoutAndTexts()
    {
        CDialogSession session;
        QVERIFY(session.Start());
        CLoginDlg login(&session.Doc());
        CRegistrationDlg dlg(&login);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Murmurly Registration"));
        QCOMPARE(Button(dlg, "register")->text(), QStringLiteral("&Register"));
        QVERIFY(Button(dlg, "register")->isDefault());
        QCOMPARE(Button(dlg, "exit")->text(), QStringLiteral("E&xit"));
        for (const char* label :
             {"Select a User Name", "Select a Password", "(Max 10 characters)", "Retype Password"})
            QVERIFY2(HasLabel(dlg, QString::fromLatin1(label)), label);
        QCOMPARE(Edit(dlg, "password")->echoMode(), QLineEdit::Password);
        QCOMPARE(Edit(dlg, "retype")->echoMode(), QLineEdit::Password);
    }

    // From the login dialog's button to the session's "SR": the record goes
    // out through the login dialog, the dialog stays up until "SR" ends it,
    // and the login dialog is back with its own fields.
    void registerThroughTheLoginDialog()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        CLoginDlg login(&session.Doc());

        int registrationResult = kModalTimedOut;
        bool referenceCleared = false;
        const int result = RunModalWith(login, [&] {
            login.findChild<QLineEdit*>(QStringLiteral("userName"))->setText(QStringLiteral("olduser"));
            QTimer::singleShot(0, &login, [&] {
                auto* reg = qobject_cast<CRegistrationDlg*>(login.RegistrationDialog());
                QVERIFY(reg);
                QVERIFY(reg->IsRunning());
                GuardModal(*reg);

                Fill(*reg, QStringLiteral("newbie"), QStringLiteral("abcdefghij1234"), QString());
                QTest::mouseClick(Button(*reg, "register"), Qt::LeftButton);
                std::optional<CNetMessage> sent = session.Server().Expect("R");
                QVERIFY(sent);
                QVERIFY(IsRecentTime(*sent));
                QCOMPARE(sent->time, reg->Record().time);
                QCOMPARE(Bytes(*sent), ExpectedBytes(MakeRecord("R", "newbie", "abcdefghij1234"), *sent));
                QVERIFY(reg->isVisible());

                // Refused: the text is shown and the dialog stays for another try.
                QVERIFY(session.Server().Inject(MakeRecord("F", "User name already taken")));
                QVERIFY(boxes.WaitForCount(1));
                QVERIFY(reg->isVisible() && reg->IsRunning());
                Edit(*reg, "userName")->setText(QStringLiteral("newbie2"));
                QTest::keyClick(Edit(*reg, "retype"), Qt::Key_Return);
                std::optional<CNetMessage> again = session.Server().Expect("R");
                QVERIFY(again);
                QCOMPARE(again->sender, std::string("newbie2"));
                QCOMPARE(again->time, sent->time);

                registrationResult = -2;
                QVERIFY(session.Server().Inject(MakeRecord("SR", "")));
                QVERIFY(boxes.WaitForCount(2));
                QVERIFY(!reg->isVisible());
                registrationResult = reg->result();
            });
            QTest::mouseClick(Button(login, "register"), Qt::LeftButton);
            referenceCleared = login.RegistrationDialog() == nullptr;
            QVERIFY(login.isVisible());
            QCOMPARE(login.findChild<QLineEdit*>(QStringLiteral("userName"))->text(),
                     QStringLiteral("olduser"));
            QTest::mouseClick(Button(login, "exit"), Qt::LeftButton);
        });
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(registrationResult, 0);
        QVERIFY(referenceCleared);
        QCOMPARE(boxes.Texts(), (QStringList{QStringLiteral("User name already taken"),
                                             QStringLiteral("Registration success, proceed to Login")}));
        session.Doc().EndLogin();
    }

    void checks_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("retype");
        QTest::addColumn<QString>("message"); // empty: sent

        QTest::newRow("valid") << "newbie"
                               << "Secret1"
                               << "Secret1" << QString();
        QTest::newRow("emptyRetypeSkipsTheMatch") << "newbie"
                                                  << "Secret1"
                                                  << "" << QString();
        QTest::newRow("elevenToFourteenCharacters") << "newbie"
                                                    << "abcdefghijk"
                                                    << "abcdefghijk" << QString();
        QTest::newRow("retypeDiffersInOneCharacter") << "not valid"
                                                     << "Secret1"
                                                     << "Secret2"
                                                     << "Password entries much match";
        QTest::newRow("retypeDiffersInCase") << "newbie"
                                             << "Secret1"
                                             << "secret1"
                                             << "Password entries much match";
        QTest::newRow("passwordWithSpaceAndOtherRetype") << "newbie"
                                                         << "ab cd"
                                                         << "abcd"
                                                         << "Password entries much match";
        QTest::newRow("passwordWithTrailingSpace") << "newbie"
                                                   << "abcd "
                                                   << "abcd "
                                                   << "Password cannot contain spaces";
        QTest::newRow("passwordTooLong") << "newbie"
                                         << "abcdefghijklmno"
                                         << ""
                                         << "Password length must be 1-14 characters";
        QTest::newRow("passwordWithPunctuation")
            << "newbie"
            << "abc!"
            << "abc!"
            << "Password can contain only the characters from A-Z, a-z and 0-9";
        QTest::newRow("userNameOfTwoWords") << "new bie"
                                            << "Secret1"
                                            << "Secret1"
                                            << "Invalid Login Name";
        QTest::newRow("emptyUserName") << ""
                                       << "Secret1"
                                       << "Secret1"
                                       << "Invalid Login Name";
    }

    void checks()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, retype);
        QFETCH(QString, message);

        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        CLoginDlg login(&session.Doc());
        CRegistrationDlg dlg(&login);
        const int result = RunModalWith(dlg, [&] {
            Fill(dlg, user, password, retype);
            QTest::mouseClick(Button(dlg, "register"), Qt::LeftButton);
            if (message.isEmpty()) {
                std::optional<CNetMessage> sent = session.Server().Expect("R");
                QVERIFY(sent);
                QCOMPARE(Bytes(*sent),
                         ExpectedBytes(MakeRecord("R", user.toStdString(), password.toStdString()), *sent));
            } else {
                QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
                QCOMPARE(Edit(dlg, "userName")->text(), user);
                QCOMPARE(Edit(dlg, "retype")->text(), retype);
            }
            QVERIFY(dlg.isVisible());
            QTest::keyClick(&dlg, Qt::Key_Escape);
        });
        QCOMPARE(result, int(IDCANCEL));
        if (message.isEmpty()) {
            QCOMPARE(boxes.Count(), 0);
        } else {
            QCOMPARE(boxes.Texts(), QStringList{message});
            QCOMPARE(boxes.Last().icon, MessageIcon::Exclamation);
        }
    }

    void exitAndCloseSendNothing()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        CLoginDlg login(&session.Doc());
        CRegistrationDlg byExit(&login);
        QCOMPARE(RunModalWith(byExit, [&] { QTest::mouseClick(Button(byExit, "exit"), Qt::LeftButton); }),
                 int(IDCANCEL));
        CRegistrationDlg byClose(&login);
        QCOMPARE(RunModalWith(byClose, [&] { byClose.close(); }), int(IDCANCEL));
        QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
        QCOMPARE(boxes.Count(), 0);
    }
};

QTEST_MAIN(TestRegistrationDlg)
#include "tst_registrationdlg.moc"
