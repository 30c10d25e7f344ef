#pragma once

#include <QList>

class QSslCertificate;
class QSslError;

// What a client socket tells the one that owns it: the connection. The
// socket only reports; reading, decoding and deciding are the owner's.
class ISocketOwner
{
public:
    // Whether the TLS handshake may go on with this certificate; `errors`
    // is empty when it verified. The answer may take a modal box.
    virtual bool AcceptCertificate(const QSslCertificate& certificate, const QList<QSslError>& errors) = 0;
    // The connect started by the socket's Connect succeeded (with TLS, the
    // handshake too), or failed.
    virtual void OnSocketConnected() = 0;
    virtual void OnSocketConnectFailed() = 0;
    // Bytes arrived.
    virtual void OnSocketReadable() = 0;
    // The established stream ended.
    virtual void OnSocketClosed() = 0;

protected:
    ~ISocketOwner() = default;
};
