// Measures whether the client's window stays responsive while a burst of
// records from the server is shown. The program starts the real client as
// `murmurly` does (main window, session, friends list view, with its stored
// automatic login) against a fake server in this program. Once the login is
// complete the server sends, all at once, 50 offline messages ("O", then
// "OL") and 50 messages ("SM") from 5 users. The client dispatches one record
// per receive pause (100 ms), so the burst takes about 10 s to show: the
// offline messages window opens, then five conversation windows fill up.
//
// Two figures: the longest gap between two runs of a 10 ms timer from the
// first record sent to the last line shown (how long the window was ever
// unresponsive; goal under 50 ms), and the time until the last line of the
// last conversation is shown (goal within the paced time plus 100 ms).
//
//   murmurly-bench-client [--slow-fsync]
//   murmurly-bench-client --startup [--runs N] [--compare CLIENT]
//
// --slow-fsync runs the client on a slow disk: the program starts itself
// again with libmurmurly-slowfsync.so preloaded, so that every fsync and
// fdatasync (the history's commits among them) takes 60 ms longer. The
// window must answer as quickly: the history is written beside it.
//
// --startup measures the client's start instead (see benchstartup.h).
//
// Runs with QT_QPA_PLATFORM=offscreen unless another platform is set.

#include "benchstartup.h"
#include "commands.h"
#include "messagebox.h"
#include "palaverapp.h"
#include "palaverdoc.h"
#include "recordstream.h"
#include "speakwindow.h"
#include "usersettings.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QSet>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr int kOfflineMessages = 50;
constexpr int kMessages = 50;
constexpr int kSenders = 5;
constexpr auto kProbeInterval = 10ms;
constexpr auto kGapGoal = 50ms;
constexpr auto kShownMargin = 100ms;
constexpr auto kGiveUp = 60s;

const char kUser[] = "reader";
const char kPassword[] = "secret1";

std::string Sender(int i)
{
    return "friend" + std::to_string(i % kSenders + 1);
}

CNetMessage Record(const char* command, std::string sender, std::string recipient, std::string text = {})
{
    CNetMessage msg;
    msg.command = command;
    msg.sender = std::move(sender);
    msg.recipient = std::move(recipient);
    msg.text = std::move(text);
    msg.faceName = "Arial";
    msg.font.lfWeight = 400;
    msg.size = 200;
    return msg;
}

// The burst, in the order the server sends it after "SLO": the stored
// messages with their ids, their end, then the live messages.
std::vector<CNetMessage> Burst()
{
    std::vector<CNetMessage> burst;
    for (int i = 0; i < kOfflineMessages; ++i) {
        CNetMessage o = Record(Cmd::OfflineMessage, Sender(i), kUser, "stored message " + std::to_string(i));
        o.names.push_back(std::to_string(i + 1));
        burst.push_back(std::move(o));
    }
    burst.push_back(Record(Cmd::OfflineEnd, {}, {}));
    for (int i = 0; i < kMessages; ++i)
        burst.push_back(Record(Cmd::IncomingMessage, Sender(i), kUser, "live message " + std::to_string(i)));
    return burst;
}

// Answers one client's login as murmurly-server does ("L" is answered "SL",
// the list request "SLU"), and on "SLO" writes the whole burst at once.
class CBurstServer : public QObject
{
public:
    CBurstServer()
    {
        connect(&m_server, &QTcpServer::newConnection, this, &CBurstServer::OnNewConnection);
        m_server.listen(QHostAddress::LocalHost, 0);
    }

