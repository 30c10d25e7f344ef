#pragma once

#include "clientconnection.h"
#include "historystore.h"
#include "outbox.h"
#include "recentmessages.h"
#include "reconnector.h"
#include "usersettings.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

// How grave a notice is: an ordinary one, or one that stops what the user
// wanted (the program cannot go on as asked).
enum class NoticeKind { Warning, Error };

// A friend of the logged-in user, as the friends list shows it.
struct CFriend
{
    std::string name;
    bool online = false;
};

// The values of a login the user sent, kept while its answer is awaited.
struct CLoginRequest
{
    std::string userName;
    std::string password;
    int remember = 0;
    int autoLogin = 0;
};

// The session's pauses: the connection's, and the one after the log-off
// record "X", which gives the record time to leave before the socket closes.
// The program keeps the defaults; tests pass zero pauses.
struct CSessionTiming
{
    CConnectionTiming connection;
    std::chrono::milliseconds logoffPause{200};
    CReconnectTiming reconnect;
};

// The session: the client's one document, alive from start-up to shutdown.
// It embeds the connection to the server and holds the logged-in user, the
// friends with their online state, the offline messages, the blocked users,
// the settings and what the open dialogs wait for. It knows no window: its
// connection hands it every received record (HandleRecord, the dispatcher),
// and what the user must see goes out as signals, to which the friends list
// view, the dialogs and the conversation windows are connected directly, so
// that a window's reaction (a box, a modal dialog) runs inside the handler.
class CPalaverDoc : public QObject
{
    Q_OBJECT

public:
    explicit CPalaverDoc(const CConnectionTiming& timing = {}, QObject* parent = nullptr);
    explicit CPalaverDoc(const CSessionTiming& timing, QObject* parent = nullptr);
    ~CPalaverDoc() override;

    // --- document life -------------------------------------------------
    // Start of the session: title "Not logged in", settings loaded, and a
    // connection unless one is open already. Returns true.
    bool OnNewDocument();
    // Log-off: "X" when connected, the socket closed the log-off pause after
    // it has gone out (in the background), the session lists cleared, title
    // "Not logged in". Returns true (the close may go on).
    bool SaveModified();
    // The clean-up part of the log-off.
    void ClearSessionLists();

    // --- connection ----------------------------------------------------
    // Starts connecting on a new socket. True when the attempt is under way;
    // the connection's ConnectFinished tells how it ended.
    bool OpenConnection();
    void CloseConnection();
    // "Connection to server lost", then the state after log-off and CloseConnection.
    void OnConnectionLost();
    CClientConnection& Connection() { return m_connection; }

    // --- getting a lost session back -----------------------------------
    // With a remembered automatic login, a session lost with its connection
    // or ended by "Z" reconnects by itself after growing pauses and logs the
    // same user in again. A log-off (Disconnect, Change User, Exit), a login
    // by hand, a refused login and "ZX" end the series.
    bool IsReconnecting() const { return m_reconnector.IsActive(); }
    // A server that could not be reached at start-up is tried again with
    // the same pauses until it can; what is to be sent waits for that.
    bool IsWaitingForServer() const { return m_reconnector.IsActive() && m_bConnectOnly; }
    // What comes now comes of a login the session made by itself to come
    // back (its friends list, its offline messages): what it opens must not
    // take the keyboard from the user.
    bool IsLoggingInAgain() const { return m_bRelogin || m_bQuietOffline; }
    const CReconnector& Reconnector() const { return m_reconnector; }
    // Queues the record on the connection: false when not connected or over
    // the limits (the result is rarely examined).
    bool Send(const CNetMessage& msg) { return m_connection.Send(msg); }

    // --- the user's lines ------------------------------------------------
    // A line the user typed in a conversation window: `line` holds its
    // recipient, its text and its font fields. It becomes an "M" from the
    // logged-in user with an id of its own, is kept in the history and goes
    // through the outbox, which sends it as soon as (and as often as) a
    // login allows. An empty id when it is over the server's limits.
    CSentLine SendLine(CNetMessage line);
    COutbox& Outbox() { return m_outbox; }

