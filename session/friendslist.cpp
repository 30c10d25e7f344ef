// The friends list and the blocked users list.
//
// The session keeps each friend's name and online state, each group in the
// order its friends came; the friends list view mirrors it in its tree
// through the Friend* signals.

#include "palaverdoc.h"

#include <algorithm>

void CPalaverDoc::ShowFriendsList(CNetMessage& msg)
{
    SetTitle(QString::fromStdString(m_strUserName));
    if (msg.names.empty())
        return;
    // The entries are taken off the record as they are added.
    std::vector<std::string> names = std::move(msg.names);
    msg.names.clear();
    for (std::string& name : names) {
        const bool online = !name.empty() && name.back() == '*';
        while (!name.empty() && name.back() == '*')
            name.pop_back();
        AppendFriend(name, online);
    }
    emit FriendCountsChanged(m_nOnlineCount, m_nOfflineCount);
    emit FriendsListArrived();
}

void CPalaverDoc::AppendFriend(const std::string& name, bool online)
{
    m_friends.push_back(CFriend{name, online});
    ++(online ? m_nOnlineCount : m_nOfflineCount);
    emit FriendAdded(name, online);
}

void CPalaverDoc::AddFriendItem(const std::string& name, bool online)
{
    AppendFriend(name, online);
    emit FriendCountsChanged(m_nOnlineCount, m_nOfflineCount);
}

const CFriend* CPalaverDoc::FindFriendItem(const std::string& name) const
{
    // In display order: the online group above the offline one.
    for (const bool online : {true, false}) {
        const auto it = std::find_if(m_friends.begin(), m_friends.end(), [&](const CFriend& entry) {
            return entry.online == online && entry.name == name;
        });
        if (it != m_friends.end())
            return &*it;
    }
    return nullptr;
}

void CPalaverDoc::MoveFriendItem(const std::string& name, bool online)
{
    const CFriend* found = FindFriendItem(name);
    // A change to the state the friend shows already (an "SX" for a friend
    // listed offline) moves nothing; counting it would leave the captions
    // with more friends than the groups hold.
    if (!found || found->online == online)
        return;
    m_friends.erase(m_friends.begin() + (found - m_friends.data()));
    m_friends.push_back(CFriend{name, online});
    int& target = online ? m_nOnlineCount : m_nOfflineCount;
    int& other = online ? m_nOfflineCount : m_nOnlineCount;
    ++target;
    if (other > 0)
        --other;
    emit FriendMoved(name, online);
    emit FriendCountsChanged(m_nOnlineCount, m_nOfflineCount);
}

void CPalaverDoc::ClearFriendsTree()
{
    m_friends.clear();
    m_nOnlineCount = 0;
    m_nOfflineCount = 0;
    emit FriendsCleared();
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
