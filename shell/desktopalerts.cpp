#include "desktopalerts.h"

#include "dbusnotifier.h"
#include "mainframe.h"
#include "messagealerts.h"
#include "palaverview.h"
#include "trayicon.h"

#include <QSystemTrayIcon>

CMessageAlerts* InstallDesktopAlerts(CMainFrame& frame, CPalaverDoc& doc, QObject* owner)
{
    CPalaverView* view = frame.View();
    if (!view)
        return nullptr;
    auto* alerts = new CMessageAlerts(doc, *view, owner);
    CTrayIcon* tray = nullptr;
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray = new CTrayIcon(frame, owner);
        QObject::connect(alerts, &CMessageAlerts::UnreadChanged, tray, &CTrayIcon::SetUnread);
    }
    if (CDBusNotifier::IsServiceAvailable())
        alerts->SetNotifier(new CDBusNotifier(owner));
    else if (tray)
        alerts->SetNotifier(tray);
    return alerts;
}
