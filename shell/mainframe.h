#pragma once

#include <QMainWindow>
#include <QPointer>

#include <map>

class CChildFrame;
class CPalaverDoc;
class CPalaverView;
class QAction;
class QLabel;
class QMenu;
class QToolBar;

// The main window: 300 by 600 pixels, menu, toolbar and status bar, with the
// friends list (the child frame and its view) filling the rest. Commands go
// to the friends list view first, then to the frame itself.
class CMainFrame final : public QMainWindow
{
    Q_OBJECT

public:
    // Creating the frame shows the splash window when the splash is enabled.
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    // Creates the child frame with the friends list view for the session and
    // titles the window after the session. The view's initial update is
    // left to the caller, after the session has started.
    CPalaverView* CreateChild(CPalaverDoc& doc);
    CPalaverView* View() const;
    CChildFrame* ChildFrame() const;
    CPalaverDoc* Document() const;

    // Change User at start-up: the friends list view's, with automatic login
    // allowed.
    void OnChangeUser();

    QAction* Action(int id) const;
    // The status bar's count of the user's lines waiting to be sent; shown
    // only while not logged in and some wait, null until then.
    QLabel* WaitingLabel() const { return m_pWaitingLabel; }
    QToolBar* ToolBar() const { return m_wndToolBar; }
    // Re-checks every command's enabled state and text.
    void UpdateCommands();
    // Runs the command as a menu item or toolbar button would.
    void ExecuteCommand(int id);

signals:
    // The window has closed: the session has logged off; the program ends.
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void OnTitleChanged(const QString& title);
    void UpdateWaitingLabel();
    void OnAppAbout();

    std::map<int, QAction*> m_actions;
    QToolBar* m_wndToolBar = nullptr;
    QLabel* m_pWaitingLabel = nullptr;
    QPointer<CChildFrame> m_pChildFrame;
    QPointer<CPalaverDoc> m_pDoc;
};
