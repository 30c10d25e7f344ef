#pragma once

#include "listpane.h"
#include "textpane.h"

#include <QMainWindow>
#include <QPointer>

class CPalaverDoc;
class QSplitter;

// The offline messages window: the list of stored messages over the
// selected message's text, in two panes whose split bar the user can drag.
// A top-level window without owner, deleted when closed. The friends list
// view keeps its list pane as its reference to the one open window; closing
// tells it at once (Closed), so the next Offline Messages command opens a new
// window even before this one is gone.
class COfflineMessagesFrameWnd final : public QMainWindow
{
    Q_OBJECT

public:
    explicit COfflineMessagesFrameWnd(CPalaverDoc* doc);

    CListPane* ListPane() const { return m_pListPane; }
    // The session whose messages it shows.
    CPalaverDoc* Document() const;
    CTextPane* TextPane() const { return m_pTextPane; }
    QSplitter* Splitter() const { return m_wndSplitter; }

signals:
    // "&About Murmurly" of the window's Help menu; the shell shows its About box.
    void AboutRequested();
    // The window was closed and is about to go.
    void Closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void DestroyWindow();
    void OnCreateClient();

    QPointer<CPalaverDoc> m_pDoc;
    QSplitter* m_wndSplitter = nullptr;
    CListPane* m_pListPane = nullptr;
    CTextPane* m_pTextPane = nullptr;
};
