// How a session reads the PROXY header that a trusted proxy puts before the
// client's bytes. It is looked at where it lies, in the socket's queue, and
// taken only once whole, so that what follows stays unread: a TLS hello
// still reaches the handshake untouched.

#include "serversession.h"

#include "proxyheader.h"
#include "serverlog.h"
#include "sessionhost.h"

void CServerSession::WaitProxyHeader()
{
    m_stream.Socket().async_wait(
        asio::ip::tcp::socket::wait_read,
        [self = shared_from_this()](const asio::error_code& error) { self->OnProxyBytes(error); });
}

void CServerSession::OnProxyBytes(const asio::error_code& error)
{
    if (!IsOpen())
        return;
    char bytes[kMaxProxyHeader];
    asio::error_code peekError = error;
    const std::size_t n = error ? 0 : m_stream.Peek(bytes, sizeof bytes, peekError);
    if (peekError == asio::error::would_block) {
        WaitProxyHeader();
        return;
    }
    if (peekError || n == 0) {
        Close(); // gone before a byte: how a proxy checks that the port answers
        return;
    }
    const CProxyHeader header = ParseProxyHeader(std::string_view(bytes, n));
    if (header.status == CProxyHeader::CStatus::Invalid) {
        RefuseProxy(header.error);
        return;
    }
    if (header.status == CProxyHeader::CStatus::Incomplete) {
        if (m_stream.PeerHasClosed()) {
            RefuseProxy("the connection ended inside it");
            return;
        }
        if (m_headerBytes == 0)
            m_recordDeadline = Clock::now() + m_host.Limits().recordTimeout;
        m_headerBytes = n;
        m_host.PreloginBuffered(*this, n);
        if (!IsOpen())
            return;
        m_stream.WakeAt(header.length);
        ArmTimer();
        WaitProxyHeader();
        return;
    }
    m_stream.Skip(header.length);
    m_stream.WakeAt(1);
    m_awaitingHeader = false;
    m_headerBytes = 0;
    m_host.PreloginBuffered(*this, 0);
    if (!header.source.empty())
        m_peer = header.source;
    if (m_host.ProxyHeaderRead(*this))
        BeginStream();
}

void CServerSession::RefuseProxy(const std::string& why)
{
    ServerLog("invalid PROXY header from trusted proxy " + m_peer + ": " + why + "; closing");
    Close();
}
