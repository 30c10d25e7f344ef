#include "palaverapp.h"

#include "desktopalerts.h"
#include "mainframe.h"
#include "messagebox.h"
#include "modaldialog.h"
#include "palaverdoc.h"
#include "palaverview.h"
#include "resources.h"
#include "sessionprompts.h"
#include "splashwnd.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The write end of the pipe through which SIGTERM reaches the event loop
// (a signal handler may do no more than write a byte).
int g_termPipe[2] = {-1, -1};

void OnTermSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_termPipe[1], &byte, 1);
}

} // namespace

CPalaverApp::CPalaverApp(int& argc, char** argv) : QApplication(argc, argv)
{
    setApplicationName(QString::fromLatin1(kApplicationTitle));
    setOrganizationName(QStringLiteral("Brambleworks"));
    setDesktopFileName(QStringLiteral("org.brambleworks.Murmurly"));
    // The program ends when the main window closes, and only then: open
    // conversation windows do not keep it running, a closed login dialog at
    // start-up does not end it.
    setQuitOnLastWindowClosed(false);
    setWindowIcon(ApplicationIcon());
}

CPalaverApp::~CPalaverApp()
{
    delete m_pMainFrame.data();
    // Conversation and offline windows have no owner; they go before the
    // session they show.
    QList<QPointer<QWidget>> windows;
    for (QWidget* window : topLevelWidgets())
        windows.append(window);
    for (const QPointer<QWidget>& window : windows)
        delete window.data();
    m_pDoc.reset();
    if (g_termPipe[0] >= 0) {
        std::signal(SIGTERM, SIG_DFL);
        ::close(g_termPipe[0]);
        ::close(g_termPipe[1]);
        g_termPipe[0] = g_termPipe[1] = -1;
    }
}

bool CPalaverApp::IsEmbedding(const QStringList& arguments)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        QString argument = arguments[i];
        if (!argument.startsWith(QLatin1Char('-')) && !argument.startsWith(QLatin1Char('/')))
            continue;
        argument.remove(0, 1);
        if (argument.compare(QStringLiteral("Embedding"), Qt::CaseInsensitive) == 0 ||
            argument.compare(QStringLiteral("Automation"), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool CPalaverApp::InitInstance()
{
    return InitInstance(CSessionTiming{});
}

bool CPalaverApp::InitInstance(const CSessionTiming& timing)
{
    const bool embedding = IsEmbedding(arguments());
    CSplashWindow::SetSplashEnabled(!embedding);
    InstallTerminationHandler();

    // Creating the main frame shows the splash window.
    m_pMainFrame = new CMainFrame;
    connect(m_pMainFrame, &CMainFrame::Closed, this, &CPalaverApp::OnMainFrameClosed);

    // Started for embedding or automation: no session, no window, no login.
    if (embedding)
        return true;

    // The session loads the settings and connects; then its friends list
    // takes the settings' colour and its fixed items.
    m_pDoc = std::make_unique<CPalaverDoc>(timing);
    ConnectSessionPrompts(*m_pDoc);
    CPalaverView* view = m_pMainFrame->CreateChild(*m_pDoc);
    if (!m_pDoc->OnNewDocument())
        return false;
    view->OnInitialUpdate();
    InstallDesktopAlerts(*m_pMainFrame, *m_pDoc, this);

    m_pMainFrame->show();
    m_pMainFrame->repaint();

    // Modal: start-up waits here until the login dialog closes. Records are
    // dispatched inside its loop, so a stored automatic login completes here.
    m_pMainFrame->OnChangeUser();
    return true;
}

void CPalaverApp::OnMainFrameClosed()
{
    m_bEnded = true;
    // Before the main loop (start-up's login dialog) quitting has no loop to
    // end: the dialogs still running are ended instead, so start-up returns.
    for (QWidget* window : topLevelWidgets())
        if (auto* dialog = qobject_cast<CModalDialog*>(window); dialog && dialog->IsRunning())
            dialog->EndDialog(IDCANCEL);
    quit();
}

bool CPalaverApp::notify(QObject* receiver, QEvent* event)
{
    if (PreTranslateMessage(receiver, event))
        return true;
    return QApplication::notify(receiver, event);
}

bool CPalaverApp::PreTranslateMessage(QObject* receiver, QEvent* event)
{
    return CSplashWindow::FilterSplashMessage(receiver, event);
}

void CPalaverApp::InstallTerminationHandler()
{
    if (g_termPipe[0] >= 0 || ::pipe2(g_termPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    m_pTermNotifier = new QSocketNotifier(g_termPipe[0], QSocketNotifier::Read, this);
    connect(m_pTermNotifier, &QSocketNotifier::activated, this, &CPalaverApp::OnTerminationRequested);
    struct sigaction action = {};
    action.sa_handler = OnTermSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
}

void CPalaverApp::OnTerminationRequested()
{
    char byte = 0;
    while (::read(g_termPipe[0], &byte, 1) > 0) {
    }
    // A shown main window closes as the user would close it (logging off);
    // a hidden one (embedding) has nothing to close.
    if (m_pMainFrame && m_pMainFrame->isVisible())
        m_pMainFrame->close();
    else
        quit();
}

CMainFrame* CPalaverApp::MainFrame() const
{
    return m_pMainFrame;
}
