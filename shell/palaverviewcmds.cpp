// The friends list view's commands that open dialogs, and the windows the
// session's answers ask the view for.
#include "palaverview.h"

#include "acceptfrienddlg.h"
#include "addfrienddlg.h"
#include "attention.h"
#include "blockedusersdlg.h"
#include "changepassworddlg.h"
#include "commands.h"
#include "deletefriendsdlg.h"
#include "logindlg.h"
#include "messagebox.h"
#include "netmessage.h"
#include "palaverdoc.h"
#include "preferences.h"
#include "serverconnection.h"

namespace {

// Records the dialog in the session's reference of its kind for the time of
// its modal run, then releases it. The run may outlive the dialog (the
// session never deletes one, but a window closing at shutdown can), so both
// are guarded.
template <typename Dialog, typename Reference>
void RunRecorded(Dialog* created, QPointer<Reference>& reference)
{
    QPointer<Dialog> dialog(created);
    reference = dialog.data();
    dialog->RunModal();
    if (reference == dialog.data())
        reference = nullptr;
    delete dialog.data();
}

} // namespace

void CPalaverView::OnChangeUser()
{
    if (!m_pDoc)
        return;
    if (m_pDoc->IsConnected()) {
        RunLoginDialog();
        return;
    }
    if (!m_pDoc->Connection().IsConnecting() && !m_pDoc->OpenConnection()) {
        ShowMessageBox(QStringLiteral("Server is not running"));
        return;
    }
    // The window stays live while the connection is made; the dialog opens
    // once it is, from the event loop rather than inside the socket's signal.
    if (m_bLoginAwaitsConnection)
        return;
    m_bLoginAwaitsConnection = true;
    connect(
        &m_pDoc->Connection(), &CServerConnection::ConnectFinished, this,
        [this](bool connected) {
            m_bLoginAwaitsConnection = false;
            if (!connected)
                ShowMessageBox(QStringLiteral("Server is not running"));
            else if (m_pDoc && m_pDoc->IsConnected())
                RunLoginDialog();
        },
        static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::SingleShotConnection));
}

void CPalaverView::RunLoginDialog()
{
    auto* dialog = new CLoginDlg(m_pDoc, nullptr);
    // Stored credentials fill the dialog but never log in again by themselves.
    dialog->SetAutoLoginAllowed(false);
    RunRecorded(dialog, m_pDoc->m_pLoginDlg);
}

void CPalaverView::OpenLoginDialog()
{
    OnChangeUser();
}

void CPalaverView::OnOfflineMessages()
{
    if (m_pDoc)
        m_pDoc->ShowOfflineMessages();
}

void CPalaverView::OnAddFriend()
{
    if (m_pDoc)
        RunRecorded(new CAddFriendDlg(m_pDoc, this), m_pDoc->m_pAddFriendDlg);
}

void CPalaverView::OnChangePassword()
{
    if (m_pDoc)
        RunRecorded(new CChangePasswordDlg(m_pDoc, nullptr), m_pDoc->m_pChangePasswordDlg);
}

void CPalaverView::OnDeleteFriends()
{
    if (m_pDoc)
        RunRecorded(new CDeleteFriendsDlg(m_pDoc, nullptr), m_pDoc->m_pDeleteFriendsDlg);
}

void CPalaverView::OnPreferences()
{
    if (m_pDoc)
        RunRecorded(new CPreferences(QStringLiteral("Murmurly Preferences"), m_pDoc, nullptr, 0),
                    m_pDoc->m_pPreferences);
}

void CPalaverView::OnDisconnect()
{
    if (!m_pDoc || !m_pDoc->IsConnected())
        return;
    QPointer<CPalaverDoc> doc = m_pDoc;
    doc->SaveModified();
    if (doc)
        doc->CloseConnection();
    if (doc)
        doc->OpenConnection();
}

void CPalaverView::OnSendMessage()
{
    OpenSpeakWindow(m_strSelectedFriend);
}

void CPalaverView::OnBlockedUsers()
{
    if (!m_pDoc)
        return;
    if (m_pDoc->IsBlockedListHeld()) {
        RunBlockedUsersDialog();
        return;
    }
    CNetMessage msg;
    msg.sender = m_pDoc->UserName();
    msg.command = Cmd::BlockedList;
    m_pDoc->Send(msg);
}

void CPalaverView::RunBlockedUsersDialog()
{
    if (m_pDoc)
        RunRecorded(new CBlockedUsersDlg(m_pDoc, nullptr), m_pDoc->m_pBlockedUsersDlg);
}

void CPalaverView::CreateAcceptFriendDialog(const std::string& invitation, const std::string& requester)
{
    if (!m_pDoc)
        return;
    // Every request gets a window of its own; each deletes itself when it
    // closes. The main window is its parent only so that none outlives the
    // program: a dialog is still a top-level window of its own.
    auto* dialog = new CAcceptFriendDlg(m_pDoc, window(), m_acceptAnswerPause);
    dialog->SetInvitation(invitation);
    dialog->SetRequester(requester);
    dialog->UpdateData(false);
    m_pDoc->m_pAcceptFriendDlg = dialog;
    // The request came from the server: Enter typed for another window must
    // not answer it.
    dialog->setFocus();
    ShowWithoutFocus(dialog);
}
