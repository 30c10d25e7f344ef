#pragma once

#include "serverconnection.h"

class CPalaverDoc;

// The session's connection: hands every received record to the document.
class CClientConnection final : public CServerConnection
{
    Q_OBJECT

public:
    explicit CClientConnection(CPalaverDoc& doc, const CConnectionTiming& timing = {});

    // The dispatcher of received records.
    bool HandleMessage() override;

protected:
    void OnConnectionLost() override;

private:
    CPalaverDoc& m_doc;
};
