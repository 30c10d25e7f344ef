#pragma once

#include "netmessage.h"

#include <QObject>
#include <QString>

#include <deque>
#include <string>

class CHistoryStore;
class CServerConnection;

// Where one of the user's lines stands, as its conversation window shows it.
enum class LineState {
    Sending,   // in the outbox: not yet written, or not yet answered
    Sent,      // written to a server that does not confirm what it gets
    Stored,    // kept by the server until the recipient logs in ("MA" "stored")
    Delivered, // handed to the recipient ("MA" "delivered")
    Failed,    // refused ("F" with the line's id); the reason is the server's text
};

// A line the session took from a conversation window: its id, and where it
// stands right after.
struct CSentLine
{
    std::string id;
    LineState state = LineState::Sending;
};

// The user's outbox. Every line the user sends waits here, and in the
// user's history database, until it is known to be through: with a server
// that offers receipts until "MA" or "F" answers its id, with one that does
// not once it is written to the socket of a logged-in session. Lines typed
// while not logged in wait too. After every login what waits goes out again,
// in order and with the same ids, so a line is never lost in silence, and a
// server that got it before only answers again.
class COutbox final : public QObject
{
    Q_OBJECT

public:
    // The entry of "SL" names with which a server offers receipts.
    static constexpr char kReceipts[] = "receipts";

    COutbox(CServerConnection& connection, CHistoryStore& store, QObject* parent = nullptr);

    // A new message id: 128 random bits in hex, unique among a sender's
    // messages without asking anyone.
    static std::string NewId();

    // The user whose lines wait here. Another user's lines come from that
    // user's database; the previous user's stay in theirs.
    void SetOwner(const std::string& owner);
    const std::string& Owner() const { return m_strOwner; }

    // Adds `record`, an "M" with names = [its id], and sends it at once when
    // logged in. Returns where it stands then.
    LineState Add(CNetMessage record);

    // A login completed, with or without receipts: what waits goes out.
    void OnLoggedIn(bool receipts);
    void OnLoggedOff();
    // The server's answer about the line `id`: Stored or Delivered ("MA"),
    // or Failed with the reason ("F"). False when no line waits with that id.
    bool OnAnswer(const std::string& id, LineState state, const std::string& reason);

    int WaitingCount() const { return static_cast<int>(m_waiting.size()); }

signals:
    void LineStateChanged(const std::string& id, LineState state, const QString& reason);
    void WaitingCountChanged(int count);

private:
    struct CWaiting
    {
        explicit CWaiting(CNetMessage r) : record(std::move(r)) {}
        CWaiting(CWaiting&&) noexcept = default;
        CWaiting& operator=(CWaiting&&) noexcept = default;
        CWaiting(const CWaiting&) = delete; // a record's copy would lose its id
        CWaiting& operator=(const CWaiting&) = delete;

        CNetMessage record;
        bool sent = false; // written during this login
    };

    CWaiting* Find(const std::string& id);
    void SendOne(CWaiting& line);

    CServerConnection& m_connection;
    CHistoryStore& m_store;
    std::string m_strOwner;
    std::deque<CWaiting> m_waiting;
    bool m_bLoggedIn = false;
    bool m_bReceipts = false;
};
