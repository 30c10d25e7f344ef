#pragma once

#include "netmessage.h"
#include "recordstream.h"
#include "socketowner.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

class CClientSocket;
class QSslCertificate;
class QSslError;

// A server certificate that did not verify against the system's store and
// the server's name, as the user is asked about it.
struct CCertificateQuestion
{
    QString host;
    int port = 0;
    // SHA-256 of the certificate, upper-case hex pairs joined by colons.
    QString fingerprint;
    // Why it did not verify, one reason a line.
    QString problems;
    // Set when the certificate did not match the fingerprint pinned in
    // config.txt (in the same form as `fingerprint`): it is refused whatever
    // the answer, and the user is only told.
    QString pinned;
};

// Answers whether to go on with a certificate that did not verify: true
// trusts it for this connection. The answer may take a modal box; records
// and timers run on meanwhile.
using CertificateQuestion = std::function<bool(const CCertificateQuestion&)>;

// The SHA-256 fingerprint of a certificate as CCertificateQuestion shows it.
QString CertificateFingerprint(const QSslCertificate& certificate);

// Where config.txt is looked for, first found first used: the current
// folder, the user's configuration folder ($XDG_CONFIG_HOME/murmurly, by
// default ~/.config/murmurly), then /etc/murmurly. Absolute paths.
QStringList ConfigSearchPaths();

// The pauses that pace the wire and the connect time-out. The program keeps
// the defaults; tests pass zero pauses.
struct CConnectionTiming
{
    std::chrono::milliseconds sendPause{100};    // between a record sent and the next
    std::chrono::milliseconds receivePause{100}; // between a record handled and the next
    std::chrono::milliseconds connectTimeout{10000};
};

// The one connection to the server. It owns the socket, sends records, and
// hands every record that arrives to HandleMessage through m_pMsg, the one
// receive record. Its connected state is the session's one answer to "is
// there a connection": each session has its own.
//
// Nothing blocks the event loop. Connecting runs in the background and ends
// in ConnectFinished, at the latest after the connect time-out. A record to
// send goes on the socket's outgoing queue, which keeps the send pause
// between records. Bytes are taken off the socket when it reports them and
// buffered here; each complete record is then dispatched from the event
// loop, in order of arrival, the next one a receive pause after the previous.
// The next dispatch is scheduled before a record is handled, so a handler
// that opens a message box or a modal dialog keeps receiving inside that
// box's event loop; the dialogs that wait for an answer from the server rely
// on this. Because every record is decoded into the same receive record, a
// handler copies what it needs before it opens a box.
//
// A lost connection (closed by the server, a socket error or a failed write,
// the stream ending inside a record, or a record over the limits) is
// reported once through OnConnectionLost, after every complete record before
// it has been handled, and only while the connection counts as connected.
class CServerConnection : public QObject, public ISocketOwner
{
    Q_OBJECT

public:
    explicit CServerConnection(const CConnectionTiming& timing = {}, QObject* parent = nullptr);
    ~CServerConnection() override;

    CServerConnection(const CServerConnection&) = delete;
    CServerConnection& operator=(const CServerConnection&) = delete;

    // Reads config.txt (see ConfigSearchPaths), then starts connecting the
    // socket that the session created. True when the attempt is under way;
    // its outcome comes as ConnectFinished. A missing configuration is told
    // through ConfigurationMissing; a server that cannot be reached ends the
    // attempt without a word.
    virtual bool Connect();
    // Queues the encoded record for the server. False, and nothing queued,
    // when not connected or when the record is over the server's limits.
    virtual bool Send(const CNetMessage& msg);
    // As Send, but the next record need not keep the send pause after this
    // one: the login and registration dialogs write theirs this way.
    bool SendUnpaced(const CNetMessage& msg);
    // As Send; `written` runs once the record has been written to the
    // socket, and never when the connection ends before that.
    bool SendThen(const CNetMessage& msg, std::function<void()> written);
    // Decodes the next complete buffered record into the receive record (its
    // names emptied first). False when none is complete.
    virtual bool Receive();
    // Acts on the receive record.
    virtual bool HandleMessage() = 0;
    // Reads the first config.txt of ConfigSearchPaths into the address,
    // port and TLS settings; false when there is none, or when a value in it
    // cannot be used (Connect then says which).
    virtual bool ReadConfig();

