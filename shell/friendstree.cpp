#include "friendstree.h"

#include "palaverdoc.h"

#include <QKeyEvent>

namespace {

QTreeWidgetItem* MakeFixedItem(const QString& text, FriendItemKind kind)
{
    auto* item = new QTreeWidgetItem(QStringList{text});
    item->setData(0, kFriendKindRole, kind);
    QFont font = item->font(0);
    font.setBold(true);
    item->setFont(0, font);
    return item;
}

} // namespace

CFriendsTree::CFriendsTree(QWidget* parent) : QTreeWidget(parent)
{
    setHeaderHidden(true);
    setAccessibleName(QStringLiteral("Friends List"));
    setRootIsDecorated(true);
    setColumnCount(1);
    RebuildFixedItems();
}

void CFriendsTree::Attach(CPalaverDoc& doc)
{
    connect(&doc, &CPalaverDoc::FriendsCleared, this, &CFriendsTree::RebuildFixedItems, Qt::UniqueConnection);
    connect(&doc, &CPalaverDoc::FriendAdded, this, &CFriendsTree::OnFriendAdded, Qt::UniqueConnection);
    connect(&doc, &CPalaverDoc::FriendMoved, this, &CFriendsTree::OnFriendMoved, Qt::UniqueConnection);
    connect(&doc, &CPalaverDoc::FriendCountsChanged, this, &CFriendsTree::UpdateGroupCaptions,
            Qt::UniqueConnection);
    RebuildFixedItems();
    for (const CFriend& entry : doc.Friends())
        OnFriendAdded(entry.name, entry.online);
    if (!doc.Friends().empty())
        UpdateGroupCaptions(doc.OnlineCount(), doc.OfflineCount());
}

void CFriendsTree::RebuildFixedItems()
{
    clear();
    m_hRoot = MakeFixedItem(QStringLiteral("Friends List"), KindRoot);
    addTopLevelItem(m_hRoot);
    m_hOnline = MakeFixedItem(QStringLiteral("Online Friends"), KindOnlineGroup);
    m_hOffline = MakeFixedItem(QStringLiteral("Offline Friends"), KindOfflineGroup);
    m_hRoot->addChild(m_hOnline);
    m_hRoot->addChild(m_hOffline);
    m_hRoot->setExpanded(true);
    m_hOnline->setExpanded(true);
    m_hOffline->setExpanded(true);
}

void CFriendsTree::keyPressEvent(QKeyEvent* event)
{
    // Return on a friend does what a double click does; on a group, what the
    // tree does.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && IsFriend(currentItem())) {
        emit FriendChosen(currentItem()->text(0).toStdString());
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

bool CFriendsTree::IsFriend(const QTreeWidgetItem* item)
{
    if (!item)
        return false;
    const int kind = item->data(0, kFriendKindRole).toInt();
    return kind == KindOnlineFriend || kind == KindOfflineFriend;
}

QTreeWidgetItem* CFriendsTree::FindFriendItem(const std::string& name) const
{
    const QString text = QString::fromStdString(name);
    for (QTreeWidgetItem* group : {m_hOnline, m_hOffline}) {
        for (int i = 0; i < group->childCount(); ++i) {
            QTreeWidgetItem* item = group->child(i);
            if (IsFriend(item) && item->text(0) == text)
                return item;
        }
    }
    return nullptr;
}

void CFriendsTree::OnFriendAdded(const std::string& name, bool online)
{
    // Appended as the group's last child: friends show in the order they came.
    auto* item = new QTreeWidgetItem(online ? m_hOnline : m_hOffline);
    item->setText(0, QString::fromStdString(name));
    item->setData(0, kFriendKindRole, online ? KindOnlineFriend : KindOfflineFriend);
}

void CFriendsTree::OnFriendMoved(const std::string& name, bool online)
{
    delete FindFriendItem(name);
    OnFriendAdded(name, online);
}

void CFriendsTree::UpdateGroupCaptions(int online, int offline)
{
    m_hOnline->setText(0, QStringLiteral("Online Friends (") + QString::number(online) + QStringLiteral(")"));
    QFont bold = m_hOnline->font(0);
    bold.setBold(true);
    m_hOnline->setFont(0, bold);
    m_hOnline->setExpanded(true);
    m_hOffline->setText(0,
                        QStringLiteral("Offline Friends (") + QString::number(offline) + QStringLiteral(")"));
    m_hOffline->setExpanded(true);
}
