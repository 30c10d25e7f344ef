#pragma once

#include "configdir.h"
#include "connectwait.h"
#include "fakeserver.h"
#include "messageboxinterceptor.h"
#include "palaverdoc.h"
#include "serverconnection.h"
#include "sessionprompts.h"
#include "settingshome.h"
#include "waits.h"

#include <memory>

using namespace std::chrono_literals;

// A session connected to a fake server, without pauses, with its settings
// in a scratch folder and every message box answered.
struct CSessionFixture
{
    CSettingsHome home;
    CConfigDir config;
    CFakeServer server;
    CMessageBoxInterceptor boxes;
    std::unique_ptr<CPalaverDoc> doc;

    CSessionFixture()
    {
        config.WriteConfig("127.0.0.1", server.Port());
        CSessionTiming timing;
        timing.connection.sendPause = timing.connection.receivePause = 0ms;
        timing.logoffPause = 0ms;
        doc = std::make_unique<CPalaverDoc>(timing);
        ConnectSessionPrompts(*doc);
        doc->OnNewDocument();
        WaitForConnect(doc->Connection());
        server.WaitForClient();
    }
    ~CSessionFixture() { doc.reset(); }
};
