// The block confirmation dialog's three results, and the blocked users
// dialog: its alphabetical list, the "BUR" record of the selection, the
// hidden wait that the session's "SB" ends, and Cancel.

#include "blockconfirmdlg.h"
#include "blockedusersdlg.h"
#include "dialogsession.h"
#include "messageboxinterceptor.h"
#include "modalrunner.h"
#include "recordcheck.h"
#include "widgetlookup.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

QListWidget* List(QWidget& dlg)
{
    return dlg.findChild<QListWidget*>(QStringLiteral("blocked"));
}

QStringList Entries(const QListWidget* list)
{
    QStringList entries;
    for (int row = 0; row < list->count(); ++row)
        entries << list->item(row)->text();
    return entries;
}

QStringList Labels(QWidget& dlg)
{
    QStringList labels;
    for (const QLabel* label : dlg.findChildren<QLabel*>())
        labels << label->text();
    return labels;
}

} // namespace

class TestBlockDlgs : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { CDialogSession::ProtectUserSettings(); }

    void confirmationTexts()
    {
        CBlockConfirmDlg dlg;
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Block Users Confirmation"));
        QCOMPARE(Button(dlg, "permanently")->text(), QStringLiteral("Block &Permanently"));
        QVERIFY(Button(dlg, "permanently")->isDefault());
        QCOMPARE(Button(dlg, "whileLoggedIn")->text(), QStringLiteral("Block till I am &Logged In"));
        QCOMPARE(Button(dlg, "dontBlock")->text(), QStringLiteral("&Don't Block"));
        const QStringList labels = Labels(dlg);
        QVERIFY(labels.contains(QStringLiteral(
            "Do you want to block this user permanently or only while you are logged in?\n\nIf you click the "
            "\"Block Permanently\" button, this user will never be able to send you messages until you "
            "unblock "
            "him thru the Tools-Blocked Users dialog")));
        QVERIFY(labels.contains(
            QStringLiteral("Click the \"Block till I am Logged in\" button if you want to unblock this user "
                           "when you log out."
                           "\n\nClick the \"Don't Block\" button to close this dialog without any action")));
    }

    void fixedFrameWhileRunning()
    {
        CBlockConfirmDlg dlg;
        bool fixed = false;
        RunModalWith(dlg, [&] {
            fixed = HasFixedFrame(dlg);
            dlg.EndDialog(IDCANCEL);
        });
        QVERIFY(fixed);
    }

    void confirmationResults_data()
    {
        QTest::addColumn<int>("how");
        QTest::addColumn<int>("result");
        QTest::newRow("enter") << 0 << int(IDYES);
        QTest::newRow("permanently") << 1 << int(IDYES);
        QTest::newRow("whileLoggedIn") << 2 << int(IDNO);
        QTest::newRow("dontBlock") << 3 << int(IDCANCEL);
        QTest::newRow("escape") << 4 << int(IDCANCEL);
        QTest::newRow("closeBox") << 5 << int(IDCANCEL);
    }

    void confirmationResults()
    {
        QFETCH(int, how);
        QFETCH(int, result);
        CBlockConfirmDlg dlg;
        QCOMPARE(RunModalWith(dlg,
                              [&] {
                                  switch (how) {
                                  case 0:
                                      QTest::keyClick(dlg.focusWidget() ? dlg.focusWidget() : &dlg,
                                                      Qt::Key_Return);
                                      break;
                                  case 1:
                                      QTest::mouseClick(Button(dlg, "permanently"), Qt::LeftButton);
                                      break;
                                  case 2:
                                      QTest::mouseClick(Button(dlg, "whileLoggedIn"), Qt::LeftButton);
                                      break;
                                  case 3:
                                      QTest::mouseClick(Button(dlg, "dontBlock"), Qt::LeftButton);
                                      break;
                                  case 4:
                                      QTest::keyClick(&dlg, Qt::Key_Escape);
                                      break;
                                  default:
                                      dlg.close();
                                      break;
                                  }
                              }),
                 result);
    }

    void blockedUsersTexts()
    {
        CDialogSession session;
        QVERIFY(session.Start());
        CBlockedUsersDlg dlg(&session.Doc());
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Edit Blocked Users List"));
        QCOMPARE(Button(dlg, "unblock")->text(), QStringLiteral("&Unblock Selected"));
        QVERIFY(Button(dlg, "unblock")->isDefault());
        QVERIFY(!Button(dlg, "unblock")->isEnabled());
        QCOMPARE(Button(dlg, "cancel")->text(), QStringLiteral("Cancel"));
        QCOMPARE(List(dlg)->selectionMode(), QAbstractItemView::MultiSelection);
        const QStringList labels = Labels(dlg);
        QVERIFY(labels.contains(
            QStringLiteral("Choose which users you want to remove from Blocked Users list. "
                           "After you remove them, they will be able to send you messages.")));
        QVERIFY(
            labels.contains(QStringLiteral("The users you have blocked only for this session, and not "
                                           "permanently, will appear with an asterix (*) char appended to "
                                           "their user name")));
    }

    // Listed alphabetically whatever the session's order; the selection goes
    // out as shown, "*" kept; the dialog hides until "SB" ends it with 0.
    void unblockTheSelection()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        QVERIFY(LogIn(session, "hank"));
        for (const char* name : {"zed", "amy*", "bob"})
            session.Doc().AddBlockedUser(name);
        CBlockedUsersDlg dlg(&session.Doc());
        bool hiddenWhileWaiting = false;
        const int result = RunModalWith(dlg, [&] {
            QCOMPARE(Entries(List(dlg)), (QStringList{"amy*", "bob", "zed"}));
            QVERIFY(Button(dlg, "unblock")->isEnabled());
            List(dlg)->item(2)->setSelected(true);
            List(dlg)->item(0)->setSelected(true);
            QTest::mouseClick(Button(dlg, "unblock"), Qt::LeftButton);
            std::optional<CNetMessage> sent = session.Server().Expect("BUR");
            QVERIFY(sent);
            QVERIFY(IsRecentTime(*sent));
            QCOMPARE(Bytes(*sent), ExpectedBytes(MakeRecord("BUR", "hank", {}, {}, {"amy*", "zed"}), *sent));
            hiddenWhileWaiting = !dlg.isVisible() && dlg.IsRunning();
            QVERIFY(session.Server().Inject(MakeRecord("SB", "")));
            QVERIFY(boxes.WaitForCount(1));
        });
        QVERIFY(hiddenWhileWaiting);
        QCOMPARE(result, 0);
        QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("The selected users are now unblocked")});
        QVERIFY(session.Doc().BlockedUsers().empty());
        QVERIFY(!session.Doc().IsBlockedListHeld());
    }

    // Alphabetical with case ignored, not the locale's order; names equal but
    // for case keep byte order.
    void sortsAlphabetically()
    {
        CDialogSession session;
        QVERIFY(session.Start());
        for (const char* name : {"alice", "_x", "Zed", "bob", "amy", "bob*", "Bob", "9lives"})
            session.Doc().AddBlockedUser(name);
        CBlockedUsersDlg dlg(&session.Doc());
        QCOMPARE(RunModalWith(dlg,
                              [&] {
                                  QCOMPARE(Entries(List(dlg)), (QStringList{"9lives", "_x", "alice", "amy",
                                                                            "Bob", "bob", "bob*", "Zed"}));
                                  dlg.reject();
                              }),
                 int(IDCANCEL));
    }

    void emptyListAndNoSelection()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        CBlockedUsersDlg empty(&session.Doc());
        QCOMPARE(RunModalWith(empty,
                              [&] {
                                  QCOMPARE(List(empty)->count(), 0);
                                  QVERIFY(!Button(empty, "unblock")->isEnabled());
                                  QTest::keyClick(List(empty), Qt::Key_Return);
                                  QVERIFY(empty.isVisible());
                                  QTest::keyClick(&empty, Qt::Key_Escape);
                              }),
                 int(IDCANCEL));
        QCOMPARE(boxes.Count(), 0);

        session.Doc().AddBlockedUser("zed");
        CBlockedUsersDlg unselected(&session.Doc());
        QCOMPARE(RunModalWith(unselected,
                              [&] {
                                  QTest::mouseClick(Button(unselected, "unblock"), Qt::LeftButton);
                                  QVERIFY(unselected.isVisible());
                                  QVERIFY(Button(unselected, "unblock")->isEnabled());
                                  unselected.close();
                              }),
                 int(IDCANCEL));
        QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("Please select at least 1 user")});
        QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
    }

    void cancelClearsTheSessionsReference()
    {
        CDialogSession session;
        QVERIFY(session.Start());
        session.Doc().AddBlockedUser("zed");
        CBlockedUsersDlg dlg(&session.Doc());
        QCOMPARE(RunModalWith(dlg, [&] { QTest::mouseClick(Button(dlg, "cancel"), Qt::LeftButton); }),
                 int(IDCANCEL));
        QVERIFY(!session.Doc().IsBlockedUsersOpen());
        QVERIFY(NothingSentBefore(session.Doc(), session.Server()));
    }

    // Hidden with its request unsent, the dialog would wait for good: it
    // stays in view and says why.
    void unsentRequestKeepsTheDialogInView()
    {
        CMessageBoxInterceptor boxes;
        CDialogSession session;
        QVERIFY(session.Start());
        session.Doc().AddBlockedUser("zed");
        session.Doc().CloseConnection();
        CBlockedUsersDlg dlg(&session.Doc());
        QCOMPARE(RunModalWith(dlg,
                              [&] {
                                  List(dlg)->item(0)->setSelected(true);
                                  QTest::mouseClick(Button(dlg, "unblock"), Qt::LeftButton);
                                  QVERIFY(dlg.isVisible());
                                  dlg.reject();
                              }),
                 int(IDCANCEL));
        QCOMPARE(boxes.Texts(), QStringList{QStringLiteral("Not connected to Server")});
    }
};

QTEST_MAIN(TestBlockDlgs)
#include "tst_blockdlgs.moc"
