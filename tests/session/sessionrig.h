#pragma once

// A session on the loopback: a config.txt pointing at a fake server, boxes
// intercepted, a document with zero pauses and a fake friends list view.

#include "configdir.h"
#include "fakeserver.h"
#include "messageboxinterceptor.h"
#include "palaverdoc.h"
#include "sessionfakes.h"
#include "sessionprompts.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

CNetMessage Record(const std::string& command, const std::string& sender = {},
                   const std::string& recipient = {}, std::vector<std::string> names = {});

// Runs `dlg` modally with `script` started inside its loop. A dialog that is
// still running after `timeout` is ended with -1, so no test hangs on it.
int RunModalWithScript(CModalDialog& dlg, std::function<void()> script,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10));

class CSessionRig
{
public:
    CSessionRig();
    ~CSessionRig();

    // Opens the document's connection to the fake server.
    bool Connect();
    // A whole login as ann with the login dialog: "L", "SL", "SL", "SLU",
    // "SLO". `friends` is the friends list the server answers with.
    bool LogIn(const std::string& user, const std::vector<std::string>& friends = {});

    // Injects a record, then a marker friend request, and waits until the
    // session has handled the marker, and so the record before it.
    bool InjectAndSettle(const CNetMessage& msg);
    // The marker alone: every record injected before it has been handled.
    bool Settle();

    // The next record the client sent must equal `expected` byte for byte,
    // but for the time, which the client stamps itself.
    bool ExpectBuilt(CNetMessage expected);
    // The same, time included.
    bool ExpectExactly(const CNetMessage& expected);

    std::unique_ptr<CConfigDir> m_pDir;
    std::unique_ptr<CFakeServer> m_pServer;
    std::unique_ptr<CMessageBoxInterceptor> m_pBoxes;
    std::unique_ptr<CPalaverDoc> m_pDoc;
    std::unique_ptr<CFakeView> m_pView;

private:
    int m_nMarks = 0;
};
