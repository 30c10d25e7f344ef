#include "benchstartup.h"

#include "serverprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <time.h>

using namespace std::chrono_literals;

namespace {

// When RSS is read: start-up and its first second of idling are over.
constexpr auto kSettle = 3s;
constexpr int kDefaultRuns = 5;
constexpr double kClientRssGoalMb = 40.0;

struct CStartProgram
{
    CStartProgram(QString name_, QString path_) : name(std::move(name_)), path(std::move(path_)) {}

    QString name;
    QString path;
    std::vector<double> rssMb;
    std::vector<double> shownMs;
};

long long MonotonicNs()
{
    timespec now = {};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::optional<double> RssMb(qint64 pid)
{
    QFile rollup(QStringLiteral("/proc/%1/smaps_rollup").arg(pid));
    if (!rollup.open(QIODevice::ReadOnly))
        return std::nullopt;
    // A file in /proc has no size: it is read whole, not up to its end.
    for (const QByteArray& line : rollup.readAll().split('\n')) {
        if (line.startsWith("Rss:"))
            return line.simplified().split(' ').value(1).toDouble() / 1024.0;
    }
    return std::nullopt;
}

// Starts `program` in `dir` (its working folder and its settings' home),
// waits kSettle, reads its RSS and when it first showed a window, ends it.
bool MeasureStart(CStartProgram& program, const QString& dir)
{
    const QString shownFile = dir + QStringLiteral("/shown");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir);
    env.insert(QStringLiteral("XDG_DATA_HOME"), dir);
    env.insert(QStringLiteral("MURMURLY_SHOWN_FILE"), shownFile);
    QString preload = QStringLiteral(MURMURLY_STARTPROBE);
    if (env.contains(QStringLiteral("LD_PRELOAD")))
        preload += QLatin1Char(':') + env.value(QStringLiteral("LD_PRELOAD"));
    env.insert(QStringLiteral("LD_PRELOAD"), preload);

    QProcess process;
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(dir);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(dir + QStringLiteral("/stderr.log"));
    const long long started = MonotonicNs();
    process.start(program.path, {});
    if (!process.waitForStarted(10000)) {
        std::fprintf(stderr, "murmurly-bench-client: cannot start %s\n", qPrintable(program.path));
        return false;
    }
    QEventLoop settle;
    QTimer::singleShot(kSettle, &settle, &QEventLoop::quit);
    settle.exec();
    const std::optional<double> rss = RssMb(process.processId());
    const bool running = process.state() == QProcess::Running;
    process.terminate();
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(10000);
    }
    QFile shown(shownFile);
    if (!running || !rss || !shown.open(QIODevice::ReadOnly)) {
        const char* what = "showed no window";
        if (!running)
            what = "ended";
        else if (!rss)
            what = "could not be measured";
        std::fprintf(stderr, "murmurly-bench-client: %s %s within %lld s; see %s/stderr.log\n",
                     qPrintable(program.name), what, static_cast<long long>(kSettle.count()),
                     qPrintable(dir));
        return false;
    }
    program.rssMb.push_back(*rss);
    program.shownMs.push_back(static_cast<double>(shown.readAll().toLongLong() - started) / 1e6);
    return true;
}

// "median (min to max)" of `values`.
std::string Spread(std::vector<double> values, const char* unit)
{
    std::sort(values.begin(), values.end());
    char text[96];
    std::snprintf(text, sizeof text, "%.1f %s (%.1f to %.1f)", values[values.size() / 2], unit,
                  values.front(), values.back());
    return text;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int RunStartupBench(int argc, char** argv)
{
    int runs = kDefaultRuns;
    std::vector<CStartProgram> programs;
    programs.emplace_back(QStringLiteral("bare Qt window"), QStringLiteral(MURMURLY_BAREWINDOW));
    programs.emplace_back(QStringLiteral("murmurly"), QStringLiteral(MURMURLY_CLIENT));
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (std::strcmp(argv[i], "--compare") == 0 && i + 1 < argc) {
            const QString path = QString::fromLocal8Bit(argv[++i]);
            programs.emplace_back(QStringLiteral("compared: ") + path, path);
        } else if (std::strcmp(argv[i], "--startup") != 0) {
            std::fprintf(stderr, "murmurly-bench-client: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    QCoreApplication app(argc, argv);
    CServerProcess server;
    if (!server.IsRunning()) {
        std::fprintf(stderr, "murmurly-bench-client: the server did not start\n");
        return 1;
    }
    QTemporaryDir scratch;
    const QByteArray config = "IP_ADDRESS=127.0.0.1\nPORT_NUM=" + QByteArray::number(server.Port()) + "\n";
    // In turn, so that what else the machine does falls on every program
    // alike; every other run backwards, since the program started right
    // after another shows its window a little later.
    for (int run = 0; run < runs; ++run) {
        for (std::size_t i = 0; i < programs.size(); ++i) {
            const std::size_t p = run % 2 == 0 ? i : programs.size() - 1 - i;
            const QString dir = scratch.path() + QStringLiteral("/%1-%2").arg(run).arg(p);
            QDir().mkpath(dir);
            QFile file(dir + QStringLiteral("/config.txt"));
            if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size())
                return 1;
            file.close();
            if (!MeasureStart(programs[p], dir)) {
                scratch.setAutoRemove(false);
                return 1;
            }
        }
    }

    std::printf("start-up on the %s platform, %d runs each; median (least to most)\n",
                qgetenv("QT_QPA_PLATFORM").constData(), runs);
    for (const CStartProgram& program : programs)
        std::printf("%-16s RSS 3 s after start: %s; first window after %s\n", qPrintable(program.name),
                    Spread(program.rssMb, "MB").c_str(), Spread(program.shownMs, "ms").c_str());
    const double clientRss = Median(programs[1].rssMb);
    std::printf("murmurly RSS (goal under %.0f MB): %s\n", kClientRssGoalMb,
                clientRss < kClientRssGoalMb ? "met" : "MISSED");
    if (programs.size() > 2)
        std::printf("murmurly's first window against the compared client's: %+.1f ms\n",
                    Median(programs[1].shownMs) - Median(programs[2].shownMs));
    return 0;
}
