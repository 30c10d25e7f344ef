#include "mainframe.h"

#include "aboutdlg.h"
#include "childframe.h"
#include "commandids.h"
#include "logindlg.h"
#include "messagebox.h"
#include "palaverdoc.h"
#include "palaverview.h"
#include "resources.h"
#include "serverconnection.h"
#include "splashwnd.h"

#include <QAction>
#include <QCloseEvent>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QToolBar>

namespace {

const QString kIdleText = QStringLiteral("Ready");

} // namespace

CMainFrame::CMainFrame(QWidget* parent) : QMainWindow(parent)
{
    resize(300, 600);
    setWindowTitle(QString::fromLatin1(kApplicationTitle));
    setWindowIcon(ApplicationIcon());
    CreateActions();
    CreateMenus();
    CreateToolBar();
    CreateStatusBar();
    UpdateCommands();
    CSplashWindow::ShowSplash(this);
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::CreateActions()
{
    for (const CCommandEntry& entry : kMainCommands) {
        auto* action = new QAction(QString::fromUtf8(entry.text), this);
        action->setData(entry.id);
        const QString prompt = QString::fromUtf8(entry.prompt);
        const qsizetype split = prompt.indexOf(QLatin1Char('\n'));
        action->setStatusTip(split < 0 ? prompt : prompt.left(split));
        if (split >= 0)
            action->setToolTip(prompt.mid(split + 1));
        const int id = entry.id;
        connect(action, &QAction::triggered, this, [this, id] { ExecuteCommand(id); });
        m_actions[id] = action;
    }
    Action(ID_VIEW_TOOLBAR)->setCheckable(true);
    Action(ID_VIEW_STATUS_BAR)->setCheckable(true);
    Action(ID_FILE_CHANGEUSER)->setIcon(ToolbarIcon(QStringLiteral("login")));
    Action(ID_TOOLS_SENDMESSAGE)->setIcon(ToolbarIcon(QStringLiteral("send")));
    Action(ID_FRIENDS_ADD)->setIcon(ToolbarIcon(QStringLiteral("addfriend")));
    Action(ID_FILE_PREFERENCES)->setIcon(ToolbarIcon(QStringLiteral("preferences")));
    Action(ID_APP_ABOUT)->setIcon(ToolbarIcon(QStringLiteral("about")));
}

void CMainFrame::CreateMenus()
{
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    file->addAction(Action(ID_FILE_CHANGEUSER));
    file->addAction(Action(ID_FILE_DISCONNECT));
    file->addSeparator();
    file->addAction(Action(ID_FILE_PREFERENCES));
    file->addSeparator();
    file->addAction(Action(ID_APP_EXIT));

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    view->addAction(Action(ID_VIEW_TOOLBAR));
    view->addAction(Action(ID_VIEW_STATUS_BAR));

    QMenu* tools = menuBar()->addMenu(QStringLiteral("&Tools"));
    tools->addAction(Action(ID_TOOLS_SENDMESSAGE));
    tools->addAction(Action(ID_TOOLS_OFFLINEMESSAGES));
    tools->addSeparator();
    tools->addAction(Action(ID_TOOLS_CHANGEPASSWORD));
    tools->addSeparator();
    QMenu* friends = tools->addMenu(QStringLiteral("&Friends List"));
    friends->addAction(Action(ID_FRIENDS_ADD));
    friends->addAction(Action(ID_FRIENDS_DELETE));
    tools->addAction(Action(ID_TOOLS_BLOCKEDUSERS));

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->addAction(Action(ID_APP_ABOUT));

    // Commands re-check their state before a menu shows.
    for (QMenu* menu : {file, view, tools, friends, help})
        connect(menu, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommands);
}

void CMainFrame::CreateToolBar()
{
    m_wndToolBar = new QToolBar(QStringLiteral("Toolbar"), this);
    m_wndToolBar->setObjectName(QStringLiteral("toolbar"));
    m_wndToolBar->setIconSize(QSize(16, 15));
    m_wndToolBar->addAction(Action(ID_FILE_CHANGEUSER));
    m_wndToolBar->addAction(Action(ID_TOOLS_SENDMESSAGE));
    m_wndToolBar->addAction(Action(ID_FRIENDS_ADD));
    m_wndToolBar->addSeparator();
    m_wndToolBar->addAction(Action(ID_FILE_PREFERENCES));
    m_wndToolBar->addSeparator();
    m_wndToolBar->addAction(Action(ID_APP_ABOUT));
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);
    connect(m_wndToolBar, &QToolBar::visibilityChanged, Action(ID_VIEW_TOOLBAR), &QAction::setChecked);
}

void CMainFrame::CreateStatusBar()
{
    // The message pane alone: the lock keys' state cannot be read portably,
    // and empty panes for them would only cut the prompts short.
    QStatusBar* bar = statusBar();
    // An empty message pane reads "Ready".
    connect(bar, &QStatusBar::messageChanged, this, [bar](const QString& text) {
        if (text.isEmpty())
            bar->showMessage(kIdleText);
    });
    bar->showMessage(kIdleText);
    Action(ID_VIEW_STATUS_BAR)->setChecked(true);
    Action(ID_VIEW_TOOLBAR)->setChecked(true);
}

