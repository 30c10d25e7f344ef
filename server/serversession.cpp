#include "serversession.h"

#include "proxyheader.h"
#include "serverlog.h"
#include "sessionhost.h"
#include "socketprogress.h"
#include "wire.h"

#include <asio/post.hpp>

#include <algorithm>
#include <ctime>
#include <optional>

namespace {

// One read takes at most this much from the socket.
constexpr std::size_t kReadChunk = 64 * 1024;
// Before login a record is a login or a registration, far smaller than this.
constexpr DecodeLimits kLoginLimits{kServerLimits.maxString, kServerLimits.maxNames, 64u << 10};
// A backlog is encoded in batches of about this size as the queue drains.
constexpr std::size_t kBacklogBatch = 256 * 1024;
// A write buffer larger than this is freed once empty rather than kept for
// reuse, so that one large record does not stay with an idle connection.
constexpr std::size_t kKeptCapacity = 4 * 1024;
// How long a closing connection may take to read what is still queued.
constexpr auto kDrainTime = std::chrono::seconds(5);

// Every session of a thread reads into this one buffer and decodes from it
// before the next read, so an idle connection costs no read buffer at all.
char* SharedReadBuffer()
{
    thread_local const std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    return buffer.get();
}

void Release(std::string& buffer)
{
    if (buffer.capacity() > kKeptCapacity)
        std::string().swap(buffer);
    else
        buffer.clear();
}

std::string FormatDuration(std::chrono::milliseconds d)
{
    if (d.count() % 1000 == 0)
        return std::to_string(d.count() / 1000) + " s";
    return std::to_string(d.count()) + " ms";
}

std::string FormatBytes(std::size_t bytes)
{
    if (bytes % (1u << 20) == 0)
        return std::to_string(bytes >> 20) + " MiB";
    return std::to_string(bytes) + " bytes";
}

std::string FormatPeer(const asio::ip::tcp::socket& socket)
{
    asio::error_code error;
    const auto endpoint = socket.remote_endpoint(error);
    if (error)
        return "unknown peer";
    return endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
}

} // namespace

CServerSession::CServerSession(CSessionHost& host, CSessionStream stream)
    : m_host(host), m_stream(std::move(stream)), m_timer(m_stream.Socket().get_executor()),
      m_peer(FormatPeer(m_stream.Socket())), m_records(kLoginLimits)
{
    asio::error_code ignored;
    m_stream.Socket().set_option(asio::ip::tcp::no_delay(true), ignored);
    // Reads happen only after the socket reported data; a spurious wake-up
    // must not block the loop. The handshake's own reads wait as they must.
    m_stream.Socket().non_blocking(true, ignored);
}

void CServerSession::Start()
{
    m_loginDeadline = Clock::now() + m_host.Limits().loginTimeout;
    ArmTimer();
    if (m_awaitingHeader)
        WaitProxyHeader();
    else
        BeginStream();
}

void CServerSession::BeginStream()
{
    if (!m_stream.IsTls()) {
        StartRead();
        return;
    }
    // The handshake begins when the client's hello is there.
    m_stream.AsyncWaitHello([self = shared_from_this()](const asio::error_code& error) {
        if (!self->IsOpen())
            return;
        if (error) {
            self->Close();
            return;
        }
        if (self->m_stream.IsClearText()) {
            ServerLog("TLS handshake with " + self->m_peer + " failed: clear text, not a TLS hello; closing");
            self->m_stream.RefuseClearText();
            self->Close();
            return;
        }
        self->m_host.HandshakeStarted(*self);
        self->m_stream.AsyncHandshake([self](const asio::error_code& result) { self->OnHandshake(result); });
    });
}

void CServerSession::OnHandshake(const asio::error_code& error)
{
    if (!IsOpen())
        return;
    m_host.HandshakeEnded(*this);
    if (error) {
        ServerLog("TLS handshake with " + m_peer + " failed: " + error.message() + "; closing");
        Close();
        return;
    }
    StartRead();
}

void CServerSession::SetLoggedIn()
{
    if (!m_loggedIn) {
        m_loggedIn = true;
        // The login deadline is over; do not keep a timer for it.
        if (m_timerArmed) {
            m_timerArmed = false;
            m_timer.cancel();
            ArmTimer();
        }
    }
}

