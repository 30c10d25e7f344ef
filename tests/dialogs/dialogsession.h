#pragma once

#include "configdir.h"
#include "connectwait.h"
#include "fakeserver.h"
#include "palaverdoc.h"
#include "sessionprompts.h"
#include "sessionui.h"
#include "waits.h"

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
    static CSessionTiming ZeroTiming()
    {
        using namespace std::chrono_literals;
        CSessionTiming timing;
        timing.connection = CConnectionTiming{0ms, 0ms, 5000ms};
        timing.logoffPause = 0ms;
        return timing;
    }

    // The settings a login saves must never reach the user's own file: the
    // per-user settings go to a scratch folder for the whole test run. Call
    // before anything opens the settings.
    static void ProtectUserSettings()
    {
        static QTemporaryDir home;
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path());
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

// The session reads the name the server accepted from the open login
// dialog; this stands in for one.
class CStubLoginDlg final : public CLoginDlgBase
{
public:
    std::string UserName() const override { return m_strUserName; }
    std::string Password() const override { return m_strPassword; }
    int Remember() const override { return 0; }
    int AutoLogin() const override { return 0; }

    std::string m_strUserName;
    std::string m_strPassword;
};

// Logs the session in as `name` the way the server does: "SL", the
// session's own "SL" request, then "SLU" answered with "SLO". True when the
// session ends up logged in under that name.
inline bool LogIn(CDialogSession& session, const std::string& name, const std::string& password = "pw1")
{
    CStubLoginDlg login;
    login.m_strUserName = name;
    login.m_strPassword = password;
    login.AwaitAnswer(session.Doc());

    CNetMessage accepted;
    accepted.command = "SL";
    accepted.recipient = name;
    bool ok = session.Server().Inject(accepted) && session.Server().Expect("SL").has_value();
    if (ok) {
        CNetMessage list;
        list.command = "SLU";
        list.recipient = name;
        ok = session.Server().Inject(list) && session.Server().Expect("SLO").has_value();
    }
    ok = ok && WaitUntil([&] { return session.Doc().IsLoggedIn(); });
    session.Doc().EndLogin();
    return ok && session.Doc().UserName() == name;
}
