// The session's reaction to every record the server sends: a table from the
// command code to one handler per reaction.
//
// A code is matched by the longest row that is a prefix of it, so that the
// longer codes the server may add later still reach their family's handler
// ("SFQ" is answered as "SF", "SLU..." as "SLU"); "Z" and "ZX" are matched
// whole. Codes that match no row are ignored.
//
// A handler changes the session's state and emits what the user must see.
// The windows are connected directly, so a box or a modal dialog they open
// runs inside the handler; further records are dispatched inside that loop
// and decoded into the same receive record, so whatever a handler needs
// after a signal it takes from the record before. An answer that no dialog
// waits for (any more) is ignored.

#include "commands.h"
#include "palaverdoc.h"

#include <algorithm>
#include <cstring>

namespace {

QString FromUtf8(const std::string& s)
{
    return QString::fromStdString(s);
}

} // namespace

const CPalaverDoc::CHandlerRow* CPalaverDoc::FindHandler(const std::string& code)
{
    static const CHandlerRow table[] = {
        {Cmd::ServerShutdown, true, &CPalaverDoc::OnServerShutdown},
        {Cmd::AdminLogoff, true, &CPalaverDoc::OnAdminLogoff},
        {Cmd::LoginAccepted, false, &CPalaverDoc::OnLoginAccepted},
        {Cmd::FriendsListAnswer, false, &CPalaverDoc::OnFriendsList},
        {Cmd::Registered, false, &CPalaverDoc::OnRegistered},
        {Cmd::IncomingMessage, false, &CPalaverDoc::DeliverMessage},
        {Cmd::FriendOnline, false, &CPalaverDoc::OnFriendOnline},
        {Cmd::FriendOffline, false, &CPalaverDoc::OnFriendOffline},
        {Cmd::FriendRequest, false, &CPalaverDoc::OnFriendRequest},
        {Cmd::NewFriendOnline, false, &CPalaverDoc::OnNewFriend},
        {Cmd::NewFriendOffline, false, &CPalaverDoc::OnNewFriend},
        {Cmd::FriendRequestSent, false, &CPalaverDoc::OnFriendRequestSent},
        {Cmd::PasswordChanged, false, &CPalaverDoc::OnPasswordChanged},
        {Cmd::FriendsDeleted, false, &CPalaverDoc::OnFriendsDeleted},
        {Cmd::Unblocked, false, &CPalaverDoc::OnUnblocked},
        {Cmd::OfflineMessage, false, &CPalaverDoc::OnOfflineMessage},
        {Cmd::OfflineEnd, false, &CPalaverDoc::OnOfflineEnd},
        {Cmd::BlockedListAnswer, false, &CPalaverDoc::OnBlockedList},
        {Cmd::Failure, false, &CPalaverDoc::OnFailure},
        {Cmd::LoginFailed, false, &CPalaverDoc::OnLoginFailed},
        {Cmd::MessageAck, false, &CPalaverDoc::OnMessageAnswer},
    };
    const CHandlerRow* best = nullptr;
    std::size_t bestLength = 0;
    for (const CHandlerRow& row : table) {
        const std::size_t length = std::strlen(row.code);
        const bool matches = row.whole ? code == row.code : code.compare(0, length, row.code) == 0;
        if (matches && length > bestLength) {
            best = &row;
            bestLength = length;
        }
    }
    return best;
}

void CPalaverDoc::HandleRecord(CNetMessage& msg)
{
    if (const CHandlerRow* row = FindHandler(msg.command))
        (this->*row->handler)(msg);
}

void CPalaverDoc::OnServerShutdown(CNetMessage&)
{
    if (ShouldReconnect()) {
        // As below, but the countdown starts before the box: it runs on
        // inside the box's own loop.
        m_connection.SetConnected(0);
        LogoffForReconnect();
        Notify(QStringLiteral("Server is shutting down. Logging you off ..."));
        return;
    }
    Notify(QStringLiteral("Server is shutting down. Logging you off ..."));
    // With the flag clear the log-off sends no "X" and keeps the socket.
    m_connection.SetConnected(0);
    SaveModified();
}

void CPalaverDoc::OnAdminLogoff(CNetMessage&)
{
    // The user logged in elsewhere (or was put out): coming back would
    // throw that other session out in turn.
    if (m_reconnector.IsActive() || m_bRelogin)
        EndReconnect(QString());
    SaveModified();
    m_connection.SetConnected(0);
    Notify(QStringLiteral("Admin has logged you off ..."));
}

