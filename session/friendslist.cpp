// The friends tree's content and the blocked users list.
//
// Friends exist only as items of the view's tree: the session finds one by
// walking the tree for its name. Items carry their kind in kFriendKindRole
// data of column 0; only kinds KindOnlineFriend and KindOfflineFriend are
// friends. Without a view (or before it has handed over its fixed items) the
// tree operations do nothing.

#include "palaverdoc.h"

#include <QFont>
#include <QTreeWidget>
#include <QTreeWidgetItem>

namespace {

int KindOf(const QTreeWidgetItem* item)
{
    return item->data(0, kFriendKindRole).toInt();
}

bool IsFriend(const QTreeWidgetItem* item)
{
    const int kind = KindOf(item);
    return kind == KindOnlineFriend || kind == KindOfflineFriend;
}

// Depth first, in display order: a friend whose text is the name matches; a
// group is searched through its children.
QTreeWidgetItem* FindIn(QTreeWidgetItem* parent, const QString& name)
{
    for (int i = 0; i < parent->childCount(); ++i) {
        QTreeWidgetItem* item = parent->child(i);
        if (IsFriend(item)) {
            if (item->text(0) == name)
                return item;
        } else if (QTreeWidgetItem* found = FindIn(item, name)) {
            return found;
        }
    }
    return nullptr;
}

} // namespace

void CPalaverDoc::SetFixedItems(QTreeWidgetItem* root, QTreeWidgetItem* online, QTreeWidgetItem* offline)
{
    m_hRoot = root;
    m_hOnline = online;
    m_hOffline = offline;
    m_nOnlineCount = 0;
    m_nOfflineCount = 0;
}

QTreeWidget* CPalaverDoc::Tree() const
{
    ISessionView* view = View();
    if (!view || !m_hRoot || !m_hOnline || !m_hOffline)
        return nullptr;
    return view->TreeControl();
}

void CPalaverDoc::ShowFriendsList(CNetMessage& msg)
{
    SetTitle(QString::fromStdString(m_strUserName));
    if (msg.names.empty())
        return;
    // The entries are taken off the record as they are added.
    std::vector<std::string> names = std::move(msg.names);
    msg.names.clear();
    if (!Tree())
        return;
    for (std::string& name : names) {
        if (!name.empty() && name.back() == '*') {
            ++m_nOnlineCount;
            while (!name.empty() && name.back() == '*')
                name.pop_back();
            InsertFriendItem(name, true);
        } else {
            ++m_nOfflineCount;
            InsertFriendItem(name, false);
        }
    }
    UpdateGroupCaptions();
    if (ISessionView* view = View())
        view->BringToForeground();
}

QTreeWidgetItem* CPalaverDoc::InsertFriendItem(const std::string& name, bool online)
{
    if (!Tree())
        return nullptr;
    // Appended as the group's last child: friends show in the order they came.
    auto* item = new QTreeWidgetItem(online ? m_hOnline : m_hOffline);
    item->setText(0, QString::fromStdString(name));
    item->setData(0, kFriendKindRole, online ? KindOnlineFriend : KindOfflineFriend);
    return item;
}

void CPalaverDoc::AddFriendItem(const std::string& name, bool online)
{
    if (!InsertFriendItem(name, online))
        return;
    ++(online ? m_nOnlineCount : m_nOfflineCount);
    UpdateGroupCaptions();
}

QTreeWidgetItem* CPalaverDoc::FindFriendItem(const std::string& name) const
{
    if (!Tree())
        return nullptr;
    return FindIn(m_hRoot, QString::fromStdString(name));
}

void CPalaverDoc::DeleteFriendItem(QTreeWidgetItem* item)
{
    // Only friends: the fixed items are the view's, and the session keeps
    // references to them.
    if (!item || !Tree() || !IsFriend(item))
        return;
    delete item;
}

void CPalaverDoc::MoveFriendItem(const std::string& name, bool online)
{
    QTreeWidgetItem* item = FindFriendItem(name);
    if (!item)
        return;
    // A change to the state the item shows already (an "SX" for a friend
    // listed offline) moves nothing; counting it would leave the captions
    // with more friends than the groups hold.
    if (item->data(0, kFriendKindRole).toInt() == (online ? KindOnlineFriend : KindOfflineFriend))
        return;
    DeleteFriendItem(item);
    InsertFriendItem(name, online);
    int& target = online ? m_nOnlineCount : m_nOfflineCount;
    int& other = online ? m_nOfflineCount : m_nOnlineCount;
    ++target;
    if (other > 0)
        --other;
    UpdateGroupCaptions();
}

void CPalaverDoc::ClearFriendsTree()
{
    // The view empties the tree, inserts the fixed items again and hands
    // them over through SetFixedItems, which resets the counts.
    if (ISessionView* view = View())
        view->RebuildFixedItems();
}

void CPalaverDoc::UpdateGroupCaptions()
{
    if (!Tree())
        return;
    m_hOnline->setText(0, QStringLiteral("Online Friends (") + QString::number(m_nOnlineCount) +
                              QStringLiteral(")"));
    QFont bold = m_hOnline->font(0);
    bold.setBold(true);
    m_hOnline->setFont(0, bold);
    m_hOnline->setExpanded(true);
    m_hOffline->setText(0, QStringLiteral("Offline Friends (") + QString::number(m_nOfflineCount) +
                               QStringLiteral(")"));
    m_hOffline->setExpanded(true);
}

// --- blocked users -------------------------------------------------------

void CPalaverDoc::StoreBlockedList(CNetMessage& msg)
{
    // An empty answer keeps what is held.
    if (msg.names.empty())
        return;
    EmptyBlockedList();
    std::vector<std::string> names = std::move(msg.names);
    msg.names.clear();
    for (std::string& name : names) {
        auto entry = std::make_unique<CNetMessage>();
        entry->sender = std::move(name);
        m_blockedUsers.push_back(std::move(entry));
    }
    m_bBlockedListHeld = true;
}

void CPalaverDoc::EmptyBlockedList()
{
    m_blockedUsers.clear();
    m_bBlockedListHeld = false;
}

void CPalaverDoc::AddBlockedUser(const std::string& entry)
{
    auto record = std::make_unique<CNetMessage>();
    record->sender = entry;
    m_blockedUsers.push_back(std::move(record));
}
