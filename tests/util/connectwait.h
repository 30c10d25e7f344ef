#pragma once

#include "serverconnection.h"
#include "waits.h"

#include <chrono>

// Runs the event loop until the connect that Connect (or the session's
// OpenConnection) started has ended; true when it ended connected.
inline bool WaitForConnect(const CServerConnection& connection,
                           std::chrono::milliseconds timeout = std::chrono::seconds(15))
{
    return WaitUntil([&] { return !connection.IsConnecting(); }, timeout) && connection.IsConnected() != 0;
}
