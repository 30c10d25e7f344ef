#include "desktopalerts.h"

#include "dbusnotifier.h"
#include "mainframe.h"
#include "messagealerts.h"
#include "palaverdoc.h"
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
        // The countdown to the next reconnect shows where the window may not.
        QObject::connect(&doc, &CPalaverDoc::StatusTextChanged, tray, [tray, &doc](const QString& text) {
            tray->SetStatus(doc.IsReconnecting() ? text : QString());
        });
    }
    if (CDBusNotifier::IsServiceAvailable())
        alerts->SetNotifier(new CDBusNotifier(owner));
    else if (tray)
        alerts->SetNotifier(tray);
    return alerts;
}