void CPalaverDoc::OnLoginAccepted(CNetMessage& msg)
{
    // The user is the one the login dialog sent.
    if (!m_bLoginWaiting)
        return;
    if (m_login.userName != m_strUserName) {
        m_recentMessages.Clear();
        m_shownOffline.clear();
    }
    m_strUserName = m_login.userName;
    m_strPassword = m_login.password;
    const std::vector<std::string>& offers = msg.names;
    m_bReceipts = std::find(offers.begin(), offers.end(), COutbox::kReceipts) != offers.end();
    // Opened now, not at the first line the burst after the login brings;
    // the lines this user left waiting are read from it.
    m_history.Open(m_strUserName, m_history.IsKeeping());
    m_outbox.SetOwner(m_strUserName);
    RequestFriendsList(msg.recipient);
}

void CPalaverDoc::OnFriendsList(CNetMessage& msg)
{
    // The first list after a login completes it.
    const std::string recipient = msg.recipient;
    const bool firstList = !IsLoggedIn();
    if (firstList) {
        if (!m_bLoginWaiting)
            return;
        m_settings.m_nAutoLogin = m_login.autoLogin;
        m_settings.m_nRememberLogin = m_login.remember;
        m_settings.m_strUserName = m_login.userName;
        m_settings.m_strPassword = m_login.password;
        SaveSettings(SettingsLogin);
        emit LoginAccepted();
    }
    ShowFriendsList(msg);
    if (firstList) {
        CNetMessage complete;
        complete.sender = recipient;
        complete.command = Cmd::LoginComplete;
        Send(complete);
    }
    SetLoggedIn(1);
    // What waits goes out behind "SLO", before anything typed from now on.
    if (firstList)
        m_outbox.OnLoggedIn(m_bReceipts);
    if (firstList)
        m_bCameBack = m_bRelogin;
    if (firstList && m_bRelogin)
        EndReconnect(QStringLiteral("Logged in"));
    if (firstList)
        emit NoticesOutdated();
}

void CPalaverDoc::OnRegistered(CNetMessage&)
{
    if (!m_bRegistrationWaiting)
        return;
    emit Registered(QStringLiteral("Registration success, proceed to Login"));
}

void CPalaverDoc::OnFriendOnline(CNetMessage& msg)
{
    MoveFriendItem(msg.sender, true);
}

void CPalaverDoc::OnFriendOffline(CNetMessage& msg)
{
    MoveFriendItem(msg.sender, false);
}

void CPalaverDoc::OnFriendRequest(CNetMessage& msg)
{
    emit FriendRequestArrived(msg.text, msg.sender);
}

void CPalaverDoc::OnNewFriend(CNetMessage& msg)
{
    AddFriendItem(msg.sender, msg.command.compare(0, 3, Cmd::NewFriendOnline) == 0);
}

void CPalaverDoc::OnFriendRequestSent(CNetMessage& msg)
{
    Notify(QStringLiteral("A message has been sent to ") + FromUtf8(msg.sender) +
           QStringLiteral(" asking for his/her permission"));
}

void CPalaverDoc::OnPasswordChanged(CNetMessage&)
{
    if (!m_bPasswordChangeWaiting)
        return;
    m_bPasswordChangeWaiting = false;
    m_strPassword = m_strNewPassword;
    // A remembered login must keep working at the next start.
    if (m_settings.m_nRememberLogin && m_settings.m_strUserName == m_strUserName) {
        m_settings.m_strPassword = m_strPassword;
        SaveSettings(SettingsLogin);
    }
    emit PasswordChanged(QStringLiteral("Password changed successfully"));
}

void CPalaverDoc::OnFriendsDeleted(CNetMessage& msg)
{
    const std::string recipient = msg.recipient;
    Notify(QStringLiteral("Selected Friends deleted successfully"));
    ClearFriendsTree();
    RequestFriendsList(recipient);
}

void CPalaverDoc::OnUnblocked(CNetMessage&)
{
    // "SB" usually arrives inside the modal run of the blocked users dialog
    // that "B" started and that hid itself after sending.
    if (!m_bBlockedUsersOpen)
        return;
    emit UsersUnblocked(QStringLiteral("The selected users are now unblocked"));
    EmptyBlockedList();
}