    quint16 Port() const { return m_server.serverPort(); }
    bool BurstSent() const { return m_sent.isValid(); }
    // When the first record of the burst was written.
    const QElapsedTimer& SentAt() const { return m_sent; }

private:
    void OnNewConnection()
    {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            if (m_client) {
                socket->deleteLater();
                continue;
            }
            m_client = socket;
            connect(socket, &QTcpSocket::readyRead, this, &CBurstServer::OnReadyRead);
        }
    }

    void OnReadyRead()
    {
        const QByteArray bytes = m_client->readAll();
        m_stream.Append(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
        CNetMessage msg;
        while (m_stream.Next(msg) == DecodeStatus::Complete) {
            if (msg.command == Cmd::Login) {
                Write({Record(Cmd::LoginAccepted, {}, msg.sender)});
            } else if (msg.command == Cmd::FriendsList) {
                CNetMessage list = Record(Cmd::FriendsListAnswer, {}, msg.sender);
                for (int i = 0; i < kSenders; ++i)
                    list.names.push_back(Sender(i) + "*");
                Write({std::move(list)});
            } else if (msg.command == Cmd::LoginComplete && !BurstSent()) {
                m_sent.start();
                Write(Burst());
            }
            msg = CNetMessage();
        }
    }

    void Write(const std::vector<CNetMessage>& records)
    {
        std::string bytes;
        for (const CNetMessage& record : records)
            EncodeRecord(record, bytes);
        m_client->write(bytes.data(), static_cast<qint64>(bytes.size()));
        m_client->flush();
    }

    QTcpServer m_server;
    QPointer<QTcpSocket> m_client;
    CRecordStream m_stream{kServerLimits};
    QElapsedTimer m_sent;
};

// The text of the burst's last line, as its conversation window shows it.
QString LastLine()
{
    const CNetMessage last = Burst().back();
    return QString::fromStdString(last.sender + ": " + last.text);
}

// The slow-disk shim's count of the calls it slowed, or null without it.
using SlowedSyncs = long (*)();
SlowedSyncs FindShim()
{
    return reinterpret_cast<SlowedSyncs>(dlsym(RTLD_DEFAULT, "MurmurlySlowedSyncs"));
}