    // --- dispatch ------------------------------------------------------
    // Acts on one received record through the handler its code's row names
    // (dispatch.cpp). `msg` is the connection's receive record; handlers copy
    // what they need before they emit a signal whose receiver may open a box.
    void HandleRecord(CNetMessage& msg);
    // "SL" with sender = `recipient` (the recipient of the record being handled).
    void RequestFriendsList(const std::string& recipient);
    // "SM": the line goes to the conversation windows (MessageArrived).
    void DeliverMessage(CNetMessage& msg);
    // Keeps a line of the conversation with `correspondent` in the logged-in
    // user's history (received lines are kept by the dispatcher).
    void KeepLine(const CNetMessage& line, const std::string& correspondent);
    CHistoryStore& History() { return m_history; }

    // --- answers the dialogs wait for ----------------------------------
    // A login dialog sent "L" with these values; the server's "SL" and first
    // "SLU" complete it. Until EndLogin (the dialog's run is over) the
    // answers act; without a login waiting they are ignored.
    void BeginLogin(const CLoginRequest& request);
    void EndLogin();
    bool IsLoginWaiting() const { return m_bLoginWaiting; }
    // A registration dialog is open: "SR" is its answer.
    void BeginRegistration() { m_bRegistrationWaiting = true; }
    void EndRegistration() { m_bRegistrationWaiting = false; }
    // A change password dialog sent "C": on "SC" the retyped new password
    // becomes the session's.
    void BeginPasswordChange(const std::string& newPassword);
    void EndPasswordChange() { m_bPasswordChangeWaiting = false; }
    bool IsPasswordChangeWaiting() const { return m_bPasswordChangeWaiting; }
    // The blocked users dialog is open: a second "B" opens no second one,
    // and "SB" is its answer.
    void SetBlockedUsersOpen(bool open) { m_bBlockedUsersOpen = open; }
    bool IsBlockedUsersOpen() const { return m_bBlockedUsersOpen; }

    // --- conversation windows ------------------------------------------
    // The open conversation windows, in the order they opened; each registers
    // itself and leaves when it closes. The log-off forgets them (they stay open).
    void AddSpeakWindow(QObject* window);
    void RemoveSpeakWindow(QObject* window);
    std::vector<QObject*> SpeakWindows() const;

    // --- friends list and blocked users --------------------------------
    // "SLU": the names, online ones marked with trailing asterisks, appended
    // to the list in their order; the record's names are taken.
    void ShowFriendsList(CNetMessage& msg);
    void AddFriendItem(const std::string& name, bool online);
    // The friend of that name as the list shows it (online ones first), or null.
    const CFriend* FindFriendItem(const std::string& name) const;
    // "SN"/"SX": moves a listed friend to the end of the online or offline group.
    void MoveFriendItem(const std::string& name, bool online);
    void ClearFriendsTree();
    const std::vector<CFriend>& Friends() const { return m_friends; }
    int OnlineCount() const { return m_nOnlineCount; }
    int OfflineCount() const { return m_nOfflineCount; }

    void StoreBlockedList(CNetMessage& msg);
    void EmptyBlockedList();
    // The conversation window's Block: "name" or "name*" (until log-off).
    void AddBlockedUser(const std::string& entry);
    const std::vector<std::unique_ptr<CNetMessage>>& BlockedUsers() const { return m_blockedUsers; }
    bool IsBlockedListHeld() const { return m_bBlockedListHeld; }

    // --- offline messages ----------------------------------------------
    // Asks for the offline messages window (OfflineMessagesWanted); what
    // the store holds then counts as shown.
    void ShowOfflineMessages();
    // The store holds a message the window has not shown during this
    // user's logins (the server sends the others again at each login).
    bool HasUnshownOfflineMessages() const;
    void ClearOfflineMessages();
    // Removes the message at `position` and acknowledges it to the server
    // with "ON", which then forgets it.
    void RemoveOfflineMessage(std::size_t position);
    const std::vector<std::unique_ptr<CNetMessage>>& OfflineMessages() const { return m_offlineMessages; }

