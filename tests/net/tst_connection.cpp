// The connection to the server against a fake server on the loopback:
// sending, receiving, records that arrive together or byte by byte, records
// handled inside a modal box, a lost connection, a protocol error, and
// config.txt trouble; then the session's open and close routines.

#include "clientsocket.h"
#include "configdir.h"
#include "connectwait.h"
#include "fakeserver.h"
#include "messageboxinterceptor.h"
#include "palaverdoc.h"
#include "serverconnection.h"
#include "sessionprompts.h"
#include "settingshome.h"
#include "waits.h"
#include "wire.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>

using namespace std::chrono_literals;

// The largest single allocation made while tracking is on, to show that a
// length prefix is never trusted with memory.
namespace {
std::atomic<bool> g_bTrackAllocations{false};
std::atomic<std::size_t> g_nLargestAllocation{0};

void* Allocate(std::size_t size)
{
    if (g_bTrackAllocations.load(std::memory_order_relaxed)) {
        std::size_t largest = g_nLargestAllocation.load(std::memory_order_relaxed);
        while (size > largest && !g_nLargestAllocation.compare_exchange_weak(largest, size)) {
        }
    }
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
} // namespace

void* operator new(std::size_t size)
{
    return Allocate(size);
}
void* operator new[](std::size_t size)
{
    return Allocate(size);
}
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}

namespace {

const QString kMissingConfig = QStringLiteral(
    "Configuration file not found or corrupt. Please get the correct configuration file Config.txt");

CNetMessage Record(const char* command, const char* sender = "", std::vector<std::string> names = {})
{
    CNetMessage msg;
    msg.command = command;
    msg.sender = sender;
    msg.names = std::move(names);
    return msg;
}

// A connection that notes what it handles, and when.
class CTestConnection final : public CServerConnection
{
public:
    explicit CTestConnection(const CConnectionTiming& timing = CConnectionTiming{0ms, 0ms, 5000ms})
        : CServerConnection(timing)
    {
    }

    bool HandleMessage() override
    {
        const CNetMessage& msg = *ReceivedMessage();
        m_events.push_back(msg.command);
        m_names.push_back(msg.names);
        if (m_onMessage)
            m_onMessage(msg.command);
        return true;
    }

    void OnConnectionLost() override
    {
        ++m_nLost;
        m_events.push_back("lost");
    }

    // Creates a socket and connects it to whatever config.txt names; true
    // once connected.
    bool Open()
    {
        SetSocket(std::make_unique<CClientSocket>(this));
        return Socket()->Create() && Connect() && WaitForConnect(*this);
    }

    int Handled() const { return static_cast<int>(m_names.size()); }

    std::vector<std::string> m_events;
    std::vector<std::vector<std::string>> m_names;
    std::function<void(const std::string&)> m_onMessage;
    int m_nLost = 0;
};

} // namespace

class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void sendWritesTheEncodedRecord();
    void sendWithoutSocketFails();
    void receiveDecodesIntoTheReceiveRecord();
    void receiveEmptiesNamesFirst();
    void recordsInOneWriteAreAllHandled();
    void recordFedByteByByteIsHandledOnceComplete();
    void recordArrivesInsideModalBox();
    void pendingRecordIsHandledInsideModalBox();
    void peerCloseReportedOnceAfterBufferedRecords();
    void manyRecordsBeforeCloseAreAllHandled();
    void endOfStreamInsideRecordIsReported();
    void closeNotReportedWhenConnectedFlagCleared();
    void intentionalCloseIsNotReported();
    void overLimitPrefixIsProtocolError();
    void unparsedInputIsCapped();
    void missingConfigShowsStopBox();
    void configSearchOrder();
    void closedPortFailsSilently();
    void hostNameConnects();
    void pausesPaceTheWireNotTheCaller();
    void recordOverTheServerLimitsIsRefused();
    void closeAfterSendingLetsTheQueueGoFirst();

    void docOpensAndClosesConnection();
    void docReportsLostConnection();
    void docWithoutConfigStaysUnconnected();

