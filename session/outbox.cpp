#include "outbox.h"

#include "historystore.h"
#include "serverconnection.h"

#include <QPointer>
#include <QRandomGenerator>

#include <algorithm>
#include <vector>

COutbox::COutbox(CServerConnection& connection, CHistoryStore& store, QObject* parent)
    : QObject(parent), m_connection(connection), m_store(store)
{
}

std::string COutbox::NewId()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    static const char kHex[] = "0123456789abcdef";
    std::string id;
    for (quint32 word : words)
        for (int shift = 28; shift >= 0; shift -= 4)
            id += kHex[(word >> shift) & 0xF];
    return id;
}

void COutbox::SetOwner(const std::string& owner)
{
    if (owner == m_strOwner)
        return;
    m_strOwner = owner;
    m_waiting.clear();
    for (CNetMessage& record : m_store.Waiting(owner))
        if (!record.names.empty())
            m_waiting.emplace_back(std::move(record));
    emit WaitingCountChanged(WaitingCount());
}

LineState COutbox::Add(CNetMessage record)
{
    const std::string id = record.names.front();
    m_store.KeepWaiting(m_strOwner, record);
    m_waiting.emplace_back(std::move(record));
    emit WaitingCountChanged(WaitingCount());
    if (m_bLoggedIn)
        SendOne(m_waiting.back());
    // Gone already: written at once to a server that gives no receipts.
    return Find(id) ? LineState::Sending : LineState::Sent;
}

void COutbox::OnLoggedIn(bool receipts)
{
    m_bLoggedIn = true;
    m_bReceipts = receipts;
    // By id: a line written at once leaves the list while it is walked.
    std::vector<std::string> ids;
    for (const CWaiting& line : m_waiting)
        ids.push_back(line.record.names.front());
    for (const std::string& id : ids)
        if (CWaiting* line = Find(id); line && !line->sent)
            SendOne(*line);
    emit WaitingCountChanged(WaitingCount());
}

void COutbox::OnLoggedOff()
{
    m_bLoggedIn = false;
    // Whatever was not answered goes again after the next login.
    for (CWaiting& line : m_waiting)
        line.sent = false;
    emit WaitingCountChanged(WaitingCount());
}

bool COutbox::OnAnswer(const std::string& id, LineState state, const std::string& reason)
{
    const auto it = std::find_if(m_waiting.begin(), m_waiting.end(),
                                 [&id](const CWaiting& line) { return line.record.names.front() == id; });
    if (it == m_waiting.end())
        return false;
    m_waiting.erase(it);
    m_store.ForgetWaiting(m_strOwner, id);
    emit LineStateChanged(id, state, QString::fromStdString(reason));
    emit WaitingCountChanged(WaitingCount());
    return true;
}

COutbox::CWaiting* COutbox::Find(const std::string& id)
{
    for (CWaiting& line : m_waiting)
        if (line.record.names.front() == id)
            return &line;
    return nullptr;
}

void COutbox::SendOne(CWaiting& line)
{
    line.sent = true;
    if (m_bReceipts) {
        line.sent = m_connection.Send(line.record);
        return;
    }
    // A server without receipts gets the record as it always did, without
    // an id; the line is through once the socket has taken it. The answer
    // may come at once, and take the line out of the list before the call
    // returns.
    CNetMessage plain = CNetMessage::FullCopy(line.record);
    plain.names.clear();
    const std::string id = line.record.names.front();
    const QPointer<COutbox> self(this);
    const bool queued = m_connection.SendThen(plain, [self, id] {
        if (self)
            self->OnAnswer(id, LineState::Sent, {});
    });
    if (!queued)
        line.sent = false;
}
