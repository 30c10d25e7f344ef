#pragma once

#include "clientconnection.h"

#include <QObject>
#include <QString>

// The session: the client's one document, alive from start-up to shutdown.
// It embeds the connection to the server and opens and closes it.
class CPalaverDoc : public QObject
{
    Q_OBJECT

public:
    explicit CPalaverDoc(const CConnectionTiming& timing = {}, QObject* parent = nullptr);
    ~CPalaverDoc() override;

    // Start of the session: the title "Not logged in", then a connection
    // unless one is open already. True: the session goes on either way.
    bool OnNewDocument();

    // Creates the socket and connects it; false when either fails (only a
    // socket that cannot be created or a missing configuration says so).
    bool OpenConnection();
    // Drops the socket and marks the session not connected.
    void CloseConnection();

    // The connection has gone away under the session.
    void OnConnectionLost();

    CClientConnection& Connection() { return m_connection; }
    const QString& Title() const { return m_strTitle; }
    void SetTitle(const QString& title);

signals:
    void TitleChanged(const QString& title);
    // g_bConnected changed.
    void ConnectionChanged(bool connected);

private:
    CClientConnection m_connection;
    QString m_strTitle;
};
