// The accept friend dialog: each of its ways out sends exactly one answer
// to the requester, with the texts addressed from the own name, pauses and
// closes, deleting itself; several requests each have their own dialog.

#include "acceptfrienddlg.h"
#include "dialogsession.h"
#include "messageboxinterceptor.h"
#include "recordcheck.h"
#include "widgetlookup.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

const std::string kAcceptAndAdd =
    "User bob has accepted your invitation and also has added you to his/her friends list";
const std::string kJustAccept = "User bob has accepted your invitation";

// Lets the dialog's deferred deletion run.
bool WaitDeleted(const QPointer<CAcceptFriendDlg>& dlg)
{
    return WaitUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return dlg.isNull();
    });
}

} // namespace

class TestAcceptFriendDlg : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { CDialogSession::ProtectUserSettings(); }

    void init()
    {
        m_pSession = std::make_unique<CDialogSession>();
        QVERIFY(m_pSession->Start());
        QVERIFY(LogIn(*m_pSession, "bob"));
    }
    void cleanup() { m_pSession.reset(); }

    // Made as the view makes it: invitation, requester, fields to controls, shown.
    CAcceptFriendDlg* Open(const std::string& invitation, const std::string& requester)
    {
        auto* dlg = new CAcceptFriendDlg(&m_pSession->Doc(), nullptr, 0ms);
        dlg->SetInvitation(invitation);
        dlg->SetRequester(requester);
        dlg->UpdateData(false);
        dlg->show();
        return dlg;
    }

    // The request text keeps its lines and shows markup as typed.
    void layoutAndTexts()
    {
        QPointer<CAcceptFriendDlg> dlg = Open("Line one\r\n<b>Line two</b>\nLine three\rend", "alice");
        QCOMPARE(dlg->windowTitle(), QStringLiteral("Accept and Add Friend"));
        QVERIFY(!dlg->isModal());
        QVERIFY(dlg->testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(HasFixedFrame(*dlg));
        QCOMPARE(Button(*dlg, "acceptAndAdd")->text(), QStringLiteral("&Accept and Add"));
        QVERIFY(Button(*dlg, "acceptAndAdd")->isDefault());
        QCOMPARE(Button(*dlg, "justAccept")->text(), QStringLiteral("&Just Accept"));
        QCOMPARE(Button(*dlg, "dontAccept")->text(), QStringLiteral("&Don't Accept"));
        QVERIFY(dlg->findChild<QLabel*>()->text() == QStringLiteral("What do you want to do?"));

        auto* text = dlg->findChild<QPlainTextEdit*>(QStringLiteral("invitation"));
        QVERIFY(text->isReadOnly());
        QCOMPARE(text->document()->blockCount(), 4);
        QCOMPARE(text->toPlainText(), QStringLiteral("Line one\n<b>Line two</b>\nLine three\nend"));
        text->setFocus();
        QTest::keyClicks(text, QStringLiteral("typed"));
        QCOMPARE(text->toPlainText(), QStringLiteral("Line one\n<b>Line two</b>\nLine three\nend"));
        delete dlg;
    }

    void answers_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("result");

        const QString andAdd = QString::fromStdString(kAcceptAndAdd);
        const QString just = QString::fromStdString(kJustAccept);
        QTest::newRow("acceptAndAdd") << 0 << "AFA" << andAdd << int(IDOK);
        QTest::newRow("enterInTheText") << 1 << "AFA" << andAdd << int(IDOK);
        QTest::newRow("justAccept") << 2 << "AFJ" << just << int(IDOK);
        QTest::newRow("dontAccept") << 3 << "AFD" << QString() << int(IDCANCEL);
        QTest::newRow("escape") << 4 << "AFD" << QString() << int(IDCANCEL);
        QTest::newRow("closeBox") << 5 << "AFD" << QString() << int(IDCANCEL);
    }

    // Exactly one record, byte for byte, to the requester; then the dialog
    // closes and is gone, and a later close sends nothing more.
    void answers()
    {
        QFETCH(int, how);
        QFETCH(QString, command);
        QFETCH(QString, text);
        QFETCH(int, result);

        CMessageBoxInterceptor boxes;
        QPointer<CAcceptFriendDlg> dlg = Open("Please add me", "alice");
        int finishedWith = -1;
        connect(dlg, &QDialog::finished, this, [&](int r) { finishedWith = r; });
        const CNetMessage& reply = dlg->Reply();
        const int32_t created = reply.time;
        switch (how) {
        case 0:
            QTest::mouseClick(Button(*dlg, "acceptAndAdd"), Qt::LeftButton);
            break;
        case 1: {
            auto* box = dlg->findChild<QPlainTextEdit*>(QStringLiteral("invitation"));
            box->setFocus();
            QTest::keyClick(box, Qt::Key_Return);
            break;
        }
        case 2:
            QTest::mouseClick(Button(*dlg, "justAccept"), Qt::LeftButton);
            break;
        case 3:
            QTest::mouseClick(Button(*dlg, "dontAccept"), Qt::LeftButton);
            break;
        case 4:
            QTest::keyClick(dlg, Qt::Key_Escape);
            break;
        default:
            dlg->close();
            break;
        }
        std::optional<CNetMessage> sent = m_pSession->Server().Expect(command.toStdString());
        QVERIFY(sent);
        QCOMPARE(sent->time, created);
        QCOMPARE(Bytes(*sent),
                 ExpectedBytes(MakeRecord(command.toStdString(), "bob", "alice", text.toStdString()), *sent));
        QCOMPARE(finishedWith, result);
        if (dlg) {
            QVERIFY(!dlg->isVisible());
            dlg->close();
            dlg->reject();
        }
        QVERIFY(WaitDeleted(dlg));
        QVERIFY(NothingSentBefore(m_pSession->Doc(), m_pSession->Server()));
        QCOMPARE(boxes.Count(), 0);
    }

    // The answer goes at once; the window stays for the pause, answers
    // nothing more, and then goes, while the event loop runs on.
    void pausesBeforeClosing()
    {
        auto* dlg = new CAcceptFriendDlg(&m_pSession->Doc(), nullptr, 500ms);
        QPointer<CAcceptFriendDlg> alive(dlg);
        dlg->SetRequester("alice");
        dlg->show();
        QTest::mouseClick(Button(*dlg, "justAccept"), Qt::LeftButton);
        QVERIFY(dlg->isVisible());
        QTest::mouseClick(Button(*dlg, "acceptAndAdd"), Qt::LeftButton);
        QVERIFY(m_pSession->Server().Expect("AFJ"));
        QVERIFY(WaitDeleted(alive));
        QVERIFY(NothingSentBefore(m_pSession->Doc(), m_pSession->Server()));
    }

    // Two requests at once: two dialogs, each answering its own requester.
    void everyRequestHasItsOwnDialog()
    {
        QPointer<CAcceptFriendDlg> first = Open("from carol", "carol");
        QPointer<CAcceptFriendDlg> second = Open("from dave", "dave");
        QTest::mouseClick(Button(*second, "dontAccept"), Qt::LeftButton);
        QTest::mouseClick(Button(*first, "justAccept"), Qt::LeftButton);
        std::optional<CNetMessage> toDave = m_pSession->Server().Expect("AFD");
        QVERIFY(toDave);
        QCOMPARE(toDave->recipient, std::string("dave"));
        std::optional<CNetMessage> toCarol = m_pSession->Server().Expect("AFJ");
        QVERIFY(toCarol);
        QCOMPARE(toCarol->recipient, std::string("carol"));
        QVERIFY(WaitDeleted(first));
        QVERIFY(WaitDeleted(second));
    }

    // The session may go before a dialog its view parented: the answer then
    // has nowhere to go, and the dialog still closes.
    void closesWithoutSession()
    {
        QPointer<CAcceptFriendDlg> dlg = Open("hi", "alice");
        m_pSession.reset();
        QTest::mouseClick(Button(*dlg, "acceptAndAdd"), Qt::LeftButton);
        QVERIFY(WaitDeleted(dlg));
    }

private:
    std::unique_ptr<CDialogSession> m_pSession;
};

QTEST_MAIN(TestAcceptFriendDlg)
#include "tst_acceptfrienddlg.moc"
