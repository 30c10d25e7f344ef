#include "desktopalerts.h"

#include "dbusnotifier.h"
#include "mainframe.h"
#include "messagealerts.h"
#include "palaverdoc.h"
#include "palaverview.h"
#include "trayicon.h"

#include <QPointer>
#include <QSystemTrayIcon>

namespace {

// Chooses where notices go when the first one is shown, not at start-up:
// asking whether the desktop has a notification service opens the session
// bus, with a thread of its own, which a user who never gets a notice in the
// background has no use for. The desktop's service is taken when it is
// there, else the tray's balloon, else notices go nowhere.
class CFirstNoticeNotifier final : public INotifier
{
public:
    CFirstNoticeNotifier(CTrayIcon* tray, QObject* parent) : INotifier(parent), m_pTray(tray) {}

    bool Show(quint64 key, const QString& title, const QString& body) override
    {
        if (!m_bChosen) {
            m_bChosen = true;
            if (CDBusNotifier::IsServiceAvailable())
                m_pChosen = new CDBusNotifier(this);
            else
                m_pChosen = m_pTray.data();
            if (m_pChosen)
                connect(m_pChosen, &INotifier::Clicked, this, &INotifier::Clicked);
        }
        return m_pChosen && m_pChosen->Show(key, title, body);
    }

private:
    QPointer<CTrayIcon> m_pTray;
    QPointer<INotifier> m_pChosen;
    bool m_bChosen = false;
};

} // namespace

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
    alerts->SetNotifier(new CFirstNoticeNotifier(tray, owner));
    return alerts;
}