private:
    // The user's configuration folder, searched after the current one.
    std::unique_ptr<CSettingsHome> m_pHome;
    std::unique_ptr<CConfigDir> m_pDir;
    std::unique_ptr<CFakeServer> m_pServer;
    std::unique_ptr<CMessageBoxInterceptor> m_pBoxes;
    std::unique_ptr<CTestConnection> m_pConn;

    bool OpenToServer()
    {
        return m_pDir->WriteConfig("127.0.0.1", m_pServer->Port()) && m_pConn->Open() &&
               m_pServer->WaitForClient();
    }
};

void TestConnection::init()
{
    m_pHome = std::make_unique<CSettingsHome>();
    QVERIFY(m_pHome->IsValid());
    m_pDir = std::make_unique<CConfigDir>();
    QVERIFY(m_pDir->IsValid());
    m_pServer = std::make_unique<CFakeServer>();
    QVERIFY(m_pServer->IsListening());
    m_pBoxes = std::make_unique<CMessageBoxInterceptor>();
    m_pConn = std::make_unique<CTestConnection>();
}

void TestConnection::cleanup()
{
    m_pConn.reset();
    m_pBoxes.reset();
    m_pServer.reset();
    m_pDir.reset();
    m_pHome.reset();
}

void TestConnection::sendWritesTheEncodedRecord()
{
    QVERIFY(OpenToServer());
    QCOMPARE(m_pConn->IsConnected(), 1);
    CNetMessage msg = Record("M", "alice");
    msg.recipient = "bob";
    msg.text = "hello there";
    msg.faceName = "Arial";
    msg.color = 0x00FF8000;
    msg.size = 200;
    msg.font.lfWeight = 700;
    const std::string expected = EncodeRecord(msg);

    // The second record proves that nothing else was written after the first.
    QVERIFY(m_pConn->Send(msg));
    QVERIFY(m_pConn->Send(msg));
    QCOMPARE(m_pServer->ExpectBytes(2 * expected.size()), expected + expected);
    QCOMPARE(m_pBoxes->Count(), 0);
}

void TestConnection::sendWithoutSocketFails()
{
    QVERIFY(!m_pConn->Send(Record("X")));
    QVERIFY(OpenToServer());
    m_pConn->DeleteSocket();
    QVERIFY(!m_pConn->Send(Record("X")));
    QCOMPARE(m_pBoxes->Count(), 0);
}

void TestConnection::receiveDecodesIntoTheReceiveRecord()
{
    QVERIFY(OpenToServer());
    CNetMessage msg = Record("SM", "bob");
    msg.recipient = "alice";
    msg.text = "hi";
    msg.faceName = "Courier New";
    msg.color = 0x000000FF;
    msg.size = 240;
    msg.time = 1234567890;
    msg.font.lfItalic = 1;

    std::optional<CNetMessage> seen;
    m_pConn->m_onMessage = [&](const std::string&) { seen.emplace(*m_pConn->ReceivedMessage()); };
    QVERIFY(m_pServer->Inject(msg));
    QVERIFY(WaitUntil([&] { return m_pConn->Handled() == 1; }));

    const CNetMessage& got = *m_pConn->ReceivedMessage();
    QCOMPARE(got.command, std::string("SM"));
    QCOMPARE(got.sender, std::string("bob"));
    QCOMPARE(got.recipient, std::string("alice"));
    QCOMPARE(got.text, std::string("hi"));
    QCOMPARE(got.faceName, std::string("Courier New"));
    QCOMPARE(got.color, 0x000000FFu);
    QCOMPARE(got.size, 240);
    QCOMPARE(got.time, 1234567890);
    QCOMPARE(got.font.lfItalic, uint8_t{1});
    QCOMPARE(EncodeRecord(got), EncodeRecord(msg));
    QVERIFY(seen.has_value());
}

