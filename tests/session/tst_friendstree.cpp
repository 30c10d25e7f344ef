// The friends tree operations on a view's real QTreeWidget: filling it from
// a friends list, finding, adding, moving and deleting friends, the group
// captions, and a session without a view.

#include "scratchsettings.h"
#include "sessionfakes.h"

#include <QtTest>

using namespace std::chrono_literals;

namespace {

CNetMessage FriendsList(std::vector<std::string> names)
{
    CNetMessage msg;
    msg.command = "SLU";
    msg.names = std::move(names);
    return msg;
}

} // namespace

class TestFriendsTree : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void listSplitsByTrailingAsterisks();
    void listIsTakenOffTheRecord();
    void onlyAsterisksMakeAnEmptyOnlineItem();
    void findWalksFriendsOnlyInDisplayOrder();
    void deleteTakesFriendsOnly();
    void addAppendsAndCounts();
    void clearRebuildsAndResetsCounts();
    void withoutViewNothingHappens();

private:
    std::unique_ptr<CPalaverDoc> m_pDoc;
    std::unique_ptr<CFakeView> m_pView;
};

void TestFriendsTree::init()
{
    m_pDoc = std::make_unique<CPalaverDoc>(CSessionTiming{CConnectionTiming{0ms, 0ms, 1000ms}, 0ms});
    m_pView = std::make_unique<CFakeView>(*m_pDoc);
}

void TestFriendsTree::cleanup()
{
    m_pView.reset();
    m_pDoc.reset();
}

void TestFriendsTree::listSplitsByTrailingAsterisks()
{
    CNetMessage msg = FriendsList({"ann*", "bob", "cy**"});
    m_pDoc->ShowFriendsList(msg);
    QCOMPARE(CFakeView::Children(m_pView->OnlineGroup()),
             (QStringList{QStringLiteral("ann"), QStringLiteral("cy")}));
    QCOMPARE(CFakeView::Children(m_pView->OfflineGroup()), QStringList{QStringLiteral("bob")});
    QCOMPARE(m_pView->OnlineGroup()->text(0), QStringLiteral("Online Friends (2)"));
    QCOMPARE(m_pView->OfflineGroup()->text(0), QStringLiteral("Offline Friends (1)"));
    QCOMPARE(m_pDoc->OnlineCount(), 2);
    QCOMPARE(m_pDoc->OfflineCount(), 1);
    QCOMPARE(m_pView->OnlineGroup()->child(0)->data(0, kFriendKindRole).toInt(), int(KindOnlineFriend));
    QCOMPARE(m_pView->OfflineGroup()->child(0)->data(0, kFriendKindRole).toInt(), int(KindOfflineFriend));
    QCOMPARE(m_pView->m_nForeground, 1);

    // Only a trailing asterisk counts; names keep their order, unsorted.
    CNetMessage more = FriendsList({"zed*", "a*b", "*x"});
    m_pDoc->ShowFriendsList(more);
    QCOMPARE(CFakeView::Children(m_pView->OnlineGroup()),
             (QStringList{QStringLiteral("ann"), QStringLiteral("cy"), QStringLiteral("zed")}));
    QCOMPARE(CFakeView::Children(m_pView->OfflineGroup()),
             (QStringList{QStringLiteral("bob"), QStringLiteral("a*b"), QStringLiteral("*x")}));
}

void TestFriendsTree::listIsTakenOffTheRecord()
{
    CNetMessage msg = FriendsList({"ann*", "bob"});
    m_pDoc->ShowFriendsList(msg);
    QVERIFY(msg.names.empty());

    CNetMessage blocked = FriendsList({"zed", "amy*"});
    m_pDoc->StoreBlockedList(blocked);
    QVERIFY(blocked.names.empty());
    QCOMPARE(m_pDoc->BlockedUsers().size(), std::size_t(2));
    QCOMPARE(m_pDoc->BlockedUsers()[1]->sender, std::string("amy*"));
    QVERIFY(m_pDoc->IsBlockedListHeld());
}

void TestFriendsTree::onlyAsterisksMakeAnEmptyOnlineItem()
{
    CNetMessage msg = FriendsList({"**"});
    m_pDoc->ShowFriendsList(msg);
    QCOMPARE(CFakeView::Children(m_pView->OnlineGroup()), QStringList{QString()});
    QCOMPARE(m_pDoc->OnlineCount(), 1);
}

