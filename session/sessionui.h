#pragma once

// What the session needs of the windows that show it. The session lives in
// this folder and knows no concrete window; the shell's friends list view,
// the dialogs and the conversation windows implement these.

#include "modaldialog.h"

#include <QWidget>

#include <string>

class CNetMessage;
class QTreeWidget;

// Item kinds of the friends tree, kept in each item's kFriendKindRole data:
// the root, the two groups, and friends online (3) and offline (4). Only
// kinds 3 and 4 are friends.
enum FriendItemKind {
    KindRoot = 0,
    KindOnlineGroup = 1,
    KindOfflineGroup = 2,
    KindOnlineFriend = 3,
    KindOfflineFriend = 4,
};
inline constexpr int kFriendKindRole = Qt::UserRole;

// A conversation window as the session sees it.
class CSpeakWindowBase : public QWidget
{
    Q_OBJECT

public:
    using QWidget::QWidget;

    // The correspondent: the name the window holds now (its To name).
    virtual std::string To() const = 0;
    // Adds the record's line in the record's font and colour.
    virtual void AppendMessage(const CNetMessage& msg) = 0;
    // Gives the window the keyboard focus and brings it forward.
    virtual void Activate() = 0;
};

// The login dialog's values that the session reads when the server answers.
class CLoginDlgBase : public CModalDialog
{
    Q_OBJECT

public:
    using CModalDialog::CModalDialog;

    virtual std::string UserName() const = 0;
    virtual std::string Password() const = 0;
    virtual int Remember() const = 0;
    virtual int AutoLogin() const = 0;
    // The registration dialog it opened, while that is open.
    virtual CModalDialog* RegistrationDialog() const = 0;
    // Shown again after a refused or lost login, for the user to correct the
    // input: an ordinary login dialog, whether the login was typed or automatic.
    virtual void ShowAgain() { show(); }
};

// The change password dialog's retyped new password, which becomes the
// session's password when the server confirms the change.
class CChangePasswordDlgBase : public CModalDialog
{
    Q_OBJECT

public:
    using CModalDialog::CModalDialog;

    virtual std::string RetypedPassword() const = 0;
};

// The friends list view: the owner of the friends tree and the opener of the
// windows that the session's answers call for.
class ISessionView
{
public:
    virtual ~ISessionView() = default;

    virtual QTreeWidget* TreeControl() = 0;
    // Empties the tree and inserts the root and the two groups again; the
    // session's item references and counts are reset through SetFixedItems.
    virtual void RebuildFixedItems() = 0;
    virtual void BringToForeground() = 0;
    // Hint 1: the colour settings changed.
    virtual void OnUpdate(int hint) = 0;

    // Opens, or brings forward, the conversation window for `name`; the
    // window becomes the session's current conversation window.
    virtual void OpenSpeakWindow(const std::string& name) = 0;
    // A friend request: a modeless accept dialog of its own.
    virtual void CreateAcceptFriendDialog(const std::string& invitation, const std::string& requester) = 0;
    // Runs the blocked users dialog modally over the session's stored list.
    virtual void RunBlockedUsersDialog() = 0;
    // Creates the offline messages window and returns its list pane (the
    // session's reference), or null when it cannot be made.
    virtual QWidget* CreateOfflineMessagesWindow() = 0;
    // Fills the open offline messages window from the session's store.
    virtual void FillOfflineMessagesWindow(QWidget* window) = 0;
    // The Change User command as the friends list view runs it.
    virtual void OpenLoginDialog() = 0;
};