void TestConnection::receiveEmptiesNamesFirst()
{
    QVERIFY(OpenToServer());
    QVERIFY(m_pServer->Inject(Record("SLU", "", {"ann", "bob*"})));
    QVERIFY(WaitUntil([&] { return m_pConn->Handled() == 1; }));
    QVERIFY(m_pServer->Inject(Record("SLU", "", {"cid"})));
    QVERIFY(WaitUntil([&] { return m_pConn->Handled() == 2; }));
    QCOMPARE(m_pConn->m_names[0], (std::vector<std::string>{"ann", "bob*"}));
    QCOMPARE(m_pConn->m_names[1], (std::vector<std::string>{"cid"}));
    QCOMPARE(m_pConn->ReceivedMessage()->names, (std::vector<std::string>{"cid"}));
}

void TestConnection::recordsInOneWriteAreAllHandled()
{
    QVERIFY(OpenToServer());
    const std::string bytes = EncodeRecord(Record("SN", "ann")) + EncodeRecord(Record("SX", "bob")) +
                              EncodeRecord(Record("SM", "cid"));
    QVERIFY(m_pServer->InjectBytes(bytes));
    QVERIFY(WaitUntil([&] { return m_pConn->Handled() == 3; }));
    QCOMPARE(m_pConn->m_events, (std::vector<std::string>{"SN", "SX", "SM"}));
    QCOMPARE(m_pConn->PendingBytes(), std::size_t{0});
    // A record sent behind them is the next one handled: none came twice.
    QVERIFY(m_pServer->Inject(Record("SN", "end")));
    QVERIFY(WaitUntil([&] { return m_pConn->Handled() == 4; }));
    QCOMPARE(m_pConn->m_events, (std::vector<std::string>{"SN", "SX", "SM", "SN"}));
}

void TestConnection::recordFedByteByByteIsHandledOnceComplete()
{
    QVERIFY(OpenToServer());
    const std::string bytes = EncodeRecord(Record("SLU", "me", {"ann", "bob*"}));
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i) {
        QVERIFY(m_pServer->InjectBytes(bytes.substr(i, 1)));
        QVERIFY(WaitUntil([&] { return m_pConn->PendingBytes() == i + 1; }));
        QCOMPARE(m_pConn->Handled(), 0);
    }
    QVERIFY(m_pServer->InjectBytes(bytes.substr(bytes.size() - 1)));
    QVERIFY(WaitUntil([&] { return m_pConn->Handled() == 1; }));
    QCOMPARE(m_pConn->m_names[0], (std::vector<std::string>{"ann", "bob*"}));
    QVERIFY(m_pServer->Inject(Record("SN", "end")));
    QVERIFY(WaitUntil([&] { return m_pConn->Handled() == 2; }));
    QCOMPARE(m_pConn->m_events, (std::vector<std::string>{"SLU", "SN"}));
}

void TestConnection::recordArrivesInsideModalBox()
{
    QVERIFY(OpenToServer());
    // The first record opens a box; the second is sent only once the box is
    // open, so it reaches the client while the box's loop runs.
    int openWhenSecondHandled = -1;
    m_pConn->m_onMessage = [&](const std::string& command) {
        if (command == "F") {
            ShowMessageBox(QStringLiteral("first"));
            m_pConn->m_events.push_back("F done");
        } else {
            openWhenSecondHandled = m_pBoxes->OpenCount();
        }
    };
    m_pBoxes->SetOnShow([&](const CMessageBoxRequest&) { m_pServer->Inject(Record("SN", "ann")); });
    m_pBoxes->SetNestedLoop(3000ms, [&] { return m_pConn->Handled() == 2; });

    QVERIFY(m_pServer->Inject(Record("F", "first")));
    QVERIFY(WaitUntil([&] { return m_pConn->m_events.size() == 3; }));
    QCOMPARE(m_pConn->m_events, (std::vector<std::string>{"F", "SN", "F done"}));
    QCOMPARE(openWhenSecondHandled, 1);
}

