#pragma once

// Stand-ins for the windows that follow the session's signals: a friends
// list view over the real friends tree that notes every signal, dialogs that
// answer the session as the real ones do, and a conversation window that
// keeps the lines it is given.

#include "friendstree.h"
#include "palaverdoc.h"
#include "sessionfixture.h"
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

// A change password dialog: it tells the session the retyped password
// (Await) and ends with the session's confirmation, showing its box.
class CFakeChangePasswordDlg final : public CFakeModalDlg
{
    Q_OBJECT

public:
    using CFakeModalDlg::CFakeModalDlg;
    ~CFakeChangePasswordDlg() override;

    void Await(CPalaverDoc& doc);

    std::string m_strRetyped;

protected:
    void OnEndRun() override;

private:
    QPointer<CPalaverDoc> m_pDoc;
};

// The friends list view. It is a widget, as the real one is, so the session
// notices when it goes.
class CFakeView final : public QWidget, public ISessionView
{
    Q_OBJECT

public:
    explicit CFakeView(CPalaverDoc& doc, QWidget* parent = nullptr);
    ~CFakeView() override;

    CSpeakWindowBase* OpenSpeakWindow(const std::string& name, SpeakFocus focus = SpeakFocus::Take) override;

    // The group items as the view made them, and the friends under each.
    QTreeWidgetItem* OnlineGroup() const;
    QTreeWidgetItem* OfflineGroup() const;
    static QStringList Children(const QTreeWidgetItem* group);

    CPalaverDoc& m_doc;
    CFriendsTree* m_pTree;

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
    // The open offline messages window, as the real view keeps it.
    QPointer<QWidget> m_pOfflineWnd;
    // Each fill: the senders in the store, in its order.
    std::vector<std::vector<std::string>> m_offlineFills;

    int m_nLoginDialogs = 0;
    // Friend requests from "~mark..." are markers the tests send after a
    // record to know it has been handled; they open nothing.
    std::vector<std::string> m_marks;
    // Whatever the next BringToForeground should note, e.g. the dialog state.
    std::function<void()> m_onForeground;

private:
    void BringToForeground();
    void CreateAcceptFriendDialog(const std::string& invitation, const std::string& requester);
    void RunBlockedUsersDialog();
    void ShowOfflineMessagesWindow();
    void CloseOfflineMessagesWindow();
    void OnMessageArrived(const CNetMessage& line);
};