void CPalaverDoc::OnOfflineMessage(CNetMessage& msg)
{
    // With receipts "O" names = [stored id, sender's id]. A message the user
    // has already, live or as another stored copy, is only acknowledged, so
    // that the server forgets this copy; the same stored message coming back
    // at a new login is shown as it always was.
    if (msg.names.size() >= 2) {
        const std::optional<std::string> known = KnownMessage(msg.sender, msg.names[1]);
        if (known && *known != msg.names[0]) {
            CNetMessage ack = CNetMessage::FullCopy(msg);
            ack.sender = m_strUserName;
            ack.command = Cmd::OfflineAck;
            Send(ack);
            return;
        }
        m_recentMessages.Add(msg.sender, msg.names[1], msg.names[0]);
    }
    // Kept as the record's own copy. The server keeps it too until it is
    // acknowledged, which happens when the user deletes it (see
    // RemoveOfflineMessage); the acknowledgement is made now, while every
    // field of the record, names (its id) and font included, is at hand.
    CNetMessage ack = CNetMessage::FullCopy(msg);
    ack.sender = m_strUserName;
    ack.command = Cmd::OfflineAck;
    m_history.RecordStored(m_strUserName, msg);
    m_offlineMessages.push_back(std::make_unique<CNetMessage>(msg));
    m_offlineAcks.push_back(std::move(ack));
}

void CPalaverDoc::OnOfflineEnd(CNetMessage&)
{
    // The end of the stored messages; the server sends it only after at
    // least one "O", and one on its own has nothing to show. Those not
    // deleted come again at every login: after one the session made by
    // itself, the window comes up again only for one it has not shown.
    if (m_offlineMessages.empty() || (m_bCameBack && !HasUnshownOfflineMessages()))
        return;
    m_bQuietOffline = m_bCameBack;
    ShowOfflineMessages();
    m_bQuietOffline = false;
}

void CPalaverDoc::OnBlockedList(CNetMessage& msg)
{
    StoreBlockedList(msg);
    // A second answer (the command asked twice before the first came) opens
    // no second dialog over the first, which would wait hidden for good.
    if (m_bBlockedUsersOpen)
        return;
    emit BlockedListArrived();
}

void CPalaverDoc::OnFailure(CNetMessage& msg)
{
    // An "F" that names a line's id answers that line: it is marked, and
    // the box comes as for any failure.
    if (!msg.names.empty())
        m_outbox.OnAnswer(msg.names.front(), LineState::Failed, msg.sender);
    Notify(FromUtf8(msg.sender));
}

void CPalaverDoc::OnMessageAnswer(CNetMessage& msg)
{
    if (msg.names.empty())
        return;
    m_outbox.OnAnswer(msg.names.front(), msg.text == "delivered" ? LineState::Delivered : LineState::Stored,
                      {});
}

void CPalaverDoc::OnLoginFailed(CNetMessage& msg)
{
    // The remembered login no longer works: no more attempts with it.
    if (m_bRelogin) {
        EndReconnect(QString());
        Notify(FromUtf8(msg.sender));
        return;
    }
    Notify(FromUtf8(msg.sender));
    // The user corrects the input in the login dialog, shown again.
    if (m_bLoginWaiting)
        emit LoginRefused();
}

void CPalaverDoc::RequestFriendsList(const std::string& recipient)
{
    CNetMessage request;
    request.sender = recipient;
    request.command = Cmd::FriendsList;
    Send(request);
}

void CPalaverDoc::DeliverMessage(CNetMessage& msg)
{
    // With receipts "SM" names = [the sender's id]: a message sent again
    // after a lost connection may come twice, and is shown and kept once.
    if (!msg.names.empty()) {
        if (KnownMessage(msg.sender, msg.names.front()))
            return;
        m_recentMessages.Add(msg.sender, msg.names.front(), {});
    }
    // The window that opens for a new correspondent may show a box, inside
    // which the receive record is overwritten: the line goes out as a copy.
    // It is kept once shown, so a window that opens for it finds it among
    // the earlier lines no more.
    const CNetMessage line = CNetMessage::FullCopy(msg);
    emit MessageArrived(line);
    KeepLine(line, line.sender);
}

void CPalaverDoc::KeepLine(const CNetMessage& line, const std::string& correspondent)
{
    m_history.Record(m_strUserName, correspondent, line);
}

std::optional<std::string> CPalaverDoc::KnownMessage(const std::string& sender, const std::string& id)
{
    if (const std::string* storedId = m_recentMessages.Find(sender, id))
        return *storedId;
    return m_history.FindMessage(m_strUserName, sender, id);
}
