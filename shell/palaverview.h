#pragma once

#include "sessionui.h"

#include <QPointer>
#include <QWidget>

#include <chrono>
#include <string>

class CFriendsTree;
class CNetMessage;
class CPalaverDoc;
class QAction;
class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

// The friends list: the "Friends List" caption over the tree of friends,
// online and offline, which mirrors the session's list. It handles almost
// every command of the main window, and opens the windows and dialogs the
// session's signals call for.
class CPalaverView final : public QWidget, public ISessionView
{
    Q_OBJECT

public:
    explicit CPalaverView(CPalaverDoc& doc, QWidget* parent = nullptr);
    ~CPalaverView() override;

    // Once the session has started: the background colour, the fixed items
    // and the first layout; the view becomes the session's view and follows
    // its signals.
    void OnInitialUpdate();

    // Command routing from the main frame: true when the view handles `id`.
    bool OnCommand(int id);
    // Sets the command's enabled state (and the Login/Change User text);
    // false for commands the view does not handle.
    bool OnUpdateCommand(int id, QAction& action) const;

    // The pause an accept friend dialog waits after answering (0 in tests).
    void SetAcceptAnswerPause(std::chrono::milliseconds pause) { m_acceptAnswerPause = pause; }

    const std::string& SelectedFriend() const { return m_strSelectedFriend; }
    QLabel* Caption() const { return m_pCaption; }

    QTreeWidget* TreeControl() const;
    CFriendsTree* FriendsTree() const { return m_tree; }
    // The conversation window last opened or brought forward, or null.
    CSpeakWindowBase* CurrentSpeakWindow() const { return m_pCurrentSpeakWindow; }
    // The open offline messages window's list pane, or null.
    QWidget* OfflineMessagesWindow() const { return m_pOfflineMessagesWnd; }

    // ISessionView
    CSpeakWindowBase* OpenSpeakWindow(const std::string& name, SpeakFocus focus = SpeakFocus::Take) override;

    // What the session's signals call for.
    void BringToForeground();
    // Hint 1: the colour settings changed.
    void OnUpdate(int hint);
    // A friend request: a modeless accept dialog of its own.
    void CreateAcceptFriendDialog(const std::string& invitation, const std::string& requester);
    // Runs the blocked users dialog modally over the session's stored list.
    void RunBlockedUsersDialog();
    // Brings forward the offline messages window, made and filled from the
    // session's store when none is open.
    void ShowOfflineMessagesWindow();
    void CloseOfflineMessagesWindow();

    // Change User: the login dialog, once the connection is made. At
    // start-up (`startUp`) stored credentials may log in by themselves, and
    // a connection that is not there is only told; the command opens one.
    void OnChangeUser(bool startUp = false);

    // The commands.
    void OnOfflineMessages();
    void OnAddFriend();
    void OnChangePassword();
    void OnDisconnect();
    void OnDeleteFriends();
    void OnPreferences();
    void OnSendMessage();
    void OnBlockedUsers();

signals:
    // A line from the server is shown in `window`, which was not the active
    // window as the line arrived (or was not open).
    void LineUnseen(CSpeakWindowBase* window, const CNetMessage& line);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void RunLoginDialog(bool startUp);
    void OnColorsChanged() { OnUpdate(1); }
    void OnChangeUserWanted() { OnChangeUser(); }
    void OnMessageArrived(const CNetMessage& line);
    // The offline messages window made, or null when it cannot be.
    QWidget* CreateOfflineMessagesWindow();
    void LayoutTree();
    void ApplyBackground();
    void OnSelectionChanged();
    void OnDoubleClick(QTreeWidgetItem* item);

    QLabel* m_pCaption = nullptr;
    CFriendsTree* m_tree = nullptr;
    QPointer<QWidget> m_pOfflineMessagesWnd;
    QPointer<CSpeakWindowBase> m_pCurrentSpeakWindow;
    QPointer<CPalaverDoc> m_pDoc;
    bool m_bLayoutPending = true;
    std::string m_strSelectedFriend;
    std::chrono::milliseconds m_acceptAnswerPause{200};
    bool m_bLoginAwaitsConnection = false;
};