void CServerSession::StartRead()
{
    if (m_reading || m_holds > 0 || !IsOpen())
        return;
    m_reading = true;
    // TLS may already hold decrypted bytes, or encrypted ones read with an
    // earlier record, that the socket no longer reports: try a read first.
    if (m_stream.IsTls())
        asio::post(m_stream.Socket().get_executor(),
                   [self = shared_from_this()]() { self->OnReadable(asio::error_code()); });
    else
        WaitReadable();
}

void CServerSession::WaitReadable()
{
    m_reading = true;
    m_stream.Socket().async_wait(
        asio::ip::tcp::socket::wait_read,
        [self = shared_from_this()](const asio::error_code& error) { self->OnReadable(error); });
}

void CServerSession::OnReadable(const asio::error_code& error)
{
    m_reading = false;
    if (!IsOpen())
        return;
    if (error) {
        Close();
        return;
    }
    char* buffer = SharedReadBuffer();
    asio::error_code readError;
    const std::size_t bytes = m_stream.ReadSome(asio::buffer(buffer, kReadChunk), readError);
    if (readError == asio::error::would_block || readError == asio::error::try_again) {
        WaitReadable();
        return;
    }
    if (readError) {
        Close();
        return;
    }
    if (bytes == 0) {
        // TLS took a record that carried no data for us.
        WaitReadable();
        return;
    }
    // A proxy's header from a peer not trusted as one: the proxy's
    // operator learns why its clients are turned away.
    if (!m_sawBytes && BeginsProxyHeader(std::string_view(buffer, bytes))) {
        ServerLog("protocol error from " + m_peer +
                  ": a PROXY header from a peer that is not a trusted proxy; closing");
        Close();
        return;
    }
    m_sawBytes = true;
    // Whole records are decoded straight from the shared buffer; only the
    // start of one not yet whole is copied into the session.
    const bool recordStarts = m_records.Buffered() == 0;
    m_records.Lend(std::string_view(buffer, bytes));
    ProcessInput(recordStarts);
    StartRead();
}

void CServerSession::ProcessInput(bool recordStarts)
{
    // A handler may Send, Hold or close; Resume from inside a handler must not
    // start a second loop over the same bytes. Lent bytes are copied all the
    // same, since the caller's buffer does not outlive this call.
    if (m_processing) {
        m_records.Keep();
        return;
    }
    m_processing = true;
    bool decoded = false;
    while (m_holds == 0 && IsOpen()) {
        // Until login a connection may hold only a small record: a crowd of
        // connections that never log in must not cost a mebibyte each.
        m_records.SetLimits(IsLoggedIn() ? kServerLimits : kLoginLimits);
        CNetMessage msg;
        const DecodeStatus status = m_records.Next(msg);
        if (status == DecodeStatus::Incomplete)
            break;
        if (status == DecodeStatus::TooLarge) {
            ServerLog("protocol error from " + m_peer + ": record exceeds the limits; closing");
            Close();
            break;
        }
        decoded = true;
        m_host.HandleRecord(*this, msg);
    }
    m_processing = false;
    if (!IsOpen()) {
        m_records = CRecordStream(kLoginLimits);
        return;
    }
    m_records.Keep();
    if (!m_loggedIn)
        m_host.PreloginBuffered(*this, m_records.Buffered());
    if (!IsOpen() || m_records.Buffered() == 0)
        return;
    // A new record has begun: its own time starts now.
    if (recordStarts || decoded)
        m_recordDeadline = Clock::now() + m_host.Limits().recordTimeout;
    ArmTimer();
}

void CServerSession::Resume()
{
    if (m_holds == 0 || --m_holds > 0)
        return;
    if (!IsOpen())
        return;
    // Run the held records from the loop, not from inside the callback that
    // resumed us, so that the callback finishes its own sends first.
    asio::post(m_stream.Socket().get_executor(), [self = shared_from_this()]() {
        self->ProcessInput(false);
        self->StartRead();
    });
}

void CServerSession::Send(const CNetMessage& msg)
{
    if (Queue(msg))
        StartWrite();
}

void CServerSession::SendReceipt(std::string_view sender, std::string_view recipient, std::string_view outcome,
                                 std::string_view id)
{
    if (m_closed)
        return;
    EncodeReceipt(sender, recipient, outcome, id, static_cast<int32_t>(std::time(nullptr)), QueueTarget(true));
    if (QueueBounded())
        StartWrite();
}

