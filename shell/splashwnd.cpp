#include "splashwnd.h"

#include "resources.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QWindow>

namespace {

bool g_bShowSplash = false;
CSplashWindow* g_pSplashWnd = nullptr;

} // namespace

// Kept above: the main window and the login dialog are mapped after the
// splash, and a window manager that only learns of its owner later (the
// owner is not mapped yet when the splash is) would stack them over it.
CSplashWindow::CSplashWindow(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      m_pMainWindow(parent)
{
    g_pSplashWnd = this;
    setAttribute(Qt::WA_NoSystemBackground);
}

CSplashWindow::~CSplashWindow()
{
    if (g_pSplashWnd == this)
        g_pSplashWnd = nullptr;
}

void CSplashWindow::SetSplashEnabled(bool enabled)
{
    g_bShowSplash = enabled;
}

bool CSplashWindow::IsSplashEnabled()
{
    return g_bShowSplash;
}

CSplashWindow* CSplashWindow::Current()
{
    return g_pSplashWnd;
}

void CSplashWindow::ShowSplash(QWidget* parent)
{
    if (!g_bShowSplash || g_pSplashWnd)
        return;
    auto* splash = new CSplashWindow(parent);
    if (!splash->Create()) {
        delete splash;
        return;
    }
    // Owned by (transient for) the main frame, so that window managers keep
    // it above the main window while it is up. The main frame is not shown
    // yet and has no native window of its own; it gets one now.
    if (parent) {
        QWidget* owner = parent->window();
        owner->winId();
        splash->winId();
        splash->windowHandle()->setTransientParent(owner->windowHandle());
    }
    splash->show();
    splash->repaint();
}

bool CSplashWindow::Create()
{
    if (!m_bitmap.load(SplashPicturePath()) || m_bitmap.isNull())
        return false;
    resize(m_bitmap.size());
    // The main window is not visible yet, so the splash is centred in the
    // screen's work area rather than over it.
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [] { HideSplash(); });
    m_timer.start(750);
    return true;
}

void CSplashWindow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_bitmap);
}

bool CSplashWindow::FilterSplashMessage(QObject*, QEvent* event)
{
    if (!g_pSplashWnd || !event)
        return false;
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::NonClientAreaMouseButtonPress:
        HideSplash();
        return true;
    default:
        return false;
    }
}

void CSplashWindow::HideSplash()
{
    CSplashWindow* splash = g_pSplashWnd;
    if (!splash)
        return;
    QPointer<QWidget> mainWindow = splash->m_pMainWindow;
    g_pSplashWnd = nullptr;
    splash->hide();
    // Deleted later: this may run inside the splash's own timer signal.
    splash->deleteLater();
    if (mainWindow)
        mainWindow->repaint();
}
