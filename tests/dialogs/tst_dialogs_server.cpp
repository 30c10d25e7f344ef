// The dialogs against the real murmurly-server, started on a free loopback
// port with a scratch database: register, log in, change the password, log
// in again over the running login with the new password, and a refused
// login. Shows that the records the dialogs build are the ones the server
// understands.

#include "changepassworddlg.h"
#include "configdir.h"
#include "connectwait.h"
#include "dialogsession.h"
#include "logindlg.h"
#include "messageboxinterceptor.h"
#include "modalrunner.h"
#include "registrationdlg.h"
#include "serverprocess.h"
#include "widgetlookup.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <memory>

using namespace std::chrono_literals;

class TestDialogsServer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        CDialogSession::ProtectUserSettings();
        m_pServer = std::make_unique<CServerProcess>();
        QVERIFY2(m_pServer->IsRunning(), m_pServer->Log().c_str());
        QVERIFY(m_dir.WriteConfig("127.0.0.1", m_pServer->Port()));
    }

    void cleanupTestCase() { m_pServer.reset(); }

    void accountLifeThroughTheDialogs()
    {
        CMessageBoxInterceptor boxes;
        CPalaverDoc doc(CDialogSession::ZeroTiming());
        ConnectSessionPrompts(doc);
        QVERIFY(doc.OpenConnection() && WaitForConnect(doc.Connection()));

        // Register from the login dialog, then log in with the new account.
        {
            CLoginDlg login(&doc);
            const int result = RunModalWith(login, [&] {
                QTimer::singleShot(0, &login, [&] {
                    auto* reg = qobject_cast<CRegistrationDlg*>(login.RegistrationDialog());
                    QVERIFY(reg);
                    GuardModal(*reg);
                    Edit(*reg, "userName")->setText(QStringLiteral("ann"));
                    Edit(*reg, "password")->setText(QStringLiteral("Secret1"));
                    Edit(*reg, "retype")->setText(QStringLiteral("Secret1"));
                    QTest::mouseClick(Button(*reg, "register"), Qt::LeftButton);
                });
                QTest::mouseClick(Button(login, "register"), Qt::LeftButton);
                QCOMPARE(boxes.Texts(),
                         QStringList{QStringLiteral("Registration success, proceed to Login")});
                Edit(login, "userName")->setText(QStringLiteral("ann"));
                Edit(login, "password")->setText(QStringLiteral("Secret1"));
                QTest::mouseClick(Button(login, "login"), Qt::LeftButton);
            });
            doc.EndLogin();
            QCOMPARE(result, 0);
        }
        QVERIFY(doc.IsLoggedIn());
        QCOMPARE(doc.UserName(), std::string("ann"));

        // Change the password; the server confirms.
        {
            CChangePasswordDlg change(&doc);
            const int result = RunModalWith(change, [&] {
                Edit(change, "oldPassword")->setText(QStringLiteral("Secret1"));
                Edit(change, "newPassword")->setText(QStringLiteral("Better2"));
                Edit(change, "retype")->setText(QStringLiteral("Better2"));
                QTest::mouseClick(Button(change, "change"), Qt::LeftButton);
            });
            QCOMPARE(result, 0);
            QVERIFY(!doc.IsPasswordChangeWaiting());
        }
        QCOMPARE(boxes.Texts().last(), QStringLiteral("Password changed successfully"));

        // A refused login shows the server's text and the dialog again; the
        // same dialog then logs in over the running login with the new
        // password: log-off, a new connection, and the server's acceptance.
        boxes.Clear();
        {
            CLoginDlg login(&doc);
            login.SetAutoLoginAllowed(false);
            const int result = RunModalWith(login, [&] {
                Edit(login, "userName")->setText(QStringLiteral("ann"));
                Edit(login, "password")->setText(QStringLiteral("Secret1"));
                QTest::mouseClick(Button(login, "login"), Qt::LeftButton);
                QVERIFY(WaitUntil([&] { return boxes.Count() == 1 && login.isVisible(); }));
                QVERIFY(!doc.IsLoggedIn());
                Edit(login, "password")->setText(QStringLiteral("Better2"));
                QTest::mouseClick(Button(login, "login"), Qt::LeftButton);
            });
            doc.EndLogin();
            QCOMPARE(result, 0);
        }
        QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("Invalid user name or password")});
        QVERIFY(doc.IsLoggedIn());
        QCOMPARE(doc.Password(), std::string("Better2"));
        doc.SaveModified();
    }

private:
    CConfigDir m_dir;
    std::unique_ptr<CServerProcess> m_pServer;
};

QTEST_MAIN(TestDialogsServer)
#include "tst_dialogs_server.moc"
