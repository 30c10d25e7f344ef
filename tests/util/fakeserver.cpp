#include "fakeserver.h"

#include "waits.h"
#include "wire.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>

CFakeServer::CFakeServer(QObject* parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &CFakeServer::OnNewConnection);
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qWarning() << "fake server cannot listen:" << m_server.errorString();
}

CFakeServer::~CFakeServer()
{
    if (m_pClient) {
        QObject::disconnect(m_pClient, nullptr, this, nullptr);
        m_pClient->abort();
        delete m_pClient;
    }
}

bool CFakeServer::WaitForClient(std::chrono::milliseconds timeout)
{
    return WaitUntil([this] { return HasClient(); }, timeout);
}

bool CFakeServer::HasClient() const
{
    return m_pClient && m_pClient->state() == QAbstractSocket::ConnectedState;
}

bool CFakeServer::Inject(const CNetMessage& msg)
{
    return InjectBytes(EncodeRecord(msg));
}

bool CFakeServer::InjectBytes(std::string_view bytes)
{
    if (!HasClient())
        return false;
    const auto size = static_cast<qint64>(bytes.size());
    if (m_pClient->write(bytes.data(), size) != size)
        return false;
    m_pClient->flush();
    return true;
}

std::optional<CNetMessage> CFakeServer::ExpectRecord(std::chrono::milliseconds timeout)
{
    CNetMessage msg;
    DecodeStatus status = DecodeStatus::Incomplete;
    WaitUntil([&] { return (status = m_received.Next(msg)) != DecodeStatus::Incomplete; }, timeout);
    if (status != DecodeStatus::Complete) {
        qWarning() << "fake server: no complete record;" << m_received.Buffered() << "bytes pending";
        return std::nullopt;
    }
    return std::optional<CNetMessage>(std::move(msg));
}

std::optional<CNetMessage> CFakeServer::Expect(std::string_view command, std::chrono::milliseconds timeout)
{
    std::optional<CNetMessage> msg = ExpectRecord(timeout);
    if (msg && msg->command != command) {
        qWarning() << "fake server: expected"
                   << QByteArray(command.data(), static_cast<qsizetype>(command.size())) << "got"
                   << QByteArray::fromStdString(msg->command);
        return std::nullopt;
    }
    return msg;
}

bool CFakeServer::ExpectNoRecord(std::chrono::milliseconds timeout)
{
    return !WaitUntil([this] { return m_received.Buffered() > 0; }, timeout);
}

std::string CFakeServer::ExpectBytes(std::size_t count, std::chrono::milliseconds timeout)
{
    WaitUntil([&] { return m_received.Buffered() >= count; }, timeout);
    std::string bytes(m_received.Pending().substr(0, count));
    m_received.Discard(bytes.size());
    return bytes;
}

void CFakeServer::CloseClient()
{
    if (!m_pClient)
        return;
    m_pClient->flush();
    m_pClient->disconnectFromHost();
}

bool CFakeServer::WaitForClientClosed(std::chrono::milliseconds timeout)
{
    return WaitUntil([this] { return m_bClientClosed; }, timeout);
}

void CFakeServer::OnNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        ++m_nAccepted;
        if (m_pClient) {
            QObject::disconnect(m_pClient, nullptr, this, nullptr);
            m_pClient->abort();
            m_pClient->deleteLater();
        }
        m_pClient = socket;
        m_received = CRecordStream(kClientLimits);
        m_bClientClosed = false;
        connect(socket, &QTcpSocket::readyRead, this, &CFakeServer::OnReadyRead);
        connect(socket, &QTcpSocket::disconnected, this, &CFakeServer::OnDisconnected);
        OnReadyRead();
    }
}

void CFakeServer::OnReadyRead()
{
    if (!m_pClient || !m_pClient->isOpen())
        return;
    const QByteArray bytes = m_pClient->readAll();
    m_received.Append(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

void CFakeServer::OnDisconnected()
{
    OnReadyRead();
    m_bClientClosed = true;
}
