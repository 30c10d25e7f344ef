#include "clientconnection.h"

#include "palaverdoc.h"

CClientConnection::CClientConnection(CPalaverDoc& doc, const CConnectionTiming& timing)
    : CServerConnection(timing), m_doc(doc)
{
}

bool CClientConnection::HandleMessage()
{
    // Records are not acted on yet; the dispatcher comes with the session's
    // handling of each command code.
    return true;
}

void CClientConnection::OnConnectionLost()
{
    m_doc.OnConnectionLost();
}
