// The delete friends dialog: the left list filled from the friends tree,
// the moves between the lists and what they enable, the final question, and
// the "DF" record in the right list's order.

#include "deletefriendsdlg.h"
#include "dialogsession.h"
#include "messageboxinterceptor.h"
#include "modalrunner.h"
#include "recordcheck.h"

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

using namespace std::chrono_literals;

namespace {

const QString kQuestion = QStringLiteral(
    "You are about to delete some friends from your friends list. This operation is not reversible. Are you "
    "sure you want to do this?");
const QString kSelectLeft = QStringLiteral("Please select at least 1 member from left");
const QString kSelectRight = QStringLiteral("Please select at least 1 member from right");

QStringList Entries(const QListWidget* list)
{
    QStringList entries;
    for (int row = 0; row < list->count(); ++row)
        entries << list->item(row)->text();
    return entries;
}

void Select(QListWidget* list, std::initializer_list<int> rows)
{
    list->clearSelection();
    for (const int row : rows)
        list->item(row)->setSelected(true);
}

} // namespace

class TestDeleteFriendsDlg : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { CDialogSession::ProtectUserSettings(); }

    // A logged-in session whose friends the cases add.
    void init()
    {
        m_pSession = std::make_unique<CDialogSession>();
        QVERIFY(m_pSession->Start());
        QVERIFY(LogIn(*m_pSession, "gina"));
    }
    void cleanup() { m_pSession.reset(); }

    void layoutAndTexts()
    {
        CDeleteFriendsDlg dlg(&m_pSession->Doc());
        QCOMPARE(dlg.windowTitle(), QStringLiteral("Delete Friends"));
        QStringList labels;
        for (const QLabel* label : dlg.findChildren<QLabel*>())
            labels << label->text();
        QVERIFY(labels.contains(
            QStringLiteral("Choose which friend(s) you want to delete from the left box, and transfer them "
                           "to right using the "
                           "buttons provided. When you are done, click Ok to proceed with the delete")));
        QVERIFY(labels.contains(QStringLiteral("Existing &Friends")));
        QVERIFY(labels.contains(QStringLiteral("Friends to be D&eleted")));
        auto* del = dlg.findChild<QPushButton*>(QStringLiteral("delete"));
        QCOMPARE(del->text(), QStringLiteral("&Delete"));
        QVERIFY(del->isDefault());
        QVERIFY(!del->isEnabled());
        QCOMPARE(dlg.findChild<QPushButton*>(QStringLiteral("moveRight"))->text(), QStringLiteral(">>"));
        QCOMPARE(dlg.findChild<QPushButton*>(QStringLiteral("moveLeft"))->text(), QStringLiteral("<<"));
        QCOMPARE(dlg.findChild<QPushButton*>(QStringLiteral("cancel"))->text(), QStringLiteral("Cancel"));
    }

    // Online friends, then offline ones, in the list's order; nameless ones
    // never.
    void fillsTheLeftListFromTheTree()
    {
        Friend("zoe*", true);
        Friend("", true);
        Friend("adam", true);
        Friend("mia", false);
        Friend("ben", false);
        CDeleteFriendsDlg dlg(&m_pSession->Doc());
        QCOMPARE(RunModalWith(dlg,
                              [&] {
                                  auto* existing = dlg.findChild<QListWidget*>(QStringLiteral("existing"));
                                  QCOMPARE(Entries(existing), (QStringList{"zoe*", "adam", "mia", "ben"}));
                                  QVERIFY(existing->selectionMode() != QAbstractItemView::SingleSelection);
                                  QVERIFY(!existing->isSortingEnabled());
                                  dlg.reject();
                              }),
                 int(IDCANCEL));
        QCOMPARE(m_pSession->Doc().OnlineCount(), 3);
        QCOMPARE(m_pSession->Doc().OfflineCount(), 2);
    }

    void emptyTree()
    {
        CMessageBoxInterceptor boxes;
        CDeleteFriendsDlg dlg(&m_pSession->Doc());
        const int result = RunModalWith(dlg, [&] {
            QCOMPARE(dlg.findChild<QListWidget*>(QStringLiteral("existing"))->count(), 0);
            QCOMPARE(dlg.findChild<QListWidget*>(QStringLiteral("toDelete"))->count(), 0);
            QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("moveRight")), Qt::LeftButton);
            QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("moveLeft")), Qt::LeftButton);
            QVERIFY(!dlg.findChild<QPushButton*>(QStringLiteral("delete"))->isEnabled());
            // Enter with "&Delete" disabled does nothing.
            QTest::keyClick(dlg.findChild<QListWidget*>(QStringLiteral("existing")), Qt::Key_Return);
            QVERIFY(dlg.isVisible());
            QTest::keyClick(&dlg, Qt::Key_Escape);
        });
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(boxes.Texts(), (QStringList{kSelectLeft, kSelectRight}));
        QVERIFY(NothingSentBefore(m_pSession->Doc(), m_pSession->Server()));
    }

    // Entries 1, 3 and 4 go right in that order; back with "<<" they are
    // appended on the left; "&Delete" follows the right list.
    void movesAndTheDeleteButton()
    {
        for (const char* name : {"a0", "a1", "a2"})
            Friend(name, true);
        for (const char* name : {"b3", "b4", "b5"})
            Friend(name, false);
        CMessageBoxInterceptor boxes;
        CDeleteFriendsDlg dlg(&m_pSession->Doc());
        auto* left = dlg.findChild<QListWidget*>(QStringLiteral("existing"));
        auto* right = dlg.findChild<QListWidget*>(QStringLiteral("toDelete"));
        auto* del = dlg.findChild<QPushButton*>(QStringLiteral("delete"));
        const int result = RunModalWith(dlg, [&] {
            Select(left, {4, 1, 3});
            QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("moveRight")), Qt::LeftButton);
            QCOMPARE(Entries(right), (QStringList{"a1", "b3", "b4"}));
            QCOMPARE(Entries(left), (QStringList{"a0", "a2", "b5"}));
            QVERIFY(del->isEnabled());

            Select(right, {1});
            QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("moveLeft")), Qt::LeftButton);
            QCOMPARE(Entries(left), (QStringList{"a0", "a2", "b5", "b3"}));
            QVERIFY(del->isEnabled());

            right->selectAll();
            QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("moveLeft")), Qt::LeftButton);
            QCOMPARE(right->count(), 0);
            QCOMPARE(Entries(left), (QStringList{"a0", "a2", "b5", "b3", "a1", "b4"}));
            QVERIFY(!del->isEnabled());

            QCOMPARE(dlg.MoveSelected(left, right), 0);
            dlg.reject();
        });
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(boxes.Count(), 0);
    }

    // Yes: one "DF" naming the right list's entries in the order they came.
    void deleteSendsTheRightListInOrder()
    {
        for (const char* name : {"a0", "a1", "a2"})
            Friend(name, true);
        Friend("b3", false);
        CMessageBoxInterceptor boxes;
        CDeleteFriendsDlg dlg(&m_pSession->Doc());
        auto* left = dlg.findChild<QListWidget*>(QStringLiteral("existing"));
        const int result = RunModalWith(dlg, [&] {
            Select(left, {3});
            QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("moveRight")), Qt::LeftButton);
            Select(left, {0, 2});
            QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("moveRight")), Qt::LeftButton);
            QTest::keyClick(left, Qt::Key_Return);
        });
        QCOMPARE(result, int(IDOK));
        QCOMPARE(boxes.Texts(), QStringList{kQuestion});
        QCOMPARE(boxes.Last().buttons, MessageButtons::YesNo);
        QCOMPARE(boxes.Last().icon, MessageIcon::Exclamation);
        std::optional<CNetMessage> sent = m_pSession->Server().Expect("DF");
        QVERIFY(sent);
        QVERIFY(IsRecentTime(*sent));
        QCOMPARE(Bytes(*sent), ExpectedBytes(MakeRecord("DF", "gina", {}, {}, {"b3", "a0", "a2"}), *sent));
        // The list is the session's to change, on the server's answer.
        QCOMPARE(m_pSession->Doc().OnlineCount(), 3);
    }

    void answeringNoSendsNothing()
    {
        Friend("a0", true);
        CMessageBoxInterceptor boxes;
        boxes.QueueAnswer(MessageAnswer::No);
        CDeleteFriendsDlg dlg(&m_pSession->Doc());
        const int result = RunModalWith(dlg, [&] {
            Select(dlg.findChild<QListWidget*>(QStringLiteral("existing")), {0});
            QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("moveRight")), Qt::LeftButton);
            QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("delete")), Qt::LeftButton);
        });
        QCOMPARE(result, int(IDOK));
        QCOMPARE(boxes.Texts(), QStringList{kQuestion});
        QVERIFY(NothingSentBefore(m_pSession->Doc(), m_pSession->Server()));
    }

    void cancelSendsNothing()
    {
        Friend("a0", true);
        CMessageBoxInterceptor boxes;
        CDeleteFriendsDlg dlg(&m_pSession->Doc());
        const int result = RunModalWith(dlg, [&] {
            Select(dlg.findChild<QListWidget*>(QStringLiteral("existing")), {0});
            QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("moveRight")), Qt::LeftButton);
            QTest::mouseClick(dlg.findChild<QPushButton*>(QStringLiteral("cancel")), Qt::LeftButton);
        });
        QCOMPARE(result, int(IDCANCEL));
        QCOMPARE(boxes.Count(), 0);
        QVERIFY(NothingSentBefore(m_pSession->Doc(), m_pSession->Server()));
    }

private:
    void Friend(const char* name, bool online) { m_pSession->Doc().AddFriendItem(name, online); }

    std::unique_ptr<CDialogSession> m_pSession;
};

QTEST_MAIN(TestDeleteFriendsDlg)
#include "tst_deletefriendsdlg.moc"
