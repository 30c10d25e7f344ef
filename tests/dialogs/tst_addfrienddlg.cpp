// The add a friend dialog: the "AF" record with the message's line breaks
// as CR LF, Enter and Ctrl+Enter in the message box, the one check on the
// friend ID, the confirmation, and leaving without sending.

#include "addfrienddlg.h"
#include "dialogsession.h"
#include "messageboxinterceptor.h"
#include "modalrunner.h"
#include "recordcheck.h"
#include "widgetlookup.h"

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

const QString kSent = QStringLiteral("A message has been sent to the user asking for his permission");

QLineEdit* FriendId(QWidget& dlg)
{
    return dlg.findChild<QLineEdit*>(QStringLiteral("friendId"));
}

QPlainTextEdit* Message(QWidget& dlg)
{
    return dlg.findChild<QPlainTextEdit*>(QStringLiteral("message"));
}

} // namespace

class TestAddFriendDlg : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { CDialogSession::ProtectUserSettings(); }

    void init()
    {
        m_pSession = std::make_unique<CDialogSession>();
        QVERIFY(m_pSession->Start());
        QVERIFY(LogIn(*m_pSession, "erin"));
    }
    void cleanup() { m_pSession.reset(); }

    void layoutTextsAndFocus()
    {
        CAddFriendDlg dlg(&m_pSession->Doc(), nullptr);
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Add a Friend"));
        QCOMPARE(Button(dlg, "add")->text(), QStringLiteral("&Add the Friend"));
        QVERIFY(Button(dlg, "add")->isDefault());
        QCOMPARE(Button(dlg, "cancel")->text(), QStringLiteral("Cancel"));
        QStringList labels;
        for (const QLabel* label : dlg.findChildren<QLabel*>())
            labels << label->text();
        QVERIFY(labels.contains(QStringLiteral("Enter Friend's ID")));
        QVERIFY(labels.contains(QStringLiteral("Enter a Message")));
        QCOMPARE(Message(dlg)->lineWrapMode(), QPlainTextEdit::NoWrap);

        bool focusInId = false;
        const int result = RunModalWith(dlg, [&] {
            focusInId = dlg.focusWidget() == FriendId(dlg);
            dlg.close();
        });
        QCOMPARE(result, int(IDCANCEL));
        QVERIFY(focusInId);
    }

    // Typed with Ctrl+Enter between lines and sent with Enter from the
    // message box: one "AF" whose text holds CR LF line breaks.
    void multiLineMessageSentWithEnter()
    {
        CMessageBoxInterceptor boxes;
        CAddFriendDlg dlg(&m_pSession->Doc(), nullptr);
        const int result = RunModalWith(dlg, [&] {
            QTest::keyClicks(FriendId(dlg), QStringLiteral("frank"));
            QPlainTextEdit* message = Message(dlg);
            message->setFocus();
            QTest::keyClicks(message, QStringLiteral("Hi frank,"));
            QTest::keyClick(message, Qt::Key_Return, Qt::ControlModifier);
            QTest::keyClicks(message, QStringLiteral("it's erin"));
            QTest::keyClick(message, Qt::Key_Enter, Qt::ControlModifier);
            QTest::keyClicks(message, QStringLiteral("bye"));
            QCOMPARE(message->toPlainText(), QStringLiteral("Hi frank,\nit's erin\nbye"));
            QTest::keyClick(message, Qt::Key_Return);
        });
        QCOMPARE(result, int(IDOK));
        std::optional<CNetMessage> sent = m_pSession->Server().Expect("AF");
        QVERIFY(sent);
        QVERIFY(IsRecentTime(*sent));
        QCOMPARE(Bytes(*sent),
                 ExpectedBytes(MakeRecord("AF", "erin", "frank", "Hi frank,\r\nit's erin\r\nbye"), *sent));
        QCOMPARE(boxes.Texts(), QStringList{kSent});
        QCOMPARE(boxes.Last().icon, MessageIcon::Exclamation);
        QVERIFY(NothingSentBefore(m_pSession->Doc(), m_pSession->Server()));
    }

    // Only an empty ID is refused: a lone space goes out as typed, and the
    // message may be empty.
    void friendId_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("message");
        QTest::newRow("name") << "frank"
                              << "hello";
        QTest::newRow("singleSpace") << " "
                                     << "hello";
        QTest::newRow("emptyMessage") << "frank"
                                      << "";
        QTest::newRow("notTrimmed") << " frank "
                                    << "";
        QTest::newRow("ownName") << "erin"
                                 << "me";
    }

    void friendId()
    {
        QFETCH(QString, id);
        QFETCH(QString, message);
        CMessageBoxInterceptor boxes;
        CAddFriendDlg dlg(&m_pSession->Doc(), nullptr);
        const int result = RunModalWith(dlg, [&] {
            FriendId(dlg)->setText(id);
            Message(dlg)->setPlainText(message);
            QTest::mouseClick(Button(dlg, "add"), Qt::LeftButton);
        });
        QCOMPARE(result, int(IDOK));
        std::optional<CNetMessage> sent = m_pSession->Server().Expect("AF");
        QVERIFY(sent);
        QCOMPARE(Bytes(*sent),
                 ExpectedBytes(MakeRecord("AF", "erin", id.toStdString(), message.toStdString()), *sent));
        QCOMPARE(boxes.Texts(), QStringList{kSent});
    }

    void refusedInputIsKept()
    {
        CMessageBoxInterceptor boxes;
        CAddFriendDlg dlg(&m_pSession->Doc(), nullptr);
        const int result = RunModalWith(dlg, [&] {
            Message(dlg)->setPlainText(QStringLiteral("kept"));
            QTest::keyClick(FriendId(dlg), Qt::Key_Return);
            QVERIFY(NothingSentBefore(m_pSession->Doc(), m_pSession->Server()));
            QVERIFY(dlg.isVisible());
            QCOMPARE(Message(dlg)->toPlainText(), QStringLiteral("kept"));
            // A request text longer than the server takes is refused the same way.
            FriendId(dlg)->setText(QStringLiteral("frank"));
            Message(dlg)->setPlainText(QString(70000, QLatin1Char('x')));
            QTest::mouseClick(Button(dlg, "add"), Qt::LeftButton);
            QVERIFY(NothingSentBefore(m_pSession->Doc(), m_pSession->Server()));
            QVERIFY(dlg.isVisible());
            QCOMPARE(Message(dlg)->toPlainText().size(), 70000);
            QTest::mouseClick(Button(dlg, "cancel"), Qt::LeftButton);
        });
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(boxes.Texts(), (QStringList{QStringLiteral("Please enter a friend ID"),
                                             QStringLiteral("This message is too long to send.\nIts size is "
                                                            "70000 bytes; the limit is 65536 bytes.")}));
    }

    void leavingSendsNothing_data()
    {
        QTest::addColumn<int>("how");
        QTest::newRow("cancelButton") << 0;
        QTest::newRow("escapeInMessage") << 1;
        QTest::newRow("closeBox") << 2;
    }

    void leavingSendsNothing()
    {
        QFETCH(int, how);
        CMessageBoxInterceptor boxes;
        CAddFriendDlg dlg(&m_pSession->Doc(), nullptr);
        const int result = RunModalWith(dlg, [&] {
            FriendId(dlg)->setText(QStringLiteral("frank"));
            if (how == 0) {
                QTest::mouseClick(Button(dlg, "cancel"), Qt::LeftButton);
            } else if (how == 1) {
                Message(dlg)->setFocus();
                QTest::keyClick(Message(dlg), Qt::Key_Escape);
            } else {
                dlg.close();
            }
        });
        QCOMPARE(result, int(IDCANCEL));
        QVERIFY(NothingSentBefore(m_pSession->Doc(), m_pSession->Server()));
        QCOMPARE(boxes.Count(), 0);
    }

    // A request that did not go out is not confirmed as sent: the dialog
    // stays with its input and says why.
    void unsentRequestIsNotConfirmed()
    {
        CMessageBoxInterceptor boxes;
        m_pSession->Doc().CloseConnection();
        CAddFriendDlg dlg(&m_pSession->Doc(), nullptr);
        const int result = RunModalWith(dlg, [&] {
            FriendId(dlg)->setText(QStringLiteral("frank"));
            QTest::mouseClick(Button(dlg, "add"), Qt::LeftButton);
            QVERIFY(dlg.isVisible());
            QCOMPARE(FriendId(dlg)->text(), QStringLiteral("frank"));
            dlg.reject();
        });
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("Not connected to Server")});
    }

private:
    std::unique_ptr<CDialogSession> m_pSession;
};

QTEST_MAIN(TestAddFriendDlg)
#include "tst_addfrienddlg.moc"
