#include "attention.h"

#include <QApplication>
#include <QWidget>

namespace {

AlertHandler& Handler()
{
    static AlertHandler handler;
    return handler;
}

} // namespace

void ShowWithoutFocus(QWidget* window)
{
    BringForwardWithoutFocus(window);
    if (window && !QApplication::activeWindow())
        RequestAttention(window);
}

void BringForwardWithoutFocus(QWidget* window)
{
    if (!window)
        return;
    window->setAttribute(Qt::WA_ShowWithoutActivating);
    if (window->isMinimized())
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
}

void RequestAttention(QWidget* window)
{
    if (!window)
        return;
    if (Handler())
        Handler()(window);
    else
        QApplication::alert(window);
}

AlertHandler SetAlertHandler(AlertHandler handler)
{
    AlertHandler previous = std::move(Handler());
    Handler() = std::move(handler);
    return previous;
}
