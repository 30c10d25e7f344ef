#pragma once

#include <QObject>
#include <QString>

// Where a notice about a new message goes outside the program's windows: the
// desktop's notification service, or the balloon of a tray icon. Tests put
// their own in.
class INotifier : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Shows a notice with `title` over `body`. A newer notice with the same
    // `key` may replace the older one. False when there is nowhere to show it
    // (nothing more is to be done then).
    virtual bool Show(quint64 key, const QString& title, const QString& body) = 0;

signals:
    // The user clicked the notice shown with `key`.
    void Clicked(quint64 key);
};
