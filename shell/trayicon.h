#pragma once

#include "notifier.h"

#include <QIcon>
#include <QMenu>
#include <QPointer>

class CMainFrame;
class QAction;
class QSystemTrayIcon;

// The program's icon in the desktop's tray: its menu shows the main window,
// disconnects or ends the program (the main window's own commands), and it
// shows how many messages are unread, in its tool tip and as a number drawn
// on the icon. Where the desktop has no notification service, its balloon
// carries the notices for new messages.
class CTrayIcon final : public INotifier
{
    Q_OBJECT

public:
    explicit CTrayIcon(CMainFrame& frame, QObject* parent = nullptr);
    ~CTrayIcon() override;

    void SetUnread(int count);
    // What the session does by itself (the countdown to the next attempt to
    // reconnect), a line of its own in the tool tip; empty for none.
    void SetStatus(const QString& status);
    bool Show(quint64 key, const QString& title, const QString& body) override;

    QSystemTrayIcon* Icon() const { return m_pIcon; }
    QMenu* Menu() const { return m_pMenu; }
    QAction* ShowAction() const { return m_pShow; }

    // `base` with `count` drawn in a red disc in its lower right corner;
    // `base` itself when the count is 0.
    static QIcon WithCount(const QIcon& base, int count);
    // "Murmurly", or "Murmurly - 1 unread message" and so on, with the
    // status on a line of its own below.
    static QString ToolTip(int count, const QString& status = {});

private:
    void ShowMainWindow();

    QPointer<CMainFrame> m_pFrame;
    // A window without a parent: the program may close it before the icon goes.
    QPointer<QMenu> m_pMenu;
    QSystemTrayIcon* m_pIcon = nullptr;
    QAction* m_pShow = nullptr;
    QIcon m_baseIcon;
    quint64 m_lastKey = 0;
    int m_nUnread = 0;
    QString m_strStatus;
};
