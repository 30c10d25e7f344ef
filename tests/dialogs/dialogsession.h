#pragma once

#include "configdir.h"
#include "connectwait.h"
#include "fakeserver.h"
#include "palaverdoc.h"
#include "sessionfixture.h"
#include "sessionprompts.h"
#include "waits.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <memory>
#include <string>

// A session connected to a fake server through a config.txt in a scratch
// folder, with every pause at zero: what each dialog test starts from.
class CDialogSession
{
public:
    static CSessionTiming ZeroTiming() { return ZeroPauses(); }

    // The settings a login saves must never reach the user's own file: the
    // per-user settings go to a scratch folder for the whole test run. Call
    // before anything opens the settings.
    static void ProtectUserSettings()
    {
        static QTemporaryDir home;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
        qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    }

    bool Start()
    {
        if (!m_dir.IsValid() || !m_server.IsListening() || !m_dir.WriteConfig("127.0.0.1", m_server.Port()))
            return false;
        m_pDoc = std::make_unique<CPalaverDoc>(ZeroTiming());
        ConnectSessionPrompts(*m_pDoc);
        return m_pDoc->OpenConnection() && WaitForConnect(m_pDoc->Connection()) && m_server.WaitForClient();
    }

    CPalaverDoc& Doc() { return *m_pDoc; }
    CFakeServer& Server() { return m_server; }
    CConfigDir& Dir() { return m_dir; }

private:
    CConfigDir m_dir;
    CFakeServer m_server;
    std::unique_ptr<CPalaverDoc> m_pDoc;
};

// Logs the session in as `name` the way the server does.
inline bool LogIn(CDialogSession& session, const std::string& name, const std::string& password = "pw1")
{
    return LogInAs(session.Doc(), session.Server(), name, {}, password);
}