    // --- settings ------------------------------------------------------
    void LoadSettings();
    void SaveSettings(int group);
    CUserSettings& Settings() { return m_settings; }

    // --- state ---------------------------------------------------------
    bool IsConnected() const { return m_connection.IsConnected() != 0; }
    bool IsLoggedIn() const { return m_bLoggedIn != 0; }
    const std::string& UserName() const { return m_strUserName; }
    const std::string& Password() const { return m_strPassword; }
    const QString& Title() const { return m_strTitle; }
    void SetTitle(const QString& title);

    // The friends list view, which opens the windows the session's signals
    // call for; others (the conversation and offline windows) reach it here.
    // A view that is destroyed reads as null.
    void SetView(QObject* view) { m_pView = view; }
    QObject* View() const { return m_pView; }

signals:
    // Something the user must read before going on; the windows show it in a
    // message box, and records that come meanwhile are handled inside it.
    void MessageBoxWanted(const QString& text, NoticeKind kind);
    // The same while the session brings itself back: the box must neither
    // wait nor take the keyboard, and it goes with NoticesOutdated.
    void QuietNoticeWanted(const QString& text, NoticeKind kind);
    // A login completed: what the quiet notices said is over.
    void NoticesOutdated();
    void TitleChanged(const QString& title);
    // What the session is doing, for the status bar; empty for the idle text.
    void StatusTextChanged(const QString& text);
    // The connection's connected state changed.
    void ConnectionChanged(bool connected);
    // The connected or the logged-in state changed; commands re-check their state.
    void StateChanged();

    // The friends list: emptied, a friend appended to a group or moved to
    // the end of the other, the two counts, and a list that arrived (the
    // list comes forward).
    void FriendsCleared();
    void FriendAdded(const std::string& name, bool online);
    void FriendMoved(const std::string& name, bool online);
    void FriendCountsChanged(int online, int offline);
    void FriendsListArrived();

    // Answers for the dialogs that wait: the login dialog ends (accepted) or
    // is shown again (refused); the others end, and show `text` in a box.
    void LoginAccepted();
    void LoginRefused();
    void Registered(const QString& text);
    void PasswordChanged(const QString& text);
    void UsersUnblocked(const QString& text);
    // The connection went while dialogs waited: they show themselves again.
    void AnswersLost();

    // What must open: a friend request's own dialog, the blocked users
    // dialog over the stored list, the offline messages window, a line of
    // a conversation (every field of the "SM" record), the login dialog for
    // another user to be remembered.
    void FriendRequestArrived(const std::string& invitation, const std::string& requester);
    void BlockedListArrived();
    void OfflineMessagesWanted();
    void MessageArrived(const CNetMessage& line);
    void ChangeUserWanted();
    // The offline store was emptied: its window closes.
    void OfflineMessagesCleared();
    // The colour and font settings changed.
    void ColorsChanged();

private:
    // One row of the dispatch table.
    struct CHandlerRow
    {
        const char* code;
        bool whole; // matched only as the whole code, never as a prefix
        void (CPalaverDoc::*handler)(CNetMessage&);
    };
    static const CHandlerRow* FindHandler(const std::string& code);