void TestConnection::pendingRecordIsHandledInsideModalBox()
{
    QVERIFY(OpenToServer());
    int openWhenSecondHandled = -1;
    m_pConn->m_onMessage = [&](const std::string& command) {
        if (command == "F") {
            ShowMessageBox(QStringLiteral("first"));
            m_pConn->m_events.push_back("F done");
        } else {
            openWhenSecondHandled = m_pBoxes->OpenCount();
        }
    };
    m_pBoxes->SetNestedLoop(3000ms, [&] { return m_pConn->Handled() == 2; });

    // Both records in one write: the second is already buffered when the
    // first opens its box.
    QVERIFY(m_pServer->InjectBytes(EncodeRecord(Record("F", "first")) + EncodeRecord(Record("SN", "ann"))));
    QVERIFY(WaitUntil([&] { return m_pConn->m_events.size() == 3; }));
    QCOMPARE(m_pConn->m_events, (std::vector<std::string>{"F", "SN", "F done"}));
    QCOMPARE(openWhenSecondHandled, 1);
}

void TestConnection::peerCloseReportedOnceAfterBufferedRecords()
{
    QVERIFY(OpenToServer());
    QVERIFY(m_pServer->InjectBytes(EncodeRecord(Record("SN", "ann")) + EncodeRecord(Record("SX", "bob"))));
    m_pServer->CloseClient();
    QVERIFY(WaitUntil([&] { return m_pConn->m_nLost == 1; }));
    QCOMPARE(m_pConn->m_events, (std::vector<std::string>{"SN", "SX", "lost"}));
    Spin(200ms);
    QCOMPARE(m_pConn->m_nLost, 1);
    QVERIFY(!m_pConn->Send(Record("X")));
    QCOMPARE(m_pBoxes->Count(), 0);
}

void TestConnection::manyRecordsBeforeCloseAreAllHandled()
{
    QVERIFY(OpenToServer());
    // More than the connection buffers at once (8 MiB): the rest waits in the
    // socket and the network until the records before it are handled.
    std::string bytes;
    for (int i = 0; i < 20; ++i) {
        CNetMessage msg = Record("SM", "ann");
        msg.text = std::string(600 * 1024, char('a' + i));
        bytes += EncodeRecord(msg);
    }
    std::vector<char> firstLetters;
    m_pConn->m_onMessage = [&](const std::string&) {
        firstLetters.push_back(m_pConn->ReceivedMessage()->text.at(0));
    };
    QVERIFY(m_pServer->InjectBytes(bytes));
    bytes.clear();
    m_pServer->CloseClient();
    std::size_t mostPending = 0;
    QVERIFY(WaitUntil(
        [&] {
            mostPending = std::max(mostPending, m_pConn->PendingBytes());
            return m_pConn->m_nLost == 1;
        },
        20s));
    QCOMPARE(m_pConn->Handled(), 20);
    QCOMPARE(m_pConn->m_events.back(), std::string("lost"));
    for (int i = 0; i < 20; ++i)
        QCOMPARE(firstLetters[i], char('a' + i));
    QVERIFY(mostPending <= kClientLimits.maxRecord);
}

void TestConnection::endOfStreamInsideRecordIsReported()
{
    QVERIFY(OpenToServer());
    const std::string bytes = EncodeRecord(Record("SM", "ann"));
    QVERIFY(m_pServer->InjectBytes(bytes.substr(0, bytes.size() / 2)));
    m_pServer->CloseClient();
    QVERIFY(WaitUntil([&] { return m_pConn->m_nLost == 1; }));
    QCOMPARE(m_pConn->Handled(), 0);
}

void TestConnection::closeNotReportedWhenConnectedFlagCleared()
{
    QVERIFY(OpenToServer());
    // As after "Z": the session has cleared the flag itself.
    m_pConn->m_onMessage = [&](const std::string&) { m_pConn->SetConnected(0); };
    QVERIFY(m_pServer->Inject(Record("Z")));
    m_pServer->CloseClient();
    QVERIFY(WaitUntil([&] { return m_pConn->Handled() == 1; }));
    Spin(300ms);
    QCOMPARE(m_pConn->m_nLost, 0);
}

