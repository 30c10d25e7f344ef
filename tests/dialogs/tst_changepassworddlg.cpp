// The change password dialog: its checks (the old password first, then the
// new one with its retype), the "C" record with the new password as
// recipient and the old one as text, staying open until the session's "SC"
// ends it, and Cancel clearing the session's reference.

#include "changepassworddlg.h"
#include "dialogsession.h"
#include "messageboxinterceptor.h"
#include "modalrunner.h"
#include "recordcheck.h"
#include "widgetlookup.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

void Fill(QWidget& dlg, const QString& old, const QString& fresh, const QString& retype)
{
    Edit(dlg, "oldPassword")->setText(old);
    Edit(dlg, "newPassword")->setText(fresh);
    Edit(dlg, "retype")->setText(retype);
}

} // namespace

class TestChangePasswordDlg : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { CDialogSession::ProtectUserSettings(); }

    void layoutAndTexts()
    {
        CDialogSession session;
        QVERIFY(session.Start());
        CChangePasswordDlg dlg(&session.Doc());
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Change Password"));
        QCOMPARE(Button(dlg, "change")->text(), QStringLiteral("&Change Password"));
        QVERIFY(Button(dlg, "change")->isDefault());
        QCOMPARE(Button(dlg, "cancel")->text(), QStringLiteral("Cancel"));
        for (const char* text :
             {"Type Old Password", "Select a New Password", "(Max 10 characters)", "Retype Password"})
            QVERIFY2(HasLabel(dlg, QString::fromLatin1(text)), text);
        for (const char* name : {"oldPassword", "newPassword", "retype"})
            QCOMPARE(Edit(dlg, name)->echoMode(), QLineEdit::Password);
    }

    // Each press sends one "C"; the dialog waits, visible, until "SC" ends
    // it with 0 and the session takes the retyped password.
    void changeUntilTheSessionConfirms()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        QVERIFY(LogIn(session, "dave", "OldPass1"));
        CChangePasswordDlg dlg(&session.Doc());

        const int result = RunModalWith(dlg, [&] {
            Fill(dlg, QStringLiteral("OldPass1"), QStringLiteral("NewPass2"), QStringLiteral("NewPass2"));
            QTest::mouseClick(Button(dlg, "change"), Qt::LeftButton);
            std::optional<CNetMessage> sent = session.Server().Expect("C");
            QVERIFY(sent);
            QVERIFY(IsRecentTime(*sent));
            QCOMPARE(Bytes(*sent), ExpectedBytes(MakeRecord("C", "dave", "NewPass2", "OldPass1"), *sent));
            QVERIFY(dlg.isVisible());

            QTest::keyClick(Edit(dlg, "retype"), Qt::Key_Return);
            QVERIFY(session.Server().Expect("C"));

            QVERIFY(session.Server().Inject(MakeRecord("SC", "")));
            QVERIFY(boxes.WaitForCount(1));
        });
        QCOMPARE(result, 0);
        QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("Password changed successfully")});
        QCOMPARE(session.Doc().Password(), std::string("NewPass2"));
        QVERIFY(!session.Doc().IsPasswordChangeWaiting());
    }

    // Sent with the retype box empty, the request carries the new password
    // alone; that is the one the session keeps when the server confirms,
    // however the boxes were edited after sending.
    void confirmedPasswordIsTheOneSent()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        QVERIFY(LogIn(session, "dave", "OldPass1"));
        CChangePasswordDlg dlg(&session.Doc());
        const int result = RunModalWith(dlg, [&] {
            Fill(dlg, QStringLiteral("OldPass1"), QStringLiteral("NewPass2"), QString());
            QTest::mouseClick(Button(dlg, "change"), Qt::LeftButton);
            QVERIFY(session.Server().Expect("C"));
            Fill(dlg, QStringLiteral("OldPass1"), QStringLiteral("Other3"), QStringLiteral("Other4"));
            QTest::mouseClick(Button(dlg, "change"), Qt::LeftButton);
            QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
            QVERIFY(session.Server().Inject(MakeRecord("SC", "")));
            QVERIFY(boxes.WaitForCount(2));
        });
        QCOMPARE(result, 0);
        QCOMPARE(boxes.Texts(), (QStringList{QStringLiteral("Password entries much match"),
                                             QStringLiteral("Password changed successfully")}));
        QCOMPARE(session.Doc().Password(), std::string("NewPass2"));
    }

    // A refusal is the session's to show; the dialog stays open.
    void refusalLeavesTheDialogOpen()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        QVERIFY(LogIn(session, "dave"));
        CChangePasswordDlg dlg(&session.Doc());
        const int result = RunModalWith(dlg, [&] {
            Fill(dlg, QStringLiteral("Wrong1"), QStringLiteral("NewPass2"), QString());
            QTest::mouseClick(Button(dlg, "change"), Qt::LeftButton);
            QVERIFY(session.Server().Expect("C"));
            QVERIFY(session.Server().Inject(MakeRecord("F", "Old password is wrong")));
            QVERIFY(boxes.WaitForCount(1));
            QVERIFY(dlg.isVisible() && dlg.IsRunning());
            QTest::mouseClick(Button(dlg, "cancel"), Qt::LeftButton);
        });
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("Old password is wrong")});
        QVERIFY(!session.Doc().IsPasswordChangeWaiting());
    }

    void checks_data()
    {
        QTest::addColumn<QString>("old");
        QTest::addColumn<QString>("fresh");
        QTest::addColumn<QString>("retype");
        QTest::addColumn<QString>("message"); // empty: sent

        const QString oldInvalid = QStringLiteral("Old password is invalid, Please try again");
        QTest::newRow("valid") << "OldPass1"
                               << "NewPass2"
                               << "NewPass2" << QString();
        QTest::newRow("emptyRetypeSends") << "OldPass1"
                                          << "NewPass2"
                                          << "" << QString();
        QTest::newRow("oldWithSpace") << "Old Pass1"
                                      << "NewPass2"
                                      << "NewPass2" << oldInvalid;
        QTest::newRow("oldWithSpaceAndNewInvalid") << "Old Pass1"
                                                   << ""
                                                   << "x" << oldInvalid;
        QTest::newRow("oldEmpty") << ""
                                  << "NewPass2"
                                  << "NewPass2" << oldInvalid;
        QTest::newRow("oldTooLong") << "abcdefghijklmno"
                                    << "NewPass2"
                                    << "" << oldInvalid;
        QTest::newRow("retypeDiffersInOneCharacter") << "OldPass1"
                                                     << "NewPass2"
                                                     << "NewPass3"
                                                     << "Password entries much match";
        QTest::newRow("newWithLeadingSpace") << "OldPass1"
                                             << " NewPass2"
                                             << ""
                                             << "Password cannot contain spaces";
        QTest::newRow("newEmpty") << "OldPass1"
                                  << ""
                                  << ""
                                  << "Password length must be 1-14 characters";
        QTest::newRow("newWithPunctuation")
            << "OldPass1"
            << "New-Pass"
            << ""
            << "Password can contain only the characters from A-Z, a-z and 0-9";
    }

    void checks()
    {
        QFETCH(QString, old);
        QFETCH(QString, fresh);
        QFETCH(QString, retype);
        QFETCH(QString, message);

        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        QVERIFY(LogIn(session, "dave"));
        CChangePasswordDlg dlg(&session.Doc());
        const int result = RunModalWith(dlg, [&] {
            Fill(dlg, old, fresh, retype);
            QTest::mouseClick(Button(dlg, "change"), Qt::LeftButton);
            if (message.isEmpty()) {
                std::optional<CNetMessage> sent = session.Server().Expect("C");
                QVERIFY(sent);
                QCOMPARE(sent->recipient, fresh.toStdString());
                QCOMPARE(sent->text, old.toStdString());
                QVERIFY(sent->names.empty());
            } else {
                QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
                QCOMPARE(Edit(dlg, "oldPassword")->text(), old);
            }
            QVERIFY(dlg.isVisible());
            QTest::keyClick(&dlg, Qt::Key_Escape);
        });
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(boxes.Texts(), message.isEmpty() ? QStringList() : QStringList{message});
    }

    // Cancel, Esc and the close box clear the session's reference, end the
    // run with IDCANCEL and send nothing.
    void cancelClearsTheSessionsReference_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("cancelButton") << 0;
        QTest::newRow("escape") << 1;
        QTest::newRow("closeBox") << 2;
    }

    void cancelClearsTheSessionsReference()
    {
        QFETCH(int, how);
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        CChangePasswordDlg dlg(&session.Doc());
        bool clearedBeforeEnd = false;
        const int result = RunModalWith(dlg, [&] {
            Fill(dlg, QStringLiteral("OldPass1"), QStringLiteral("NewPass2"), QString());
            if (how == 0)
                QTest::mouseClick(Button(dlg, "cancel"), Qt::LeftButton);
            else if (how == 1)
                QTest::keyClick(Edit(dlg, "newPassword"), Qt::Key_Escape);
            else
                dlg.close();
            clearedBeforeEnd = !session.Doc().IsPasswordChangeWaiting();
        });
        QCOMPARE(result, int(IDCANCEL));
        QVERIFY(clearedBeforeEnd);
        QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
        QCOMPARE(boxes.Count(), 0);
    }
};

QTEST_MAIN(TestChangePasswordDlg)
#include "tst_changepassworddlg.moc"
