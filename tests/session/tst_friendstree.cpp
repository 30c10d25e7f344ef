// The session's friends list and the friends tree that mirrors it: filling
// it from a friends list, finding, adding and moving friends, the group
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
    void onlyFriendItemsAreFriends();
    void addAppendsAndCounts();
    void clearRebuildsAndResetsCounts();
    void withoutViewTheListIsKept();

private:
    std::unique_ptr<CPalaverDoc> m_pDoc;
    std::unique_ptr<CFakeView> m_pView;
};

void TestFriendsTree::init()
{
    m_pDoc = std::make_unique<CPalaverDoc>(CSessionTiming{CConnectionTiming{0ms, 0ms, 1000ms}, 0ms, {}});
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
    const CFriendsTree& tree = *m_pView->m_pTree;
    QCOMPARE(tree.FindFriendItem("bob"), m_pView->OnlineGroup()->child(0));
    QVERIFY(m_pDoc->FindFriendItem("bob")->online);
    QCOMPARE(tree.FindFriendItem("Online Friends (1)"), m_pView->OfflineGroup()->child(0));
    QVERIFY(m_pDoc->FindFriendItem("Online Friends (1)"));
    for (const char* name : {"Online Friends (2)", "Friends List", "Bob", "bo"}) {
        QVERIFY(tree.FindFriendItem(name) == nullptr);
        QVERIFY(m_pDoc->FindFriendItem(name) == nullptr);
    }

    // With the online one gone offline, the offline duplicate listed first is found.
    m_pDoc->MoveFriendItem("bob", false);
    QCOMPARE(tree.FindFriendItem("bob"), m_pView->OfflineGroup()->child(1));
    QCOMPARE(
        CFakeView::Children(m_pView->OfflineGroup()),
        (QStringList{QStringLiteral("Online Friends (1)"), QStringLiteral("bob"), QStringLiteral("bob")}));
}

void TestFriendsTree::onlyFriendItemsAreFriends()
{
    CNetMessage msg = FriendsList({"bob"});
    m_pDoc->ShowFriendsList(msg);
    const CFriendsTree& tree = *m_pView->m_pTree;
    QVERIFY(!CFriendsTree::IsFriend(nullptr));
    QVERIFY(!CFriendsTree::IsFriend(tree.RootItem()));
    QVERIFY(!CFriendsTree::IsFriend(tree.OnlineGroup()));
    QVERIFY(CFriendsTree::IsFriend(tree.FindFriendItem("bob")));
    QCOMPARE(tree.topLevelItemCount(), 1);
    QCOMPARE(tree.RootItem()->childCount(), 2);
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

void TestFriendsTree::withoutViewTheListIsKept()
{
    CPalaverDoc doc(CSessionTiming{CConnectionTiming{0ms, 0ms, 1000ms}, 0ms, {}});
    CNetMessage msg = FriendsList({"ann*"});
    doc.ShowFriendsList(msg);
    doc.AddFriendItem("bob", true);
    doc.MoveFriendItem("ann", false);
    QCOMPARE(doc.OnlineCount(), 1);
    QCOMPARE(doc.OfflineCount(), 1);
    QVERIFY(!doc.FindFriendItem("ann")->online);

    // A view made later shows the list as it stands; one that is destroyed
    // counts as none.
    {
        CFakeView view(doc);
        QCOMPARE(CFakeView::Children(view.OnlineGroup()), QStringList{QStringLiteral("bob")});
        QCOMPARE(view.OfflineGroup()->text(0), QStringLiteral("Offline Friends (1)"));
    }
    QVERIFY(doc.View() == nullptr);
    doc.ClearFriendsTree();
    QVERIFY(doc.Friends().empty());
    QCOMPARE(doc.OnlineCount(), 0);
}

SESSION_TEST_MAIN(TestFriendsTree)
#include "tst_friendstree.moc"