    // Who is asked about a certificate that does not verify; without one,
    // such a certificate is refused. A fingerprint pinned in config.txt is
    // never asked about: a certificate that does not match it is refused.
    void SetCertificateQuestion(CertificateQuestion question) { m_certificateQuestion = std::move(question); }
    bool UsesTls() const { return m_bUseTls; }
    // The last Connect failed on a certificate the user did not trust, or
    // one that did not match the pinned fingerprint: trying again as it is
    // would only ask again.
    bool CertificateRefused() const { return m_bCertificateRefused; }

    // The socket; the connection owns it from here on. Setting one drops the
    // previous socket and anything received on it, and ends the connected
    // state.
    void SetSocket(std::unique_ptr<CClientSocket> socket);
    CClientSocket* Socket() const { return m_pSocket.get(); }
    void DeleteSocket();
    // Lets go of the socket after what is queued has gone out and `linger`
    // has passed since; the connection is not connected from now on.
    void CloseAfterSending(std::chrono::milliseconds linger);

    CNetMessage* ReceivedMessage() const { return m_pMsg.get(); }
    // 1 while a connection made by Connect is held and the server has not
    // ended the session, else 0.
    int IsConnected() const { return m_bConnected; }
    void SetConnected(int connected);
    // A Connect is under way.
    bool IsConnecting() const { return m_connectTimer.isActive() || m_bAskingCertificate; }
    int Port() const { return m_nPort; }
    const std::string& ServerAddress() const { return m_strServerAddress; }

    // Bytes received but not yet handled.
    std::size_t PendingBytes() const;

    // Why the connection just lost was lost, when the bytes tell: a server
    // that answered a clear-text client in TLS. Empty otherwise.
    QString LostReason() const;

signals:
    // The connected state changed.
    void ConnectedChanged(bool connected);
    // The attempt that Connect started has ended: connected, or refused,
    // failed or timed out.
    void ConnectFinished(bool connected);
    // No config.txt could be read, or a value in it cannot be used; `text`
    // is what the user is to be told, with a stop icon.
    void ConfigurationMissing(const QString& text);

protected:
    // The server closed the connection, the socket failed, or the server
    // broke the protocol. The socket is closed already; the session decides
    // what else happens.
    virtual void OnConnectionLost() {}

private:
    // ISocketOwner: what the socket reports.
    void OnSocketConnected() override;
    void OnSocketConnectFailed() override;
    void OnSocketReadable() override;
    void OnSocketClosed() override;
    bool AcceptCertificate(const QSslCertificate& certificate, const QList<QSslError>& errors) override;
    // Puts the question while the connect is under way; false without an answer.
    bool Ask(const CCertificateQuestion& question);

    bool Queue(const CNetMessage& msg, bool paced, std::function<void()> written = {});
    void EndConnect(bool connected);
    // A failed TLS connect that reached a server which never answered in
    // TLS says what to change (ConfigurationMissing).
    void TellIfNotTls();

    void PullBytes();
    void ScheduleDispatch();
    void DispatchNext();
    void ReportLost();
    void ResetStream();

    CConnectionTiming m_timing;
    QTimer m_connectTimer;
    QTimer m_dispatchTimer;
    QElapsedTimer m_sinceDispatch;
    std::unique_ptr<CClientSocket> m_pSocket;
    std::unique_ptr<CNetMessage> m_pMsg;
    int m_bConnected = 0;
    int m_nPort = 0;
    std::string m_strServerAddress;
    bool m_bUseTls = false;
    std::string m_strPinnedFingerprint; // as written in config.txt
    QString m_strConfigProblem;         // what ReadConfig found unusable
    CertificateQuestion m_certificateQuestion;
    bool m_bAskingCertificate = false;
    bool m_bCertificateRefused = false;

    std::unique_ptr<CRecordStream> m_pStream;
    bool m_bStreamEnded = false;
    bool m_bProtocolError = false;
    bool m_bLostReported = false;
    // The first bytes received on the connection, enough for a TLS record header.
    std::string m_strFirstBytes;
};
