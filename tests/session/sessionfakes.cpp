#include "sessionfakes.h"

#include "messagebox.h"
#include "netmessage.h"

CFakeSpeakWindow::CFakeSpeakWindow(std::string to, QWidget* parent)
    : CSpeakWindowBase(parent), m_strTo(std::move(to))
{
}

void CFakeSpeakWindow::AppendMessage(const CNetMessage& msg)
{
    m_lines.push_back(CShownLine{msg.sender, msg.text, msg.faceName, msg.font, msg.color, msg.size});
}

CFakeChangePasswordDlg::~CFakeChangePasswordDlg()
{
    OnEndRun();
}

void CFakeChangePasswordDlg::OnEndRun()
{
    if (m_pDoc)
        m_pDoc->EndPasswordChange();
}

void CFakeChangePasswordDlg::Await(CPalaverDoc& doc)
{
    m_pDoc = &doc;
    doc.BeginPasswordChange(m_strRetyped);
    connect(&doc, &CPalaverDoc::PasswordChanged, this, &CModalDialog::EndWithMessage, Qt::UniqueConnection);
}

CFakeView::CFakeView(CPalaverDoc& doc, QWidget* parent)
    : QWidget(parent), m_doc(doc), m_pTree(new CFriendsTree(this))
{
    m_pTree->Attach(doc);
    m_doc.SetView(this);
    connect(&doc, &CPalaverDoc::FriendsCleared, this, [this] { ++m_nRebuilds; });
    connect(&doc, &CPalaverDoc::FriendsListArrived, this, &CFakeView::BringToForeground);
    connect(&doc, &CPalaverDoc::ColorsChanged, this, [this] { m_updates.push_back(1); });
    connect(&doc, &CPalaverDoc::ChangeUserWanted, this, [this] { ++m_nLoginDialogs; });
    connect(&doc, &CPalaverDoc::FriendRequestArrived, this, &CFakeView::CreateAcceptFriendDialog);
    connect(&doc, &CPalaverDoc::BlockedListArrived, this, &CFakeView::RunBlockedUsersDialog);
    connect(&doc, &CPalaverDoc::OfflineMessagesWanted, this, &CFakeView::ShowOfflineMessagesWindow);
    connect(&doc, &CPalaverDoc::OfflineMessagesCleared, this, &CFakeView::CloseOfflineMessagesWindow);
    connect(&doc, &CPalaverDoc::MessageArrived, this, &CFakeView::OnMessageArrived);
}

CFakeView::~CFakeView()
{
    for (CAcceptRequest& request : m_acceptRequests)
        delete request.dialog;
}

void CFakeView::BringToForeground()
{
    ++m_nForeground;
    if (m_onForeground)
        m_onForeground();
}

void CFakeView::OnMessageArrived(const CNetMessage& line)
{
    ShowConversationLine(m_doc, *this, line);
}

CSpeakWindowBase* CFakeView::OpenSpeakWindow(const std::string& name, SpeakFocus focus)
{
    m_openedSpeakWindows.push_back(name);
    if (CSpeakWindowBase* open = FindSpeakWindow(m_doc, name)) {
        focus == SpeakFocus::Take ? open->Activate() : open->ShowWithoutFocus();
        return open;
    }
    if (m_bFailSpeakWindow) {
        ShowMessageBox(QStringLiteral("Could not create speak window due to internal error"));
        return nullptr;
    }
    auto window = std::make_unique<CFakeSpeakWindow>(name);
    m_doc.AddSpeakWindow(window.get());
    focus == SpeakFocus::Take ? window->Activate() : window->ShowWithoutFocus();
    m_speakWindows.push_back(std::move(window));
    return m_speakWindows.back().get();
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
    m_acceptRequests.push_back(CAcceptRequest{invitation, requester, dlg});
    dlg->show();
}

void CFakeView::RunBlockedUsersDialog()
{
    std::vector<std::string> shown;
    for (const auto& entry : m_doc.BlockedUsers())
        shown.push_back(entry->sender);
    m_blockedRuns.push_back(shown);

    // What the real blocked users dialog does with the session.
    auto dlg = std::make_unique<CFakeModalDlg>();
    CFakeModalDlg* raw = dlg.get();
    connect(&m_doc, &CPalaverDoc::UsersUnblocked, raw, &CModalDialog::ShowMessageThenEnd);
    connect(&m_doc, &CPalaverDoc::AnswersLost, raw, &CModalDialog::ShowIfWaiting);
    dlg->m_onInit = [this, raw] {
        if (m_onBlockedInit)
            m_onBlockedInit(*raw);
    };
    m_doc.SetBlockedUsersOpen(true);
    const int result = dlg->RunModal();
    m_doc.SetBlockedUsersOpen(false);
    m_blockedResults.push_back(result);
}

void CFakeView::ShowOfflineMessagesWindow()
{
    if (m_pOfflineWnd) {
        m_pOfflineWnd->show();
        return;
    }
    if (m_bFailOfflineWindow) {
        ShowMessageBox(QStringLiteral("Could not create offline messages dialog due to internal error"));
        return;
    }
    ++m_nOfflineWindowsCreated;
    m_offlineWindows.push_back(std::make_unique<QWidget>());
    m_pOfflineWnd = m_offlineWindows.back().get();
    m_pOfflineWnd->show();
    std::vector<std::string> senders;
    for (const auto& msg : m_doc.OfflineMessages())
        senders.push_back(msg->sender);
    m_offlineFills.push_back(senders);
}

void CFakeView::CloseOfflineMessagesWindow()
{
    if (QPointer<QWidget> window = m_pOfflineWnd) {
        m_pOfflineWnd = nullptr;
        window->close();
    }
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

