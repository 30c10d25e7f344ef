#pragma once

// What the client's tests share about a session: its timing without pauses,
// one stand-in for the login dialog, the server's side of a login, a session
// connected to a fake server, and the windows a session opened by itself.

#include "configdir.h"
#include "fakeserver.h"
#include "messageboxinterceptor.h"
#include "palaverdoc.h"
#include "sessionui.h"
#include "settingshome.h"

#include <QPointer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// Every pause at zero and a 5 s connect time-out.
CSessionTiming ZeroPauses();

// Stands in for the login dialog: the values a login sends, the
// registration dialog it opened, and, from CLoginDlgBase, its part in the
// session's answers once AwaitAnswer is called. m_onInit runs inside the
// dialog's initialisation (to send and hide, as the real one does).
class CFakeLoginDlg final : public CLoginDlgBase
{
    Q_OBJECT

public:
    explicit CFakeLoginDlg(std::string name = {}, std::string password = {})
        : m_strUserName(std::move(name)), m_strPassword(std::move(password))
    {
    }

    std::string UserName() const override { return m_strUserName; }
    std::string Password() const override { return m_strPassword; }
    int Remember() const override { return m_bRemember; }
    int AutoLogin() const override { return m_bAutoLogin; }
    CModalDialog* RegistrationDialog() const { return m_pRegistrationDlg; }

    std::string m_strUserName;
    std::string m_strPassword;
    int m_bRemember = 0;
    int m_bAutoLogin = 0;
    QPointer<CModalDialog> m_pRegistrationDlg;
    std::function<void()> m_onInit;

protected:
    void OnInitDialog() override
    {
        if (m_onInit)
            m_onInit();
    }
};

// The server's side of a login, played by `server` to a connected session
// whose login dialog sent "L": "SL" (offering receipts when asked), the
// session's own "SL" request, then "SLU" with `friends`, answered with
// "SLO". True when the session ends up logged in under `name`.
bool LogInAs(CPalaverDoc& doc, CFakeServer& server, const std::string& name,
             std::vector<std::string> friends = {}, const std::string& password = "pw",
             bool receipts = false);

// A round trip in place of waiting for silence: the session sends a "BUL"
// straight on its connection, and the fake server must get it next. As the
// session writes in order, nothing it sent before the call is left unread.
// Without a connection no probe can go, and the fake server waits its
// time-out for silence instead.
bool NothingSentBefore(CPalaverDoc& doc, CFakeServer& server);

// Deletes the top-level windows that `doc` opened by itself and that own
// themselves (conversations, the offline messages): a test's session takes
// them with it, and leaves another session's windows alone.
void DeleteWindowsOf(const CPalaverDoc& doc);

// A session on the loopback, started and connected: its settings in a
// scratch folder, a config.txt naming a fake server, every box answered, no
// pauses, and the prompts connected. The windows it opens go with it.
struct CSessionFixture
{
    CSettingsHome home;
    CConfigDir config;
    CFakeServer server;
    CMessageBoxInterceptor boxes;
    std::unique_ptr<CPalaverDoc> doc;

    CSessionFixture();
    ~CSessionFixture();
};