bool CServerSession::FlushTick()
{
    if (m_flushDue && !m_closed && ++m_flushTicks < 2)
        return true;
    m_flushListed = false;
    if (!m_flushDue)
        return false;
    m_flushDue = false;
    m_onlySoon = false;
    StartWrite();
    return false;
}

bool CServerSession::Queue(const CNetMessage& msg)
{
    if (m_closed)
        return false;
    EncodeRecord(msg, QueueTarget(false));
    return QueueBounded();
}

std::string& CServerSession::QueueTarget(bool soon)
{
    // Behind a backlog not yet encoded, a record waits for the backlog.
    const bool behindBacklog = m_backlogNext < m_backlog.size();
    if (!soon || behindBacklog)
        m_onlySoon = false;
    else if (m_pending.empty())
        m_onlySoon = true;
    return behindBacklog ? m_later : m_pending;
}

bool CServerSession::QueueBounded()
{
    const std::size_t bound = m_host.Limits().maxQueuedBytes;
    if (m_pending.size() + m_writing.size() + m_later.size() + m_backlogBytes > bound) {
        ServerLog("client " + m_peer + " does not read; send queue over " + FormatBytes(bound) + "; closing");
        Close();
        return false;
    }
    return true;
}

void CServerSession::SendBacklog(std::vector<CNetMessage> records, bool more)
{
    if (!IsOpen())
        return;
    m_moreWanted = more;
    if (records.empty())
        return;
    for (const auto& record : records)
        m_backlogBytes += EncodedSizeBound(record);
    if (m_backlogNext < m_backlog.size()) {
        for (auto& record : records)
            m_backlog.push_back(std::move(record));
    } else {
        m_backlog = std::move(records);
        m_backlogNext = 0;
    }
    StartWrite();
}

void CServerSession::Refill()
{
    while (m_backlogNext < m_backlog.size() && m_pending.size() < kBacklogBatch) {
        m_backlogBytes -= std::min(m_backlogBytes, EncodedSizeBound(m_backlog[m_backlogNext]));
        EncodeRecord(m_backlog[m_backlogNext], m_pending);
        m_backlog[m_backlogNext] = CNetMessage(); // its text is on its way
        ++m_backlogNext;
        m_onlySoon = false;
    }
    if (m_backlogNext < m_backlog.size() || m_backlog.empty())
        return;
    std::vector<CNetMessage>().swap(m_backlog);
    m_backlogNext = 0;
    m_backlogBytes = 0;
    if (!m_later.empty())
        m_onlySoon = false;
    m_pending += m_later;
    std::string().swap(m_later);
}

void CServerSession::StartWrite()
{
    // Until its handshake ends a TLS client can be told nothing; one closed
    // after a flush then goes at once.
    if (m_writeActive || m_closed || !m_stream.IsReady())
        return;
    Refill();
    if (m_pending.empty())
        return;
    if (m_onlySoon && !m_draining) {
        if (!m_flushDue) {
            m_flushDue = true;
            m_flushTicks = 0;
            if (!m_flushListed) {
                m_flushListed = true;
                m_host.FlushSoon(*this);
            }
        }
        return;
    }
    m_onlySoon = false;
    m_flushDue = false;
    m_writing.swap(m_pending);
    m_pending.clear();
    m_writeActive = true;

    m_stream.AsyncWrite(
        asio::buffer(m_writing),
        [self = shared_from_this()](const asio::error_code& error, std::size_t) { self->OnWrite(error); });
    if (m_loggedIn && !m_draining) {
        m_writeDeadline = Clock::now() + m_host.Limits().writeTimeout;
        m_acked = -1;
        ArmTimer();
    }
}

void CServerSession::OnWrite(const asio::error_code& error)
{
    m_writeActive = false;
    Release(m_writing);
    if (m_closed)
        return;
    if (error) {
        Close();
        return;
    }
    StartWrite();
    if (!m_writeActive && m_draining) {
        m_stream.ShutdownSend();
        Close();
        return;
    }
    // The part of the backlog the server handed over is out: the next.
    if (m_moreWanted && m_backlog.empty() && !m_writeActive) {
        m_moreWanted = false;
        m_host.BacklogTaken(*this);
    }
}

