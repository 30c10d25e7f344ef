#include "sessionfakes.h"

#include "messagebox.h"
#include "netmessage.h"

#include <QFont>

CFakeSpeakWindow::CFakeSpeakWindow(std::string to, QWidget* parent)
    : CSpeakWindowBase(parent), m_strTo(std::move(to))
{
}

void CFakeSpeakWindow::AppendMessage(const CNetMessage& msg)
{
    m_lines.push_back(CShownLine{msg.sender, msg.text, msg.faceName, msg.font, msg.color, msg.size});
}

CFakeView::CFakeView(CPalaverDoc& doc, QWidget* parent)
    : QWidget(parent), m_doc(doc), m_pTree(new QTreeWidget(this))
{
    m_pTree->setHeaderHidden(true);
    RebuildFixedItems();
    m_nRebuilds = 0;
    m_doc.SetView(this);
}

CFakeView::~CFakeView()
{
    for (CAcceptRequest& request : m_acceptRequests)
        delete request.dialog;
}

void CFakeView::RebuildFixedItems()
{
    ++m_nRebuilds;
    m_pTree->clear();
    const auto make = [](QTreeWidgetItem* item, const QString& text, FriendItemKind kind) {
        item->setText(0, text);
        item->setData(0, kFriendKindRole, kind);
        QFont bold = item->font(0);
        bold.setBold(true);
        item->setFont(0, bold);
        return item;
    };
    QTreeWidgetItem* root = make(new QTreeWidgetItem(m_pTree), QStringLiteral("Friends List"), KindRoot);
    QTreeWidgetItem* online =
        make(new QTreeWidgetItem(root), QStringLiteral("Online Friends"), KindOnlineGroup);
    QTreeWidgetItem* offline =
        make(new QTreeWidgetItem(root), QStringLiteral("Offline Friends"), KindOfflineGroup);
    root->setExpanded(true);
    online->setExpanded(true);
    offline->setExpanded(true);
    m_doc.SetFixedItems(root, online, offline);
}

void CFakeView::BringToForeground()
{
    ++m_nForeground;
    if (m_onForeground)
        m_onForeground();
}

void CFakeView::OpenSpeakWindow(const std::string& name, SpeakFocus focus)
{
    m_openedSpeakWindows.push_back(name);
    if (CSpeakWindowBase* open = m_doc.FindSpeakWindow(name)) {
        m_doc.SetCurrentSpeakWindow(open);
        focus == SpeakFocus::Take ? open->Activate() : open->ShowWithoutFocus();
        return;
    }
    if (m_bFailSpeakWindow) {
        ShowMessageBox(QStringLiteral("Could not create speak window due to internal error"));
        return;
    }
    auto window = std::make_unique<CFakeSpeakWindow>(name);
    m_doc.AddSpeakWindow(window.get());
    m_doc.SetCurrentSpeakWindow(window.get());
    focus == SpeakFocus::Take ? window->Activate() : window->ShowWithoutFocus();
    m_speakWindows.push_back(std::move(window));
}

void CFakeView::CreateAcceptFriendDialog(const std::string& invitation, const std::string& requester)
{
    if (requester.rfind("~mark", 0) == 0) {
        m_marks.push_back(requester);
        return;
    }
    // Modeless and on its own, as the real one; it goes when it is closed.
    auto* dlg = new QDialog;
    dlg->setAttribute(Qt::WA_DeleteOnClose);
    m_doc.m_pAcceptFriendDlg = dlg;
    m_acceptRequests.push_back(CAcceptRequest{invitation, requester, dlg});
    dlg->show();
}

void CFakeView::RunBlockedUsersDialog()
{
    std::vector<std::string> shown;
    for (const auto& entry : m_doc.BlockedUsers())
        shown.push_back(entry->sender);
    m_blockedRuns.push_back(shown);

    auto dlg = std::make_unique<CFakeModalDlg>();
    CFakeModalDlg* raw = dlg.get();
    dlg->m_onInit = [this, raw] {
        if (m_onBlockedInit)
            m_onBlockedInit(*raw);
    };
    m_doc.m_pBlockedUsersDlg = raw;
    const int result = dlg->RunModal();
    m_doc.m_pBlockedUsersDlg = nullptr;
    m_blockedResults.push_back(result);
}

QWidget* CFakeView::CreateOfflineMessagesWindow()
{
    if (m_bFailOfflineWindow)
        return nullptr;
    ++m_nOfflineWindowsCreated;
    m_offlineWindows.push_back(std::make_unique<QWidget>());
    return m_offlineWindows.back().get();
}

void CFakeView::FillOfflineMessagesWindow(QWidget*)
{
    std::vector<std::string> senders;
    for (const auto& msg : m_doc.OfflineMessages())
        senders.push_back(msg->sender);
    m_offlineFills.push_back(senders);
}

QTreeWidgetItem* CFakeView::OnlineGroup() const
{
    QTreeWidgetItem* root = m_pTree->topLevelItem(0);
    return root ? root->child(0) : nullptr;
}

QTreeWidgetItem* CFakeView::OfflineGroup() const
{
    QTreeWidgetItem* root = m_pTree->topLevelItem(0);
    return root ? root->child(1) : nullptr;
}

QStringList CFakeView::Children(const QTreeWidgetItem* group)
{
    QStringList names;
    for (int i = 0; group && i < group->childCount(); ++i)
        names.append(group->child(i)->text(0));
    return names;
}

CNetMessage CopyRecord(const CNetMessage& msg)
{
    CNetMessage copy(msg);
    copy.names = msg.names;
    copy.font = msg.font;
    copy.faceName = msg.faceName;
    return copy;
}
