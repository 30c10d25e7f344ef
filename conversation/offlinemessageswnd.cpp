#include "offlinemessageswnd.h"

#include "palaverdoc.h"

#include <QCloseEvent>
#include <QMenuBar>
#include <QSplitter>

COfflineMessagesFrameWnd::COfflineMessagesFrameWnd(CPalaverDoc* doc) : QMainWindow(nullptr), m_pDoc(doc)
{
    setAttribute(Qt::WA_DeleteOnClose);

    // Menu 137: Help alone.
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction* about = help->addAction(QStringLiteral("&About Murmurly"));
    connect(about, &QAction::triggered, this, &COfflineMessagesFrameWnd::AboutRequested);
    // Escape closes it, as it closes a dialog.
    auto* escape = new QAction(this);
    escape->setShortcut(QKeySequence(Qt::Key_Escape));
    addAction(escape);
    connect(escape, &QAction::triggered, this, &QWidget::close);

    OnCreateClient();
}

CPalaverDoc* COfflineMessagesFrameWnd::Document() const
{
    return m_pDoc;
}

void COfflineMessagesFrameWnd::OnCreateClient()
{
    // Two rows, one column: the list on top, the text below, 200 pixels each
    // to begin with.
    m_wndSplitter = new QSplitter(Qt::Vertical, this);
    m_wndSplitter->setChildrenCollapsible(false);
    m_pListPane = new CListPane(m_pDoc, m_wndSplitter);
    m_pTextPane = new CTextPane(m_wndSplitter);
    m_wndSplitter->addWidget(m_pListPane);
    m_wndSplitter->addWidget(m_pTextPane);
    m_wndSplitter->setSizes({200, 200});
    m_pListPane->SetTextPane(m_pTextPane);
    setCentralWidget(m_wndSplitter);
}

void COfflineMessagesFrameWnd::closeEvent(QCloseEvent* event)
{
    QMainWindow::closeEvent(event);
    if (event->isAccepted())
        DestroyWindow();
}

void COfflineMessagesFrameWnd::DestroyWindow()
{
    emit Closed();
}