void CServerSession::CloseAfterFlush()
{
    if (m_closed || m_draining)
        return;
    m_draining = true;
    // A backlog not reached yet stays in the store for the next login; what
    // was sent behind it goes now.
    std::vector<CNetMessage>().swap(m_backlog);
    m_backlogNext = 0;
    m_backlogBytes = 0;
    m_moreWanted = false;
    m_pending += m_later;
    std::string().swap(m_later);
    StartWrite();
    if (!m_writeActive) {
        Close();
        return;
    }
    m_drainDeadline = Clock::now() + kDrainTime;
    ArmTimer();
}

void CServerSession::Close()
{
    if (m_closed)
        return;
    m_closed = true;
    m_host.SessionClosing(*this);
    asio::error_code ignored;
    m_timer.cancel();
    m_timerArmed = false;
    m_stream.Socket().close(ignored);
    std::string().swap(m_pending);
    std::string().swap(m_later);
    std::vector<CNetMessage>().swap(m_backlog);
    m_backlogNext = 0;
    // The caller may be a handler that still uses this session, the online
    // table or another session: the server hears of the close from the loop.
    asio::post(m_stream.Socket().get_executor(),
               [self = shared_from_this()]() { self->m_host.OnSessionClosed(*self); });
}

void CServerSession::ArmTimer()
{
    if (m_closed)
        return;
    std::optional<Clock::time_point> due;
    auto consider = [&due](Clock::time_point t) {
        if (!due || t < *due)
            due = t;
    };
    if (m_draining) {
        consider(m_drainDeadline);
    } else {
        if (!m_loggedIn)
            consider(m_loginDeadline);
        // Held bytes wait for the server, not for the client.
        if ((m_records.Buffered() > 0 && m_holds == 0) || m_headerBytes > 0)
            consider(m_recordDeadline);
        if (m_loggedIn && m_writeActive)
            consider(m_writeDeadline);
    }
    if (!due || (m_timerArmed && m_timerAt <= *due))
        return;
    m_timerAt = *due;
    m_timerArmed = true;
    // Moving the expiry aborts the wait that was running, if any.
    m_timer.expires_at(*due);
    m_timer.async_wait([self = shared_from_this()](const asio::error_code& error) {
        if (error)
            return;
        self->m_timerArmed = false;
        self->OnTimer();
    });
}

void CServerSession::OnTimer()
{
    if (m_closed)
        return;
    const auto now = Clock::now();
    const CServerLimits& limits = m_host.Limits();
    if (m_draining) {
        if (now >= m_drainDeadline)
            Close();
        else
            ArmTimer();
        return;
    }
    if (m_headerBytes > 0 && now >= m_recordDeadline) {
        RefuseProxy("unfinished for " + FormatDuration(limits.recordTimeout));
        return;
    }
    if (!m_loggedIn && now >= m_loginDeadline) {
        ServerLog((m_awaitingHeader ? "no PROXY header from trusted proxy " : "no login from ") + m_peer +
                  " within " + FormatDuration(limits.loginTimeout) + "; closing");
        Close();
        return;
    }
    if (m_records.Buffered() > 0 && m_holds == 0 && now >= m_recordDeadline) {
        ServerLog("record from " + m_peer + " unfinished for " + FormatDuration(limits.recordTimeout) +
                  "; closing");
        Close();
        return;
    }
    if (m_loggedIn && m_writeActive && now >= m_writeDeadline) {
        // The write is not done, but the client may still be taking its
        // bytes slowly: what it acknowledged, looked at twice a tenth of the
        // time-out apart, says whether it still does. (Looking at every
        // write would cost a call per record.)
        const int64_t acked = BytesAcked(m_stream.Socket().native_handle());
        if (m_acked >= 0 && acked == m_acked) {
            ServerLog("client " + m_peer + " has taken nothing for " + FormatDuration(limits.writeTimeout) +
                      "; closing");
            Close();
            return;
        }
        const bool first = m_acked < 0;
        m_acked = first ? acked : -1;
        m_writeDeadline = now + (first ? std::max(limits.writeTimeout / 10, std::chrono::milliseconds(1))
                                       : limits.writeTimeout);
    }
    ArmTimer();
}
