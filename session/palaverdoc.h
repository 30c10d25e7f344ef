#pragma once

#include "clientconnection.h"
#include "sessionui.h"
#include "usersettings.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

class QTreeWidget;
class QTreeWidgetItem;

// The session's pauses: the connection's, and the one after the log-off
// record "X", which gives the record time to leave before the socket closes.
// The program keeps the defaults; tests pass zero pauses.
struct CSessionTiming
{
    CConnectionTiming connection;
    std::chrono::milliseconds logoffPause{200};
};

// The session: the client's one document, alive from start-up to shutdown.
// It embeds the connection to the server, holds the logged-in user, the
// friends tree's bookkeeping, the offline messages, the blocked users and the
// settings, and reaches every window that a server answer must reach through
// the references below. Its connection hands it every received record
// (HandleRecord, the dispatcher).
//
// Window and dialog references are weak: a reference whose window has gone
// reads as null, and an answer for a dialog that is not open is ignored.
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
    // Queues the record on the connection: false when not connected or over
    // the limits (the result is rarely examined).
    bool Send(const CNetMessage& msg) { return m_connection.Send(msg); }

    // --- dispatch ------------------------------------------------------
    // Acts on one received record. `msg` is the connection's receive record;
    // handlers copy what they need before they open a box or a dialog.
    void HandleRecord(CNetMessage& msg);
    // "SL" with sender = `recipient` (the recipient of the record being handled).
    void RequestFriendsList(const std::string& recipient);
    void DeliverMessage(const CNetMessage& msg);

    // --- conversation windows ------------------------------------------
    CSpeakWindowBase* FindSpeakWindow(const std::string& name) const;
    void AddSpeakWindow(CSpeakWindowBase* window);
    void RemoveSpeakWindow(CSpeakWindowBase* window);
    CSpeakWindowBase* CurrentSpeakWindow() const { return m_pCurrentSpeakWindow; }
    void SetCurrentSpeakWindow(CSpeakWindowBase* window) { m_pCurrentSpeakWindow = window; }

    // --- friends tree and blocked users --------------------------------
    // The view's fixed items; resets both counts to 0.
    void SetFixedItems(QTreeWidgetItem* root, QTreeWidgetItem* online, QTreeWidgetItem* offline);
    void ShowFriendsList(CNetMessage& msg);
    void AddFriendItem(const std::string& name, bool online);
    QTreeWidgetItem* FindFriendItem(const std::string& name) const;
    void DeleteFriendItem(QTreeWidgetItem* item);
    // "SN"/"SX": moves a listed friend to the online or offline group.
    void MoveFriendItem(const std::string& name, bool online);
    void ClearFriendsTree();
    void UpdateGroupCaptions();
    int OnlineCount() const { return m_nOnlineCount; }
    int OfflineCount() const { return m_nOfflineCount; }
    QTreeWidgetItem* RootItem() const { return m_hRoot; }

    void StoreBlockedList(CNetMessage& msg);
    void EmptyBlockedList();
    // The conversation window's Block: "name" or "name*" (until log-off).
    void AddBlockedUser(const std::string& entry);
    const std::vector<std::unique_ptr<CNetMessage>>& BlockedUsers() const { return m_blockedUsers; }
    bool IsBlockedListHeld() const { return m_bBlockedListHeld; }

    // --- offline messages ----------------------------------------------
    void ShowOfflineMessages();
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

    // The view is usually a widget, and then the session notices when it is
    // destroyed: View() reads as null from then on.
    void SetView(ISessionView* view);
    ISessionView* View() const;

    // Dialogs and windows a server answer must reach. Each opener sets its
    // reference while the dialog runs and clears it afterwards; the
    // dispatcher sets the accept friend and blocked users references.
    QPointer<CLoginDlgBase> m_pLoginDlg;
    QPointer<QDialog> m_pAddFriendDlg;
    QPointer<QDialog> m_pAcceptFriendDlg;
    QPointer<QWidget> m_pOfflineMessagesWnd;
    QPointer<CChangePasswordDlgBase> m_pChangePasswordDlg;
    QPointer<QDialog> m_pDeleteFriendsDlg;
    QPointer<QDialog> m_pPreferences;
    QPointer<CModalDialog> m_pBlockedUsersDlg;

signals:
    void TitleChanged(const QString& title);
    // The connection's connected state changed.
    void ConnectionChanged(bool connected);
    // The connected or the logged-in state changed; commands re-check their state.
    void StateChanged();

private:
    void SetLoggedIn(int loggedIn);
    // The view's tree with its three fixed items, or null.
    QTreeWidget* Tree() const;
    QTreeWidgetItem* InsertFriendItem(const std::string& name, bool online);
    // Shows again the dialogs that hid themselves to wait for an answer.
    void ShowWaitingDialogs();

    std::chrono::milliseconds m_logoffPause;
    CClientConnection m_connection;
    std::string m_strUserName;
    std::string m_strPassword;
    QTreeWidgetItem* m_hRoot = nullptr;
    QTreeWidgetItem* m_hOnline = nullptr;
    QTreeWidgetItem* m_hOffline = nullptr;
    int m_nOnlineCount = 0;
    int m_nOfflineCount = 0;
    std::vector<QPointer<CSpeakWindowBase>> m_speakWindows;
    std::vector<std::unique_ptr<CNetMessage>> m_blockedUsers;
    bool m_bBlockedListHeld = false;
    QPointer<CSpeakWindowBase> m_pCurrentSpeakWindow;
    std::vector<std::unique_ptr<CNetMessage>> m_offlineMessages;
    // The "ON" record for each stored message, at the same position.
    std::vector<CNetMessage> m_offlineAcks;
    CUserSettings m_settings;
    int m_bLoggedIn = 0;
    QString m_strTitle;
    ISessionView* m_pView = nullptr;
    QPointer<QObject> m_pViewObject;
    bool m_bViewIsObject = false;
};