void TestConnection::intentionalCloseIsNotReported()
{
    QVERIFY(OpenToServer());
    m_pConn->DeleteSocket();
    QVERIFY(m_pServer->WaitForClientClosed());
    Spin(200ms);
    QCOMPARE(m_pConn->m_nLost, 0);
    QVERIFY(m_pConn->Socket() == nullptr);
}

void TestConnection::overLimitPrefixIsProtocolError()
{
    QVERIFY(OpenToServer());
    // A sender string claiming 0xFFFFFFF0 bytes: 0xFF, 0xFFFF, then 32 bits.
    const std::string prefix("\xFF\xFF\xFF\xF0\xFF\xFF\xFF", 7);
    g_nLargestAllocation = 0;
    g_bTrackAllocations = true;
    QVERIFY(m_pServer->InjectBytes(prefix));
    const bool lost = WaitUntil([&] { return m_pConn->m_nLost == 1; });
    g_bTrackAllocations = false;
    QVERIFY(lost);
    QCOMPARE(m_pConn->Handled(), 0);
    QVERIFY2(g_nLargestAllocation < (1u << 20),
             QByteArray::number(qulonglong(g_nLargestAllocation)).constData());
    // The client drops the connection.
    QVERIFY(m_pServer->WaitForClientClosed());
    Spin(100ms);
    QCOMPARE(m_pConn->m_nLost, 1);
}

void TestConnection::unparsedInputIsCapped()
{
    QVERIFY(OpenToServer());
    // A record whose strings are each within the limit but whose whole runs
    // past 8 MiB: twelve names of 1 MiB each.
    CNetMessage big = Record("SLU");
    big.names.assign(12, std::string(1u << 20, 'x'));
    const std::string bytes = EncodeRecord(big);
    big.names.clear();
    QVERIFY(m_pServer->InjectBytes(bytes));

    std::size_t mostPending = 0;
    const bool lost = WaitUntil(
        [&] {
            mostPending = std::max(mostPending, m_pConn->PendingBytes());
            return m_pConn->m_nLost == 1;
        },
        20s);
    QVERIFY(lost);
    QCOMPARE(m_pConn->Handled(), 0);
    QVERIFY(mostPending <= kClientLimits.maxRecord);
}

void TestConnection::missingConfigShowsStopBox()
{
    if (QFile::exists(QStringLiteral("/etc/murmurly/config.txt")))
        QSKIP("this machine has a system-wide config.txt");
    m_pDir->RemoveConfig();
    m_pConn->SetSocket(std::make_unique<CClientSocket>(m_pConn.get()));
    QVERIFY(m_pConn->Socket()->Create());
    QSignalSpy missing(m_pConn.get(), &CServerConnection::ConfigurationMissing);
    QVERIFY(!m_pConn->Connect());
    QCOMPARE(missing.count(), 1);
    QCOMPARE(missing.at(0).at(0).toString(),
             kMissingConfig + QStringLiteral("\nLooked for it in: ") + m_pDir->Path() +
                 QStringLiteral("/config.txt, ") + m_pHome->Path() +
                 QStringLiteral("/murmurly/config.txt, /etc/murmurly/config.txt"));
    QCOMPARE(m_pBoxes->Count(), 0);
    QCOMPARE(m_pConn->IsConnected(), 0);
    QVERIFY(!m_pServer->WaitForClient(200ms));
    QCOMPARE(m_pServer->AcceptedCount(), 0);
}

