#pragma once

#include "netmessage.h"
#include "recordstream.h"

#include <QObject>
#include <QStringList>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

class CClientSocket;

// 1 while the session holds a connection that it opened, else 0.
extern int g_bConnected;

// Where config.txt is looked for, first found first used: the current
// folder, the user's configuration folder ($XDG_CONFIG_HOME/murmurly, by
// default ~/.config/murmurly), then /etc/murmurly. Absolute paths.
QStringList ConfigSearchPaths();

// The fixed pauses of the connection and its bounded waits. The program
// keeps the defaults; tests pass zero pauses.
struct CConnectionTiming
{
    std::chrono::milliseconds sendPause{100};    // after every record sent
    std::chrono::milliseconds receivePause{100}; // after every record received
    std::chrono::milliseconds connectTimeout{10000};
    std::chrono::milliseconds writeTimeout{30000};
};

// The one connection to the server. It owns the socket, sends records, and
// hands every record that arrives to HandleMessage through m_pMsg, the one
// receive record.
//
// Bytes are taken off the socket when it reports them and buffered here.
// Each complete record is then dispatched from the event loop, one per turn
// and in order of arrival. The next dispatch is scheduled before a record is
// handled, so a handler that opens a message box or a modal dialog keeps
// receiving inside that box's event loop; the dialogs that wait for an answer
// from the server rely on this. Because every record is decoded into the same
// receive record, a handler copies what it needs before it opens a box.
//
// A lost connection (closed by the server, a socket error, the stream ending
// inside a record, or a record over the limits) is reported once through
// OnConnectionLost, after every complete record before it has been handled,
// and only while the connected flag is set.
class CServerConnection : public QObject
{
    Q_OBJECT

public:
    explicit CServerConnection(const CConnectionTiming& timing = {}, QObject* parent = nullptr);
    ~CServerConnection() override;

    CServerConnection(const CServerConnection&) = delete;
    CServerConnection& operator=(const CServerConnection&) = delete;

    // Reads config.txt (see ConfigSearchPaths), then connects the socket that
    // the session created.
    // A missing configuration shows the stop-icon box; a server that cannot
    // be reached makes it return false without a word.
    virtual bool Connect();
    // Encodes the record, flushes all of it to the socket, then pauses.
    // False on a socket error; nothing is shown.
    virtual bool Send(const CNetMessage& msg);
    // Decodes the next complete buffered record into the receive record (its
    // names emptied first), then pauses. False when none is complete.
    virtual bool Receive();
    // Acts on the receive record.
    virtual bool HandleMessage() = 0;
    // Reads the first config.txt of ConfigSearchPaths into the address and
    // port; false when there is none.
    virtual bool ReadConfig();

    // The socket; the connection owns it from here on. Setting one drops the
    // previous socket and anything received on it.
    void SetSocket(std::unique_ptr<CClientSocket> socket);
    CClientSocket* Socket() const { return m_pSocket.get(); }
    void DeleteSocket();

    CNetMessage* ReceivedMessage() const { return m_pMsg.get(); }
    int IsConnected() const { return m_bConnected; }
    void SetConnected(int connected) { m_bConnected = connected; }
    int Port() const { return m_nPort; }
    const std::string& ServerAddress() const { return m_strServerAddress; }

    // Bytes received but not yet handled.
    std::size_t PendingBytes() const;

protected:
    // The server closed the connection, the socket failed, or the server
    // broke the protocol. The socket is closed already; the session decides
    // what else happens.
    virtual void OnConnectionLost() {}

private:
    friend class CClientSocket;
    void OnSocketReadable();
    void OnSocketClosed();

    void PullBytes();
    void ScheduleDispatch();
    void DispatchNext();
    void ReportLost();
    void ResetStream();

    CConnectionTiming m_timing;
    std::unique_ptr<CClientSocket> m_pSocket;
    std::unique_ptr<CNetMessage> m_pMsg;
    int m_bConnected = 0;
    int m_nPort = 0;
    std::string m_strServerAddress;

    std::unique_ptr<CRecordStream> m_pStream;
    bool m_bDispatchScheduled = false;
    bool m_bStreamEnded = false;
    bool m_bProtocolError = false;
    bool m_bLostReported = false;
};
