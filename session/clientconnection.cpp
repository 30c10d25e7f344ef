#include "clientconnection.h"

#include "palaverdoc.h"

CClientConnection::CClientConnection(CPalaverDoc& doc, const CConnectionTiming& timing)
    : CServerConnection(timing), m_doc(doc)
{
}

bool CClientConnection::HandleMessage()
{
    if (CNetMessage* msg = ReceivedMessage())
        m_doc.HandleRecord(*msg);
    return true;
}

void CClientConnection::OnConnectionLost()
{
    m_doc.OnConnectionLost();
}