// The current folder first, then the user's configuration folder.
void TestConnection::configSearchOrder()
{
    m_pDir->RemoveConfig();
    const QString userFolder = m_pHome->Path() + QStringLiteral("/murmurly");
    QVERIFY(QDir().mkpath(userFolder));
    QFile user(userFolder + QStringLiteral("/config.txt"));
    QVERIFY(user.open(QIODevice::WriteOnly));
    user.write(CConfigDir::ConfigText("10.0.0.2", 2));
    user.close();
    QVERIFY(m_pConn->ReadConfig());
    QCOMPARE(m_pConn->ServerAddress(), std::string("10.0.0.2"));

    QVERIFY(m_pDir->WriteConfig("10.0.0.1", 1));
    QVERIFY(m_pConn->ReadConfig());
    QCOMPARE(m_pConn->ServerAddress(), std::string("10.0.0.1"));

    // Without XDG_CONFIG_HOME the user's folder is ~/.config.
    qunsetenv("XDG_CONFIG_HOME");
    QCOMPARE(ConfigSearchPaths().value(1), QDir::homePath() + QStringLiteral("/.config/murmurly/config.txt"));
}

void TestConnection::closedPortFailsSilently()
{
    quint16 closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    QVERIFY(m_pDir->WriteConfig("127.0.0.1", closedPort));
    QSignalSpy finished(m_pConn.get(), &CServerConnection::ConnectFinished);
    QVERIFY(!m_pConn->Open());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QCOMPARE(m_pBoxes->Count(), 0);
    QCOMPARE(m_pConn->IsConnected(), 0);
    QCOMPARE(m_pConn->Port(), int(closedPort));
    QCOMPARE(m_pConn->ServerAddress(), std::string("127.0.0.1"));
    Spin(100ms);
    QCOMPARE(m_pConn->m_nLost, 0);
}

void TestConnection::hostNameConnects()
{
    QVERIFY(m_pDir->WriteConfig("localhost", m_pServer->Port()));
    QVERIFY(m_pConn->Open());
    QVERIFY(m_pServer->WaitForClient());
    QVERIFY(m_pConn->Send(Record("BUL", "ann")));
    QVERIFY(m_pServer->Expect("BUL").has_value());
}

// With pauses far longer than any test, the second record each way waits
// its turn while the caller and the event loop go on.
void TestConnection::pausesPaceTheWireNotTheCaller()
{
    m_pConn = std::make_unique<CTestConnection>(CConnectionTiming{1h, 1h, 5000ms});
    QVERIFY(OpenToServer());
    QVERIFY(m_pConn->Send(Record("BUL", "ann")));
    QVERIFY(m_pConn->Send(Record("SL", "ann")));
    QVERIFY(m_pServer->Expect("BUL").has_value());
    QCOMPARE(m_pConn->Socket()->QueuedRecords(), std::size_t{1});

    QVERIFY(m_pServer->InjectBytes(EncodeRecord(Record("SN", "bob")) + EncodeRecord(Record("SX", "cid"))));
    QVERIFY(WaitUntil([&] { return m_pConn->Handled() == 1 && m_pConn->PendingBytes() > 0; }));
    QCOMPARE(m_pConn->m_events, (std::vector<std::string>{"SN"}));
}

void TestConnection::recordOverTheServerLimitsIsRefused()
{
    QVERIFY(OpenToServer());
    CNetMessage big = Record("M", "ann");
    big.text.assign(kServerLimits.maxString + 1, 'x');
    QVERIFY(!m_pConn->Send(big));
    // The connection stays: the next record goes, and alone.
    QVERIFY(m_pConn->Send(Record("BUL", "ann")));
    QVERIFY(m_pServer->Expect("BUL").has_value());
    QVERIFY(m_pConn->IsConnected());
}

// The log-off's way out: the connection lets go at once, the retired socket
// still writes what was queued, in order, before it closes, even when the
// connection itself goes first.
void TestConnection::closeAfterSendingLetsTheQueueGoFirst()
{
    m_pConn = std::make_unique<CTestConnection>(CConnectionTiming{1h, 0ms, 5000ms});
    QVERIFY(OpenToServer());
    QVERIFY(m_pConn->Send(Record("BUL", "ann")));
    QVERIFY(m_pConn->Send(Record("X", "ann")));
    m_pConn->CloseAfterSending(0ms);
    QCOMPARE(m_pConn->IsConnected(), 0);
    QVERIFY(m_pConn->Socket() == nullptr);
    QVERIFY(!m_pConn->Send(Record("M", "ann")));
    QVERIFY(m_pServer->Expect("BUL").has_value());
    m_pConn.reset();
    QVERIFY(m_pServer->Expect("X").has_value());
    QVERIFY(m_pServer->WaitForClientClosed());
}

