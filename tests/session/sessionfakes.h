#pragma once

// Stand-ins for the windows the session talks to: a friends list view over a
// real QTreeWidget that notes every call, dialogs that expose the values the
// session reads, and a conversation window that keeps the lines it is given.

#include "palaverdoc.h"
#include "sessionui.h"

#include <QDialog>
#include <QPointer>
#include <QTreeWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// One appended line as the conversation window received it.
struct CShownLine
{
    std::string sender;
    std::string text;
    std::string faceName;
    CLogFont font;
    uint32_t color = 0;
    int32_t size = 0;
};

class CFakeSpeakWindow final : public CSpeakWindowBase
{
    Q_OBJECT

public:
    explicit CFakeSpeakWindow(std::string to, QWidget* parent = nullptr);

    std::string To() const override { return m_strTo; }
    void AppendMessage(const CNetMessage& msg) override;
    void Activate() override { ++m_nActivated; }
    void ShowWithoutFocus() override { ++m_nShownWithoutFocus; }

    std::string m_strTo;
    std::vector<CShownLine> m_lines;
    int m_nActivated = 0;
    int m_nShownWithoutFocus = 0;
};

// A modal dialog whose initialisation runs a hook (to send and hide, as the
// real dialogs do).
class CFakeModalDlg : public CModalDialog
{
    Q_OBJECT

public:
    using CModalDialog::CModalDialog;

    std::function<void()> m_onInit;

protected:
    void OnInitDialog() override
    {
        if (m_onInit)
            m_onInit();
    }
};

class CFakeLoginDlg final : public CLoginDlgBase
{
    Q_OBJECT

public:
    using CLoginDlgBase::CLoginDlgBase;

    std::string UserName() const override { return m_strUserName; }
    std::string Password() const override { return m_strPassword; }
    int Remember() const override { return m_bRemember; }
    int AutoLogin() const override { return m_bAutoLogin; }
    CModalDialog* RegistrationDialog() const override { return m_pRegistrationDlg; }

    std::string m_strUserName;
    std::string m_strPassword;
    int m_bRemember = 0;
    int m_bAutoLogin = 0;
    QPointer<CModalDialog> m_pRegistrationDlg;
    std::function<void()> m_onInit;

protected:
    void OnInitDialog() override
    {
        if (m_onInit)
            m_onInit();
    }
};

class CFakeChangePasswordDlg final : public CChangePasswordDlgBase
{
    Q_OBJECT

public:
    using CChangePasswordDlgBase::CChangePasswordDlgBase;

    std::string RetypedPassword() const override { return m_strRetyped; }

    std::string m_strRetyped;
    std::function<void()> m_onInit;

protected:
    void OnInitDialog() override
    {
        if (m_onInit)
            m_onInit();
    }
};

// The friends list view. It is a widget, as the real one is, so the session
// notices when it goes.
class CFakeView final : public QWidget, public ISessionView
{
    Q_OBJECT

public:
    explicit CFakeView(CPalaverDoc& doc, QWidget* parent = nullptr);
    ~CFakeView() override;

    QTreeWidget* TreeControl() override { return m_pTree; }
    void RebuildFixedItems() override;
    void BringToForeground() override;
    void OnUpdate(int hint) override { m_updates.push_back(hint); }
    void OpenSpeakWindow(const std::string& name, SpeakFocus focus = SpeakFocus::Take) override;
    void CreateAcceptFriendDialog(const std::string& invitation, const std::string& requester) override;
    void RunBlockedUsersDialog() override;
    QWidget* CreateOfflineMessagesWindow() override;
    void FillOfflineMessagesWindow(QWidget* window) override;
    void OpenLoginDialog() override { ++m_nLoginDialogs; }

    // The group items as the view made them, and the friends under each.
    QTreeWidgetItem* OnlineGroup() const;
    QTreeWidgetItem* OfflineGroup() const;
    static QStringList Children(const QTreeWidgetItem* group);

    CPalaverDoc& m_doc;
    QTreeWidget* m_pTree;

    int m_nRebuilds = 0;
    int m_nForeground = 0;
    std::vector<int> m_updates;

    bool m_bFailSpeakWindow = false;
    std::vector<std::string> m_openedSpeakWindows;
    std::vector<std::unique_ptr<CFakeSpeakWindow>> m_speakWindows;

    struct CAcceptRequest
    {
        std::string invitation;
        std::string requester;
        QPointer<QDialog> dialog;
    };
    std::vector<CAcceptRequest> m_acceptRequests;

    // Each run of the blocked users dialog: the names it was shown, and its
    // result. m_onBlockedInit runs inside the dialog's initialisation.
    std::function<void(CFakeModalDlg&)> m_onBlockedInit;
    std::vector<std::vector<std::string>> m_blockedRuns;
    std::vector<int> m_blockedResults;

    bool m_bFailOfflineWindow = false;
    int m_nOfflineWindowsCreated = 0;
    std::vector<std::unique_ptr<QWidget>> m_offlineWindows;
    // Each fill: the senders in the store, in its order.
    std::vector<std::vector<std::string>> m_offlineFills;

    int m_nLoginDialogs = 0;
    // Friend requests from "~mark..." are markers the tests send after a
    // record to know it has been handled; they open nothing.
    std::vector<std::string> m_marks;
    // Whatever the next BringToForeground should note, e.g. the dialog state.
    std::function<void()> m_onForeground;
};

// A copy of a record with every field, for building expected records.
CNetMessage CopyRecord(const CNetMessage& msg);
