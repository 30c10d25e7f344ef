#pragma once

#include "notifier.h"

#include <QStringList>

#include <map>

// Notices through the desktop's notification service on the session bus
// (org.freedesktop.Notifications). Each conversation keeps one notice, which
// its next message replaces; clicking it invokes the "default" action.
class CDBusNotifier final : public INotifier
{
    Q_OBJECT

public:
    explicit CDBusNotifier(QObject* parent = nullptr);

    // A session bus is there and a notification service is running on it,
    // or can be started by the bus.
    static bool IsServiceAvailable();

    bool Show(quint64 key, const QString& title, const QString& body) override;

private slots:
    // The service's signals; their names and types are the service's own.
    void ActionInvoked(uint id, const QString& action);
    void NotificationClosed(uint id, uint reason);

private:
    // The service's id of each notice shown, by key.
    std::map<quint64, uint> m_shown;
    // Whether the service reads markup in bodies (then the text is escaped).
    bool m_bBodyMarkup = true;
};
