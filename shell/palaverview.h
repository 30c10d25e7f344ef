#pragma once

#include "sessionui.h"

#include <QPointer>
#include <QWidget>

#include <chrono>
#include <string>

class CPalaverDoc;
class QAction;
class QLabel;
class QTreeWidget;
class QTreeWidgetItem;

// The friends list: the "Friends List" caption over the tree of friends,
// online and offline. It owns the tree and its three fixed items (the
// session fills the groups), handles almost every command of the main
// window, and opens the windows and dialogs the session's answers call for.
class CPalaverView final : public QWidget, public ISessionView
{
    Q_OBJECT

public:
    explicit CPalaverView(CPalaverDoc& doc, QWidget* parent = nullptr);
    ~CPalaverView() override;

    // Once the session has started: the background colour, the fixed items
    // and the first layout; the view becomes the session's view.
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

    // ISessionView
    QTreeWidget* TreeControl() override { return m_tree; }
    void RebuildFixedItems() override;
    void BringToForeground() override;
    void OnUpdate(int hint) override;
    void OpenSpeakWindow(const std::string& name, SpeakFocus focus = SpeakFocus::Take) override;
    void CreateAcceptFriendDialog(const std::string& invitation, const std::string& requester) override;
    void RunBlockedUsersDialog() override;
    QWidget* CreateOfflineMessagesWindow() override;
    void FillOfflineMessagesWindow(QWidget* window) override;
    void OpenLoginDialog() override;

    // The commands.
    void OnChangeUser();
    void OnOfflineMessages();
    void OnAddFriend();
    void OnChangePassword();
    void OnDisconnect();
    void OnDeleteFriends();
    void OnPreferences();
    void OnSendMessage();
    void OnBlockedUsers();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void RunLoginDialog();
    void LayoutTree();
    void ApplyBackground();
    void OnSelectionChanged();
    void OnDoubleClick(QTreeWidgetItem* item);

    QLabel* m_pCaption = nullptr;
    QTreeWidget* m_tree = nullptr;
    QPointer<CPalaverDoc> m_pDoc;
    bool m_bLayoutPending = true;
    std::string m_strSelectedFriend;
    std::chrono::milliseconds m_acceptAnswerPause{200};
    bool m_bLoginAwaitsConnection = false;
};
