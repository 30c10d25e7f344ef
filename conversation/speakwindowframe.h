#pragma once

#include <QMainWindow>
#include <QPointer>

class CPalaverDoc;
class CSpeakWindow;
class QToolBar;

// The top-level window of one conversation: no owner, menu 121 and toolbar
// 146 over its one CSpeakWindow view, deleted when closed. Its view leaves
// the session's list of conversation windows as the frame goes, whichever
// way it is closed. The opener places and titles it (OpenSpeakWindow).
class CSpeakWindowFrame final : public QMainWindow
{
    Q_OBJECT

public:
    explicit CSpeakWindowFrame(CPalaverDoc* doc);
    ~CSpeakWindowFrame() override;

    CSpeakWindow* View() const { return m_pView; }
    // The session the conversation belongs to.
    CPalaverDoc* Document() const;
    QToolBar* ToolBar() const { return m_wndToolBar; }
    // The menu or toolbar action of command `id`, or null.
    QAction* CommandAction(int id) const;

    // Leaves the session's list, then goes (deleted from the event loop).
    void DestroyWindow();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateMenu();
    void CreateToolBar();
    void OnCommand(int id);
    void RemoveFromDocument();
    // The application's About box, the main window's own command.
    void OnAppAbout();

    QPointer<CPalaverDoc> m_pDoc;
    CSpeakWindow* m_pView = nullptr;
    QToolBar* m_wndToolBar = nullptr;
    bool m_bRemoved = false;
};