void TestFriendsTree::findWalksFriendsOnlyInDisplayOrder()
{
    CNetMessage msg = FriendsList({"bob*", "Online Friends (1)", "bob"});
    m_pDoc->ShowFriendsList(msg);
    // Groups never match, even by their caption; the first friend does.
    QCOMPARE(m_pDoc->FindFriendItem("bob"), m_pView->OnlineGroup()->child(0));
    QCOMPARE(m_pDoc->FindFriendItem("Online Friends (1)"), m_pView->OfflineGroup()->child(0));
    QVERIFY(m_pDoc->FindFriendItem("Online Friends (2)") == nullptr);
    QVERIFY(m_pDoc->FindFriendItem("Friends List") == nullptr);
    QVERIFY(m_pDoc->FindFriendItem("Bob") == nullptr);
    QVERIFY(m_pDoc->FindFriendItem("bo") == nullptr);

    // With the online one gone, the offline duplicate is found.
    m_pDoc->DeleteFriendItem(m_pDoc->FindFriendItem("bob"));
    QCOMPARE(m_pDoc->FindFriendItem("bob"), m_pView->OfflineGroup()->child(1));
}

void TestFriendsTree::deleteTakesFriendsOnly()
{
    CNetMessage msg = FriendsList({"bob"});
    m_pDoc->ShowFriendsList(msg);
    m_pDoc->DeleteFriendItem(nullptr);
    m_pDoc->DeleteFriendItem(m_pView->OnlineGroup());
    m_pDoc->DeleteFriendItem(m_pDoc->RootItem());
    QCOMPARE(m_pView->m_pTree->topLevelItemCount(), 1);
    QCOMPARE(m_pDoc->RootItem()->childCount(), 2);
    m_pDoc->DeleteFriendItem(m_pDoc->FindFriendItem("bob"));
    QCOMPARE(m_pView->OfflineGroup()->childCount(), 0);
    // Deleting does not count: the caller does.
    QCOMPARE(m_pDoc->OfflineCount(), 1);
}

void TestFriendsTree::addAppendsAndCounts()
{
    m_pDoc->AddFriendItem("zed", true);
    m_pDoc->AddFriendItem("amy", true);
    m_pDoc->AddFriendItem("kim", false);
    QCOMPARE(CFakeView::Children(m_pView->OnlineGroup()),
             (QStringList{QStringLiteral("zed"), QStringLiteral("amy")}));
    QCOMPARE(m_pView->OnlineGroup()->text(0), QStringLiteral("Online Friends (2)"));
    QCOMPARE(m_pView->OfflineGroup()->text(0), QStringLiteral("Offline Friends (1)"));
    QVERIFY(m_pView->OnlineGroup()->font(0).bold());

    m_pDoc->MoveFriendItem("kim", true);
    QCOMPARE(CFakeView::Children(m_pView->OnlineGroup()),
             (QStringList{QStringLiteral("zed"), QStringLiteral("amy"), QStringLiteral("kim")}));
    QCOMPARE(m_pDoc->OnlineCount(), 3);
    QCOMPARE(m_pDoc->OfflineCount(), 0);
}

void TestFriendsTree::clearRebuildsAndResetsCounts()
{
    CNetMessage msg = FriendsList({"ann*", "bob"});
    m_pDoc->ShowFriendsList(msg);
    m_pDoc->ClearFriendsTree();
    QCOMPARE(m_pView->m_nRebuilds, 1);
    QCOMPARE(m_pDoc->OnlineCount(), 0);
    QCOMPARE(m_pDoc->OfflineCount(), 0);
    QCOMPARE(m_pView->OnlineGroup()->text(0), QStringLiteral("Online Friends"));
    QVERIFY(m_pDoc->FindFriendItem("ann") == nullptr);
    // The new fixed items are the ones the session works on.
    m_pDoc->AddFriendItem("cy", false);
    QCOMPARE(CFakeView::Children(m_pView->OfflineGroup()), QStringList{QStringLiteral("cy")});
}

void TestFriendsTree::withoutViewNothingHappens()
{
    CPalaverDoc doc(CSessionTiming{CConnectionTiming{0ms, 0ms, 1000ms}, 0ms});
    CNetMessage msg = FriendsList({"ann*"});
    doc.ShowFriendsList(msg);
    doc.AddFriendItem("bob", true);
    doc.MoveFriendItem("ann", false);
    doc.ClearFriendsTree();
    doc.UpdateGroupCaptions();
    QVERIFY(doc.FindFriendItem("ann") == nullptr);
    QCOMPARE(doc.OnlineCount(), 0);
    QCOMPARE(doc.Title(), QString());

    // A view that is set and then destroyed counts as none.
    {
        CFakeView view(doc);
        doc.AddFriendItem("bob", true);
        QCOMPARE(doc.OnlineCount(), 1);
    }
    QVERIFY(doc.View() == nullptr);
    doc.AddFriendItem("cy", true);
    QVERIFY(doc.FindFriendItem("bob") == nullptr);
    QCOMPARE(doc.OnlineCount(), 1);
}

SESSION_TEST_MAIN(TestFriendsTree)
#include "tst_friendstree.moc"
