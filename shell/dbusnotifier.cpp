#include "dbusnotifier.h"

#include "messagebox.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>
#include <QVariantMap>

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
const QString kInterface = QStringLiteral("org.freedesktop.Notifications");
const QString kDefaultAction = QStringLiteral("default");

} // namespace

CDBusNotifier::CDBusNotifier(QObject* parent) : INotifier(parent)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    bus.connect(kService, kPath, kInterface, QStringLiteral("ActionInvoked"), this,
                SLOT(ActionInvoked(uint, QString)));
    bus.connect(kService, kPath, kInterface, QStringLiteral("NotificationClosed"), this,
                SLOT(NotificationClosed(uint, uint)));
    // Asked once, without waiting: until the answer comes, bodies are escaped.
    const QDBusMessage ask =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("GetCapabilities"));
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(ask), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        const QDBusPendingReply<QStringList> reply = *call;
        if (reply.isValid())
            m_bBodyMarkup = reply.value().contains(QStringLiteral("body-markup"));
        call->deleteLater();
    });
}

bool CDBusNotifier::IsServiceAvailable()
{
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface())
        return false;
    if (bus.interface()->isServiceRegistered(kService))
        return true;
    const QDBusReply<QStringList> activatable = bus.interface()->activatableServiceNames();
    return activatable.isValid() && activatable.value().contains(kService);
}

bool CDBusNotifier::Show(quint64 key, const QString& title, const QString& body)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return false;
    const auto shown = m_shown.find(key);
    const uint replaces = shown == m_shown.end() ? 0 : shown->second;
    QVariantMap hints;
    hints.insert(QStringLiteral("category"), QStringLiteral("im.received"));
    hints.insert(QStringLiteral("desktop-entry"), QGuiApplication::desktopFileName());
    QDBusMessage notify =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
    notify << QString::fromLatin1(kApplicationTitle) << replaces << QStringLiteral("murmurly") << title
           << (m_bBodyMarkup ? body.toHtmlEscaped() : body)
           << QStringList{kDefaultAction, QStringLiteral("Show")} << hints << -1;
    // The service answers with the notice's id, which its signals name later.
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(notify), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, key](QDBusPendingCallWatcher* call) {
        const QDBusPendingReply<uint> reply = *call;
        if (reply.isValid())
            m_shown[key] = reply.value();
        call->deleteLater();
    });
    return true;
}

void CDBusNotifier::ActionInvoked(uint id, const QString& action)
{
    if (action != kDefaultAction)
        return;
    for (const auto& [key, shown] : m_shown) {
        if (shown == id) {
            emit Clicked(key);
            return;
        }
    }
}

void CDBusNotifier::NotificationClosed(uint id, uint)
{
    for (auto it = m_shown.begin(); it != m_shown.end(); ++it) {
        if (it->second == id) {
            m_shown.erase(it);
            return;
        }
    }
}
