// The session's reaction to every record the server sends.
//
// Codes are matched by their leading characters, in a fixed order: "Z" and
// "ZX" whole, then by the first character S, O, B or F and, for S, by the
// second and sometimes the third. Anything else is ignored.
//
// A handler may show a message box or run a modal dialog; further records
// are dispatched inside that loop and decoded into the same receive record,
// so whatever a handler needs after a box it takes from the record before.
// Dialog references are weak: an answer whose dialog is not open (any more)
// is ignored.

#include "commands.h"
#include "messagebox.h"
#include "palaverdoc.h"

#include <QPointer>

namespace {

QString FromUtf8(const std::string& s)
{
    return QString::fromStdString(s);
}

// A copy that keeps every field; the record's own copy leaves out the names,
// the face name and the font.
CNetMessage FullCopy(const CNetMessage& msg)
{
    CNetMessage copy(msg);
    copy.names = msg.names;
    copy.font = msg.font;
    copy.faceName = msg.faceName;
    return copy;
}

} // namespace

void CPalaverDoc::HandleRecord(CNetMessage& msg)
{
    const std::string code = msg.command;

    if (code == Cmd::ServerShutdown) {
        ShowMessageBox(QStringLiteral("Server is shutting down. Logging you off ..."));
        // With the flag clear the log-off sends no "X" and keeps the socket.
        m_connection.SetConnected(0);
        SaveModified();
        return;
    }
    if (code == Cmd::AdminLogoff) {
        SaveModified();
        m_connection.SetConnected(0);
        ShowMessageBox(QStringLiteral("Admin has logged you off ..."));
        return;
    }
    if (code.empty())
        return;

    const std::size_t length = code.size();
    const char second = length > 1 ? code[1] : '\0';
    const char third = length > 2 ? code[2] : '\0';

    switch (code[0]) {
    case 'S':
        switch (second) {
        case 'L':
            if (third == 'U') {
                // The friends list. The first one after a login completes it.
                const std::string recipient = msg.recipient;
                const bool firstList = !IsLoggedIn();
                if (firstList) {
                    if (!m_pLoginDlg)
                        return;
                    m_settings.m_nAutoLogin = m_pLoginDlg->AutoLogin();
                    m_settings.m_nRememberLogin = m_pLoginDlg->Remember();
                    m_settings.m_strUserName = m_pLoginDlg->UserName();
                    m_settings.m_strPassword = m_pLoginDlg->Password();
                    SaveSettings(SettingsLogin);
                    if (m_pLoginDlg)
                        m_pLoginDlg->EndDialog(0);
                }
                ShowFriendsList(msg);
                if (firstList) {
                    CNetMessage complete;
                    complete.sender = recipient;
                    complete.command = Cmd::LoginComplete;
                    Send(complete);
                }
                SetLoggedIn(1);
            } else {
                // Login accepted: the user is the one the login dialog sent.
                if (!m_pLoginDlg)
                    return;
                m_strUserName = m_pLoginDlg->UserName();
                m_strPassword = m_pLoginDlg->Password();
                RequestFriendsList(msg.recipient);
            }
            return;
        case 'R': {
            QPointer<CModalDialog> registration = m_pLoginDlg ? m_pLoginDlg->RegistrationDialog() : nullptr;
            if (!registration)
                return;
            registration->EndDialog(0);
            ShowMessageBox(QStringLiteral("Registration success, proceed to Login"));
            return;
        }
        case 'M':
            DeliverMessage(msg);
            return;
        case 'N':
            MoveFriendItem(msg.sender, true);
            return;
        case 'X':
            MoveFriendItem(msg.sender, false);
            return;
        case 'F':
            if (third == 'A') {
                if (ISessionView* view = View())
                    view->CreateAcceptFriendDialog(msg.text, msg.sender);
                return;
            }
            if (third == 'N' || third == 'X') {
                AddFriendItem(msg.sender, third == 'N');
                return;
            }
            ShowMessageBox(QStringLiteral("A message has been sent to ") + FromUtf8(msg.sender) +
                           QStringLiteral(" asking for his/her permission"));
            return;
        case 'C': {
            QPointer<CChangePasswordDlgBase> dlg = m_pChangePasswordDlg;
            if (!dlg)
                return;
            m_strPassword = dlg->RetypedPassword();
            // A remembered login must keep working at the next start.
            if (m_settings.m_nRememberLogin && m_settings.m_strUserName == m_strUserName) {
                m_settings.m_strPassword = m_strPassword;
                SaveSettings(SettingsLogin);
            }
            dlg->EndDialog(0);
            m_pChangePasswordDlg = nullptr;
            ShowMessageBox(QStringLiteral("Password changed successfully"));
            return;
        }
        case 'D': {
            const std::string recipient = msg.recipient;
            ShowMessageBox(QStringLiteral("Selected Friends deleted successfully"));
            ClearFriendsTree();
            RequestFriendsList(recipient);
            return;
        }
        case 'B': {
            // "SB" usually arrives inside the modal run of the blocked users
            // dialog that "B" started and that hid itself after sending.
            QPointer<CModalDialog> dlg = m_pBlockedUsersDlg;
            if (!dlg)
                return;
            dlg->show();
            ShowMessageBox(QStringLiteral("The selected users are now unblocked"));
            if (dlg)
                dlg->EndDialog(0);
            EmptyBlockedList();
            return;
        }
        default:
            return;
        }

    case 'O':
        if (second == 'L') {
            // The end of the stored messages; the server sends it only after
            // at least one "O", and one on its own has nothing to show.
            if (!m_offlineMessages.empty())
                ShowOfflineMessages();
            return;
        }
        // Kept as the record's own copy. The server keeps it too until it is
        // acknowledged, which happens when the user deletes it (see
        // RemoveOfflineMessage); the acknowledgement is made now, while every
        // field of the record, names (its id) and font included, is at hand.
        {
            CNetMessage ack = FullCopy(msg);
            ack.sender = m_strUserName;
            ack.command = Cmd::OfflineAck;
            m_offlineMessages.push_back(std::make_unique<CNetMessage>(msg));
            m_offlineAcks.push_back(std::move(ack));
        }
        return;

    case 'B':
        StoreBlockedList(msg);
        // A second answer (the command asked twice before the first came)
        // opens no second dialog over the first: the session holds one
        // reference, and the dialog it lost would wait hidden for good.
        if (m_pBlockedUsersDlg)
            return;
        if (ISessionView* view = View())
            view->RunBlockedUsersDialog();
        return;

    case 'F': {
        const bool loginFailed = second == 'L';
        ShowMessageBox(FromUtf8(msg.sender));
        // The user corrects the input in the login dialog, shown again.
        if (loginFailed && m_pLoginDlg)
            m_pLoginDlg->ShowAgain();
        return;
    }

    default:
        return;
    }
}

void CPalaverDoc::RequestFriendsList(const std::string& recipient)
{
    CNetMessage request;
    request.sender = recipient;
    request.command = Cmd::FriendsList;
    Send(request);
}

void CPalaverDoc::DeliverMessage(const CNetMessage& msg)
{
    CSpeakWindowBase* window = FindSpeakWindow(msg.sender);
    SetCurrentSpeakWindow(window);
    if (!window) {
        // Opening the window may show a box, inside which the receive record
        // is overwritten: the line to show is taken first.
        const CNetMessage line = FullCopy(msg);
        if (ISessionView* view = View())
            view->OpenSpeakWindow(line.sender);
        if (CSpeakWindowBase* opened = CurrentSpeakWindow())
            opened->AppendMessage(line);
        return;
    }
    window->AppendMessage(msg);
}
