#include "sessionrig.h"

#include "connectwait.h"
#include "waits.h"
#include "wire.h"

#include <QDebug>
#include <QTimer>

using namespace std::chrono_literals;

CNetMessage Record(const std::string& command, const std::string& sender, const std::string& recipient,
                   std::vector<std::string> names)
{
    CNetMessage msg;
    msg.command = command;
    msg.sender = sender;
    msg.recipient = recipient;
    msg.names = std::move(names);
    return msg;
}

int RunModalWithScript(CModalDialog& dlg, std::function<void()> script, std::chrono::milliseconds timeout)
{
    // Posted, not a timer: timers do not fire in loops nested inside a
    // timer's own callback, and the script waits in such loops.
    QMetaObject::invokeMethod(&dlg, std::move(script), Qt::QueuedConnection);
    QTimer::singleShot(timeout, &dlg, [&dlg] {
        if (dlg.IsRunning()) {
            qWarning() << "modal run did not end; ending it";
            dlg.EndDialog(-1);
        }
    });
    return dlg.RunModal();
}

CSessionRig::CSessionRig()
    : m_pDir(std::make_unique<CConfigDir>()), m_pServer(std::make_unique<CFakeServer>()),
      m_pBoxes(std::make_unique<CMessageBoxInterceptor>()),
      m_pDoc(std::make_unique<CPalaverDoc>(ZeroPauses()))
{
    m_pDir->WriteConfig("127.0.0.1", m_pServer->Port());
    ConnectSessionPrompts(*m_pDoc);
    m_pView = std::make_unique<CFakeView>(*m_pDoc);
}

CSessionRig::~CSessionRig()
{
    m_pView.reset();
    m_pDoc.reset();
}

bool CSessionRig::Connect()
{
    return m_pDoc->OpenConnection() && WaitForConnect(m_pDoc->Connection()) && m_pServer->WaitForClient();
}

bool CSessionRig::LogIn(const std::string& user, const std::vector<std::string>& friends)
{
    CFakeLoginDlg dlg;
    dlg.m_strUserName = user;
    dlg.m_strPassword = "secret1";
    dlg.AwaitAnswer(*m_pDoc);
    bool answered = false;
    const int result = RunModalWithScript(dlg, [&] {
        // What the dialog's Login does: send, then hide and wait.
        m_pDoc->Send(Record("L", user, "secret1", {user, "secret1", "L"}));
        dlg.hide();
        if (!m_pServer->Expect("L"))
            return;
        m_pServer->Inject(Record("SL", {}, user));
        if (!m_pServer->Expect("SL"))
            return;
        m_pServer->Inject(Record("SLU", {}, user, friends));
        answered = m_pServer->Expect("SLO").has_value();
    });
    m_pDoc->EndLogin();
    return result == 0 && answered && m_pDoc->IsLoggedIn();
}

bool CSessionRig::InjectAndSettle(const CNetMessage& msg)
{
    return m_pServer->Inject(msg) && Settle();
}

bool CSessionRig::Settle()
{
    const std::string mark = "~mark" + std::to_string(++m_nMarks);
    m_pServer->Inject(Record("SFA", mark));
    return WaitUntil([&] { return !m_pView->m_marks.empty() && m_pView->m_marks.back() == mark; });
}

bool CSessionRig::ExpectBuilt(CNetMessage expected)
{
    std::optional<CNetMessage> got = m_pServer->ExpectRecord();
    if (!got)
        return false;
    expected.time = got->time;
    if (EncodeRecord(*got) == EncodeRecord(expected))
        return true;
    qWarning() << "record differs: got" << QByteArray::fromStdString(got->command)
               << QByteArray::fromStdString(got->sender) << QByteArray::fromStdString(got->recipient);
    return false;
}

bool CSessionRig::ExpectExactly(const CNetMessage& expected)
{
    std::optional<CNetMessage> got = m_pServer->ExpectRecord();
    if (!got)
        return false;
    if (EncodeRecord(*got) == EncodeRecord(expected))
        return true;
    qWarning() << "record differs: got" << QByteArray::fromStdString(got->command)
               << QByteArray::fromStdString(got->sender) << QByteArray::fromStdString(got->recipient);
    return false;
}