double Ms(std::chrono::nanoseconds d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

int Run(CPalaverApp& app)
{
    QTemporaryDir home;
    if (!home.isValid()) {
        std::fprintf(stderr, "murmurly-bench-client: no scratch folder\n");
        return 1;
    }
    // The settings, the history and config.txt in the scratch folder, never
    // the user's.
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toLocal8Bit());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
    QDir::setCurrent(home.path());

    CBurstServer server;
    QFile config(home.filePath(QStringLiteral("config.txt")));
    if (!config.open(QIODevice::WriteOnly) ||
        config.write(QStringLiteral("IP_ADDRESS=127.0.0.1\nPORT_NUM=%1\n").arg(server.Port()).toLatin1()) <
            0) {
        std::fprintf(stderr, "murmurly-bench-client: cannot write config.txt\n");
        return 1;
    }
    config.close();
    {
        CUserSettings login;
        login.m_nRememberLogin = 1;
        login.m_nAutoLogin = 1;
        login.m_strUserName = kUser;
        login.m_strPassword = kPassword;
        WriteUserSettings(*OpenSettingsRoot(), login, SettingsLogin);
    }
    // Nothing in the burst should ask the user anything; a box that comes is
    // answered, and counted.
    int boxes = 0;
    SetMessageBoxHandler([&boxes](const CMessageBoxRequest& request) {
        ++boxes;
        std::fprintf(stderr, "message box: %s\n", qPrintable(request.text));
        return MessageAnswer::Ok;
    });

    const QString lastLine = LastLine();
    std::chrono::nanoseconds longestGap{0};
    std::chrono::nanoseconds shownAfter{0};
    bool shown = false;
    const SlowedSyncs slowed = FindShim();
    long syncsBefore = -1;
    long syncsDuring = 0;
    QSet<QTextEdit*> watched;
    const auto checkShown = [&](QTextEdit* box) {
        if (shown || !box->toPlainText().endsWith(lastLine))
            return;
        shown = true;
        shownAfter = std::chrono::nanoseconds(server.SentAt().nsecsElapsed());
        if (slowed)
            syncsDuring = slowed() - syncsBefore;
        QTimer::singleShot(0, &app, [] { QCoreApplication::exit(0); });
    };

    // The probe: every run measures the time since the previous one while
    // the burst is being shown, and watches each new conversation window
    // for the burst's last line.
    QElapsedTimer sinceProbe;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    QObject::connect(&probe, &QTimer::timeout, [&] {
        // Only the part of a gap after the first record was sent counts: the
        // login before it (which saves the settings) is not the burst's.
        if (server.BurstSent() && !shown && sinceProbe.isValid()) {
            const auto gap = std::min(sinceProbe.nsecsElapsed(), server.SentAt().nsecsElapsed());
            longestGap = std::max(longestGap, std::chrono::nanoseconds(gap));
        }
        if (server.BurstSent() && slowed && syncsBefore < 0)
            syncsBefore = slowed();
        sinceProbe.start();
        for (QWidget* window : QApplication::topLevelWidgets())
            for (auto* speak : window->findChildren<CSpeakWindow*>())
                if (QTextEdit* box = speak->ConversationBox(); box && !watched.contains(box)) {
                    watched.insert(box);
                    QObject::connect(box, &QTextEdit::textChanged, box,
                                     [&checkShown, box] { checkShown(box); });
                    checkShown(box);
                }
    });
    probe.start(kProbeInterval);
    QTimer::singleShot(kGiveUp, &app, [] { QCoreApplication::exit(1); });

    // As `murmurly` starts: connecting and the automatic login go on in the
    // event loop, and the burst follows the login.
    if (!app.InitInstance() || app.HasEnded()) {
        std::fprintf(stderr, "murmurly-bench-client: the client did not start\n");
        return 1;
    }
    const bool finished = QApplication::exec() == 0 && shown;
    probe.stop();
    SetMessageBoxHandler({});
    if (!finished) {
        std::fprintf(stderr, "murmurly-bench-client: %s within %lld s\n",
                     server.BurstSent() ? "the last line was not shown" : "the login did not complete",
                     static_cast<long long>(kGiveUp.count()));
        return 1;
    }

    // Each record is dispatched a receive pause after the one before, the
    // first one after the login's last record, which came just before.
    const int records = kOfflineMessages + 1 + kMessages;
    const CConnectionTiming pacing;
    const auto paced = std::chrono::nanoseconds(records * pacing.receivePause);
    std::printf("burst: %d \"O\", \"OL\", %d \"SM\" from %d users (%d records), written at once\n",
                kOfflineMessages, kMessages, kSenders, records);
    std::printf("longest gap between runs of a %lld ms timer: %.1f ms (goal under %.0f ms): %s\n",
                static_cast<long long>(kProbeInterval.count()), Ms(longestGap), Ms(kGapGoal),
                longestGap < kGapGoal ? "met" : "MISSED");
    std::printf("paced time (%d records, each %lld ms after the one before): %.0f ms\n", records,
                static_cast<long long>(pacing.receivePause.count()), Ms(paced));
    std::printf("last line shown after: %.1f ms (goal within %.0f ms): %s\n", Ms(shownAfter),
                Ms(paced + kShownMargin), shownAfter <= paced + kShownMargin ? "met" : "MISSED");
    if (slowed)
        std::printf("slow disk: every fsync and fdatasync %s ms longer; %ld of them during the burst\n",
                    qEnvironmentVariableIsSet("MURMURLY_FSYNC_DELAY_MS")
                        ? qgetenv("MURMURLY_FSYNC_DELAY_MS").constData()
                        : "60",
                    syncsDuring);
    if (boxes > 0)
        std::printf("message boxes during the run: %d\n", boxes);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--startup") == 0)
            return RunStartupBench(argc, argv);
    std::vector<char*> args;
    bool slowDisk = false;
    for (int i = 0; i < argc; ++i) {
        if (i > 0 && std::strcmp(argv[i], "--slow-fsync") == 0)
            slowDisk = true;
        else
            args.push_back(argv[i]);
    }
    if (slowDisk && !FindShim()) {
        // The shim must be in before the first library that syncs is loaded.
        std::string preload = MURMURLY_SLOWFSYNC;
        if (const char* other = std::getenv("LD_PRELOAD"))
            preload += std::string(":") + other;
        setenv("LD_PRELOAD", preload.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("murmurly-bench-client: cannot start itself with the slow disk");
        return 1;
    }
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    // The offscreen platform says for every window that it cannot raise it.
    static const QtMessageHandler previous = qInstallMessageHandler(nullptr);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (!text.startsWith(QLatin1String("This plugin does not support")))
            previous(type, context, text);
    });
    CPalaverApp app(count, args.data());
    return Run(app);
}