CPalaverView* CMainFrame::CreateChild(CPalaverDoc& doc)
{
    m_pDoc = &doc;
    m_pChildFrame = new CChildFrame(doc, this);
    setCentralWidget(m_pChildFrame);
    connect(&doc, &CPalaverDoc::TitleChanged, this, &CMainFrame::OnTitleChanged);
    connect(&doc, &CPalaverDoc::StateChanged, this, &CMainFrame::UpdateCommands);
    connect(&doc, &CPalaverDoc::ConnectionChanged, this, &CMainFrame::UpdateCommands);
    // A history that cannot be kept is said here, once; nothing else stops.
    connect(&doc.History(), &CHistoryStore::WriteFailed, this,
            [this](const QString& text) { statusBar()->showMessage(text); });
    // Clearing runs on the history's writer; a failure there comes later.
    connect(&doc.History(), &CHistoryStore::ClearFailed, this,
            [this](const QString& text) { statusBar()->showMessage(text); });
    // What the session does by itself (a reconnect under way) shows in the
    // message pane; an empty text brings back the idle text.
    connect(&doc, &CPalaverDoc::StatusTextChanged, statusBar(),
            [this](const QString& text) { statusBar()->showMessage(text.isEmpty() ? kIdleText : text); });
    // The lines typed while the connection is away wait in the outbox: the
    // user sees how many until a login sends them.
    connect(&doc.Outbox(), &COutbox::WaitingCountChanged, this, &CMainFrame::UpdateWaitingLabel);
    connect(&doc, &CPalaverDoc::StateChanged, this, &CMainFrame::UpdateWaitingLabel);
    OnTitleChanged(doc.Title());
    UpdateWaitingLabel();
    UpdateCommands();
    return View();
}

CPalaverView* CMainFrame::View() const
{
    return m_pChildFrame ? m_pChildFrame->View() : nullptr;
}

QAction* CMainFrame::Action(int id) const
{
    const auto found = m_actions.find(id);
    return found == m_actions.end() ? nullptr : found->second;
}

void CMainFrame::OnTitleChanged(const QString& title)
{
    setWindowTitle(QString::fromLatin1(kApplicationTitle) + QStringLiteral(" - ") + title);
}

void CMainFrame::UpdateWaitingLabel()
{
    const int waiting = m_pDoc ? m_pDoc->Outbox().WaitingCount() : 0;
    if (!m_pDoc || m_pDoc->IsLoggedIn() || waiting == 0) {
        if (m_pWaitingLabel)
            m_pWaitingLabel->hide();
        return;
    }
    // A pane of its own, made the first time it is needed: until then the
    // prompts have the whole bar.
    if (!m_pWaitingLabel) {
        m_pWaitingLabel = new QLabel(statusBar());
        m_pWaitingLabel->setObjectName(QStringLiteral("waiting"));
        statusBar()->addPermanentWidget(m_pWaitingLabel);
    }
    m_pWaitingLabel->setText(waiting == 1 ? QStringLiteral("1 line waiting to be sent")
                                          : QStringLiteral("%1 lines waiting to be sent").arg(waiting));
    m_pWaitingLabel->show();
}

void CMainFrame::UpdateCommands()
{
    CPalaverView* view = View();
    for (const auto& [id, action] : m_actions) {
        if (view && view->OnUpdateCommand(id, *action))
            continue;
        switch (id) {
        case ID_FILE_CHANGEUSER:
        case ID_APP_ABOUT:
        case ID_APP_EXIT:
        case ID_VIEW_TOOLBAR:
        case ID_VIEW_STATUS_BAR:
            action->setEnabled(true);
            break;
        default:
            // Only the friends list view handles these.
            action->setEnabled(false);
            break;
        }
    }
}

void CMainFrame::ExecuteCommand(int id)
{
    UpdateCommands();
    // A disabled command is not run, whoever asks.
    if (QAction* action = Action(id); action && !action->isEnabled())
        return;
    QPointer<CMainFrame> alive(this);
    CPalaverView* view = View();
    if (!(view && view->OnCommand(id))) {
        switch (id) {
        case ID_FILE_CHANGEUSER:
            OnChangeUser();
            break;
        case ID_APP_ABOUT:
            OnAppAbout();
            break;
        case ID_APP_EXIT:
            close();
            break;
        case ID_VIEW_TOOLBAR:
            m_wndToolBar->setVisible(!m_wndToolBar->isVisible());
            Action(ID_VIEW_TOOLBAR)->setChecked(m_wndToolBar->isVisible());
            break;
        case ID_VIEW_STATUS_BAR:
            statusBar()->setVisible(!statusBar()->isVisible());
            Action(ID_VIEW_STATUS_BAR)->setChecked(statusBar()->isVisible());
            break;
        default:
            break;
        }
    }
    if (alive)
        UpdateCommands();
}

void CMainFrame::OnChangeUser()
{
    if (CPalaverView* view = View())
        view->OnChangeUser(true);
    else
        ShowMessageBox(QStringLiteral("Not connected to Server"));
}

void CMainFrame::OnAppAbout()
{
    CAboutDlg about(this);
    about.exec();
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    // The session's save-modified step logs off; the close always goes on.
    if (m_pDoc && !m_pDoc->SaveModified()) {
        event->ignore();
        return;
    }
    event->accept();
    emit Closed();
}

CPalaverDoc* CMainFrame::Document() const
{
    return m_pDoc;
}

CChildFrame* CMainFrame::ChildFrame() const
{
    return m_pChildFrame;
}