void TestConnection::docOpensAndClosesConnection()
{
    CPalaverDoc doc(CConnectionTiming{0ms, 0ms, 5000ms});
    ConnectSessionPrompts(doc);
    QSignalSpy connectionSpy(&doc, &CPalaverDoc::ConnectionChanged);
    QVERIFY(m_pDir->WriteConfig("127.0.0.1", m_pServer->Port()));
    QVERIFY(doc.OnNewDocument());
    QCOMPARE(doc.Title(), QStringLiteral("Not logged in"));
    QVERIFY(WaitForConnect(doc.Connection()));
    QVERIFY(doc.IsConnected());
    QVERIFY(m_pServer->WaitForClient());
    QCOMPARE(connectionSpy.count(), 1);

    // Already connected: the start does not open a second connection.
    QVERIFY(doc.OnNewDocument());
    // The same connection still answers for the session.
    QVERIFY(doc.Connection().Send(Record("BUL", "ann")));
    QVERIFY(m_pServer->Expect("BUL").has_value());
    QCOMPARE(m_pServer->AcceptedCount(), 1);

    doc.CloseConnection();
    QVERIFY(!doc.IsConnected());
    QVERIFY(doc.Connection().Socket() == nullptr);
    QVERIFY(m_pServer->WaitForClientClosed());
    Spin(100ms);
    QCOMPARE(m_pBoxes->Count(), 0);
}

void TestConnection::docReportsLostConnection()
{
    CPalaverDoc doc(CConnectionTiming{0ms, 0ms, 5000ms});
    ConnectSessionPrompts(doc);
    QVERIFY(m_pDir->WriteConfig("127.0.0.1", m_pServer->Port()));
    QVERIFY(doc.OpenConnection());
    QVERIFY(WaitForConnect(doc.Connection()));
    QVERIFY(m_pServer->WaitForClient());
    m_pServer->CloseClient();
    QVERIFY(m_pBoxes->WaitForCount(1));
    QCOMPARE(m_pBoxes->Last().text, QStringLiteral("Connection to server lost"));
    QCOMPARE(m_pBoxes->Last().icon, MessageIcon::Exclamation);
    QCOMPARE(doc.Connection().IsConnected(), 0);
    QVERIFY(doc.Connection().Socket() == nullptr);
    QCOMPARE(doc.Title(), QStringLiteral("Not logged in"));
    Spin(100ms);
    QCOMPARE(m_pBoxes->Count(), 1);
}

void TestConnection::docWithoutConfigStaysUnconnected()
{
    if (QFile::exists(QStringLiteral("/etc/murmurly/config.txt")))
        QSKIP("this machine has a system-wide config.txt");
    m_pDir->RemoveConfig();
    CPalaverDoc doc(CConnectionTiming{0ms, 0ms, 5000ms});
    ConnectSessionPrompts(doc);
    QVERIFY(doc.OnNewDocument());
    QVERIFY(!doc.IsConnected());
    QVERIFY(!doc.Connection().IsConnecting());
    QCOMPARE(m_pBoxes->Texts().size(), 1);
    QVERIFY(m_pBoxes->Last().text.startsWith(kMissingConfig + QLatin1Char('\n')));
    QCOMPARE(m_pBoxes->Last().caption, QStringLiteral("Murmurly"));
    QCOMPARE(m_pBoxes->Last().icon, MessageIcon::Stop);
    QCOMPARE(m_pBoxes->Last().buttons, MessageButtons::Ok);
}

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