    // The handlers, one for each reaction to a record.
    void OnServerShutdown(CNetMessage& msg);
    void OnAdminLogoff(CNetMessage& msg);
    void OnLoginAccepted(CNetMessage& msg);
    void OnFriendsList(CNetMessage& msg);
    void OnRegistered(CNetMessage& msg);
    void OnFriendOnline(CNetMessage& msg);
    void OnFriendOffline(CNetMessage& msg);
    void OnFriendRequest(CNetMessage& msg);
    void OnNewFriend(CNetMessage& msg);
    void OnFriendRequestSent(CNetMessage& msg);
    void OnPasswordChanged(CNetMessage& msg);
    void OnFriendsDeleted(CNetMessage& msg);
    void OnUnblocked(CNetMessage& msg);
    void OnOfflineMessage(CNetMessage& msg);
    void OnOfflineEnd(CNetMessage& msg);
    void OnBlockedList(CNetMessage& msg);
    void OnFailure(CNetMessage& msg);
    void OnLoginFailed(CNetMessage& msg);
    void OnMessageAnswer(CNetMessage& msg);

    // The stored id the user has `sender`'s message `id` with ("" for one
    // that came live), or nothing when it is new.
    std::optional<std::string> KnownMessage(const std::string& sender, const std::string& id);

    // The remembered login may bring the session back: it is this user's,
    // remembered with automatic login, and the session was logged in or
    // is being brought back.
    bool ShouldReconnect() const;
    // Logs off for a reconnect: the conversation windows stay known and
    // the countdown starts (or goes on, longer, after a failed attempt).
    void LogoffForReconnect();
    void OnReconnectAttempt();
    void OnReconnectConnectFinished(bool connected);
    void SendRememberedLogin();
    void EndReconnect(const QString& status);

    // A notice of the ordinary kind (Tell).
    void Notify(const QString& text);
    // "Connection to server lost", with the reason when the bytes told it.
    QString LostText() const;
    // MessageBoxWanted, or QuietNoticeWanted while the session brings itself back.
    void Tell(const QString& text, NoticeKind kind);
    // The status text for the pause before the next attempt, as it runs down.
    void ShowCountdown();
    void SetLoggedIn(int loggedIn);
    void AppendFriend(const std::string& name, bool online);

    std::chrono::milliseconds m_logoffPause;
    CClientConnection m_connection;
    std::string m_strUserName;
    std::string m_strPassword;
    std::vector<CFriend> m_friends;
    int m_nOnlineCount = 0;
    int m_nOfflineCount = 0;
    std::vector<QPointer<QObject>> m_speakWindows;
    std::vector<std::unique_ptr<CNetMessage>> m_blockedUsers;
    bool m_bBlockedListHeld = false;
    std::vector<std::unique_ptr<CNetMessage>> m_offlineMessages;
    // The "ON" record for each stored message, at the same position.
    std::vector<CNetMessage> m_offlineAcks;
    CUserSettings m_settings;
    CHistoryStore m_history;
    COutbox m_outbox;
    bool m_bReceipts = false;
    CRecentMessages m_recentMessages;
    int m_bLoggedIn = 0;
    QString m_strTitle;
    QPointer<QObject> m_pView;
    CLoginRequest m_login;
    bool m_bLoginWaiting = false;
    bool m_bRegistrationWaiting = false;
    std::string m_strNewPassword;
    bool m_bPasswordChangeWaiting = false;
    bool m_bBlockedUsersOpen = false;
    CReconnector m_reconnector;
    QTimer m_countdown;
    // The series only has to reach the server: start-up's connect failed.
    bool m_bConnectOnly = false;
    // The connect start-up made has not reported yet.
    bool m_bFirstConnect = false;
    // The offline messages the window has shown to this user, by key.
    std::set<std::string> m_shownOffline;
    // The login in force is one the session made by itself.
    bool m_bCameBack = false;
    // The offline messages window is asked for after such a login.
    bool m_bQuietOffline = false;
    // The connect under way is the reconnect's own attempt.
    bool m_bReconnectAttempt = false;
    // The "L" in flight is the reconnect's own, not a dialog's.
    bool m_bRelogin = false;
    // The log-off under way is the reconnect's: it keeps the series going.
    bool m_bLoggingOffForReconnect = false;
    // A configuration problem was told during this series of attempts.
    bool m_bConfigProblemTold = false;
};
