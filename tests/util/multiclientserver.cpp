#include "multiclientserver.h"

#include "waits.h"
#include "wire.h"

#include <QDebug>
#include <QHostAddress>
#include <QTcpSocket>

CMultiClientServer::CMultiClientServer(QObject* parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &CMultiClientServer::OnNewConnection);
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qWarning() << "multi-client server cannot listen:" << m_server.errorString();
}

CMultiClientServer::~CMultiClientServer()
{
    for (CConnection& connection : m_connections) {
        if (connection.socket) {
            QObject::disconnect(connection.socket, nullptr, this, nullptr);
            connection.socket->abort();
            delete connection.socket;
        }
    }
}

bool CMultiClientServer::WaitForConnections(int count, std::chrono::milliseconds timeout)
{
    return WaitUntil([&] { return ConnectionCount() >= count; }, timeout);
}

bool CMultiClientServer::IsClosed(int index) const
{
    return index >= 0 && index < ConnectionCount() && m_connections[static_cast<std::size_t>(index)].closed;
}

bool CMultiClientServer::WaitForClosed(int index, std::chrono::milliseconds timeout)
{
    return WaitUntil([&] { return IsClosed(index); }, timeout);
}

bool CMultiClientServer::Inject(int index, const CNetMessage& msg)
{
    if (index < 0 || index >= ConnectionCount())
        return false;
    CConnection& connection = m_connections[static_cast<std::size_t>(index)];
    if (!connection.socket || connection.closed)
        return false;
    const std::string bytes = EncodeRecord(msg);
    const auto size = static_cast<qint64>(bytes.size());
    if (connection.socket->write(bytes.data(), size) != size)
        return false;
    connection.socket->flush();
    return true;
}

std::optional<CNetMessage> CMultiClientServer::Expect(int index, std::string_view command,
                                                      std::chrono::milliseconds timeout)
{
    if (!WaitForConnections(index + 1, timeout))
        return std::nullopt;
    CNetMessage msg;
    DecodeStatus status = DecodeStatus::Incomplete;
    WaitUntil(
        [&] {
            // Looked up every turn: a connection accepted meanwhile may move the list.
            status = m_connections[static_cast<std::size_t>(index)].received.Next(msg);
            return status != DecodeStatus::Incomplete;
        },
        timeout);
    if (status != DecodeStatus::Complete) {
        qWarning() << "multi-client server: no complete record on connection" << index;
        return std::nullopt;
    }
    if (!command.empty() && msg.command != command) {
        qWarning() << "multi-client server: expected"
                   << QByteArray(command.data(), static_cast<qsizetype>(command.size())) << "got"
                   << QByteArray::fromStdString(msg.command) << "on connection" << index;
        return std::nullopt;
    }
    return std::optional<CNetMessage>(std::move(msg));
}

bool CMultiClientServer::ExpectNoRecord(int index, std::chrono::milliseconds timeout)
{
    return !WaitUntil(
        [&] {
            return index < ConnectionCount() &&
                   m_connections[static_cast<std::size_t>(index)].received.Buffered() > 0;
        },
        timeout);
}

std::string_view CMultiClientServer::Pending(int index) const
{
    return m_connections.at(static_cast<std::size_t>(index)).received.Pending();
}

void CMultiClientServer::OnNewConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        const std::size_t index = m_connections.size();
        m_connections.push_back(CConnection{socket});
        connect(socket, &QTcpSocket::readyRead, this, [this, index] { Read(index); });
        connect(socket, &QTcpSocket::disconnected, this, [this, index] {
            Read(index);
            m_connections[index].closed = true;
        });
        Read(index);
    }
}

void CMultiClientServer::Read(std::size_t index)
{
    CConnection& connection = m_connections[index];
    if (!connection.socket || !connection.socket->isOpen())
        return;
    const QByteArray bytes = connection.socket->readAll();
    connection.received.Append(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}
