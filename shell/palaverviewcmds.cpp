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

// Runs the dialog modally and deletes it. The run may outlive the dialog (a
// window closing at shutdown can delete it), so the dialog is guarded.
void RunAndDelete(CModalDialog* created)
{
    QPointer<CModalDialog> dialog(created);
    dialog->RunModal();
    delete dialog.data();
}

} // namespace

void CPalaverView::OnChangeUser(bool startUp)
{
    if (!m_pDoc)
        return;
    // At start-up a server that cannot be reached yet is tried again by the
    // session: the dialog is usable meanwhile, and its automatic login goes
    // as soon as the server answers.
    if (m_pDoc->IsConnected() || (startUp && m_pDoc->IsWaitingForServer())) {
        RunLoginDialog(startUp);
        return;
    }
    const QString unreachable =
        startUp ? QStringLiteral("Not connected to Server") : QStringLiteral("Server is not running");
    if (!m_pDoc->Connection().IsConnecting() && (startUp || !m_pDoc->OpenConnection())) {
        ShowMessageBox(unreachable);
        return;
    }
    // The window stays live while the connection is made; the dialog opens
    // once it is, from the event loop rather than inside the socket's signal.
    if (m_bLoginAwaitsConnection)
        return;
    m_bLoginAwaitsConnection = true;
    connect(
        &m_pDoc->Connection(), &CServerConnection::ConnectFinished, this,
        [this, startUp, unreachable](bool connected) {
            m_bLoginAwaitsConnection = false;
            if (m_pDoc && ((connected && m_pDoc->IsConnected()) || (startUp && m_pDoc->IsWaitingForServer())))
                RunLoginDialog(startUp);
            else
                ShowMessageBox(unreachable);
        },
        static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::SingleShotConnection));
}

void CPalaverView::RunLoginDialog(bool startUp)
{
    auto* dialog = new CLoginDlg(m_pDoc, nullptr);
    // From the command, stored credentials fill the dialog but never log in
    // again by themselves; at start-up they may.
    dialog->SetAutoLoginAllowed(startUp);
    RunAndDelete(dialog);
}

void CPalaverView::OnOfflineMessages()
{
    if (m_pDoc)
        m_pDoc->ShowOfflineMessages();
}

void CPalaverView::OnAddFriend()
{
    if (m_pDoc)
        RunAndDelete(new CAddFriendDlg(m_pDoc, this));
}

void CPalaverView::OnChangePassword()
{
    if (m_pDoc)
        RunAndDelete(new CChangePasswordDlg(m_pDoc, nullptr));
}

void CPalaverView::OnDeleteFriends()
{
    if (m_pDoc)
        RunAndDelete(new CDeleteFriendsDlg(m_pDoc, nullptr));
}

void CPalaverView::OnPreferences()
{
    if (m_pDoc)
        RunAndDelete(new CPreferences(QStringLiteral("Murmurly Preferences"), m_pDoc, nullptr, 0));
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
        RunAndDelete(new CBlockedUsersDlg(m_pDoc, nullptr));
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
    // The request came from the server: Enter typed for another window must
    // not answer it.
    dialog->setFocus();
    ShowWithoutFocus(dialog);
}
