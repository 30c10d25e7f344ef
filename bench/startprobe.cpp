// Tells when a Qt program first shows a window, without the program's help:
// loaded with LD_PRELOAD, it watches every event of the application and
// writes the monotonic clock, in nanoseconds, to the file named by
// MURMURLY_SHOWN_FILE when the first window is exposed. The same probe goes
// into every program murmurly-bench-client --startup compares, so what it
// costs is the same for each.
//
//   MURMURLY_SHOWN_FILE=/tmp/shown LD_PRELOAD=build/bench/libmurmurly-startprobe.so PROGRAM ...

#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QWindow>

#include <time.h>

namespace {

class CShownProbe final : public QObject
{
public:
    explicit CShownProbe(QString path, QObject* parent) : QObject(parent), m_path(std::move(path)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (m_bWritten || event->type() != QEvent::Expose || !watched->isWindowType())
            return false;
        // The expose that makes a window visible, not one that hides it.
        if (!static_cast<QWindow*>(watched)->isExposed())
            return false;
        timespec now = {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long long ns = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
        QFile file(m_path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(QByteArray::number(ns));
        m_bWritten = true;
        return false;
    }

private:
    QString m_path;
    bool m_bWritten = false;
};

void InstallShownProbe()
{
    const QString path = qEnvironmentVariable("MURMURLY_SHOWN_FILE");
    if (path.isEmpty())
        return;
    QCoreApplication* app = QCoreApplication::instance();
    app->installEventFilter(new CShownProbe(path, app));
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(InstallShownProbe)
