#pragma once

#include <QTreeWidget>

#include <string>

class CPalaverDoc;

// Item kinds of the friends tree, kept in each item's kFriendKindRole data:
// the root, the two groups, and friends online (3) and offline (4). Only
// kinds 3 and 4 are friends.
enum FriendItemKind {
    KindRoot = 0,
    KindOnlineGroup = 1,
    KindOfflineGroup = 2,
    KindOnlineFriend = 3,
    KindOfflineFriend = 4,
};
inline constexpr int kFriendKindRole = Qt::UserRole;

// The friends tree of the friends list view: "Friends List" over the online
// and the offline group. It mirrors the session's friends list through the
// session's signals: friends are appended to their group in the order they
// come, a friend whose state changes moves to the end of the other group,
// and the group captions show the session's counts.
class CFriendsTree final : public QTreeWidget
{
    Q_OBJECT

public:
    explicit CFriendsTree(QWidget* parent = nullptr);

    // Follows `doc` from now on, starting from its present list.
    void Attach(CPalaverDoc& doc);

    // Empties the tree and inserts the root and the two groups again.
    void RebuildFixedItems();
    QTreeWidgetItem* RootItem() const { return m_hRoot; }
    QTreeWidgetItem* OnlineGroup() const { return m_hOnline; }
    QTreeWidgetItem* OfflineGroup() const { return m_hOffline; }

    // The first friend of that name in display order, or null; groups never match.
    QTreeWidgetItem* FindFriendItem(const std::string& name) const;
    static bool IsFriend(const QTreeWidgetItem* item);

signals:
    // Return or Enter on the friend `name`.
    void FriendChosen(const std::string& name);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void OnFriendAdded(const std::string& name, bool online);
    void OnFriendMoved(const std::string& name, bool online);
    void UpdateGroupCaptions(int online, int offline);

    QTreeWidgetItem* m_hRoot = nullptr;
    QTreeWidgetItem* m_hOnline = nullptr;
    QTreeWidgetItem* m_hOffline = nullptr;
};
