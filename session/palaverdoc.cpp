#include "palaverdoc.h"

#include "clientsocket.h"
#include "commands.h"
#include "config.h"
#include "messagebox.h"

#include <QSettings>

#include <algorithm>
#include <memory>
#include <new>

namespace {

QString NotLoggedIn()
{
    return QStringLiteral("Not logged in");
}

// Asks about a server certificate that did not verify. A trusted
// fingerprint is remembered per host and port, and is then accepted without
// a word; a different certificate for the same server is asked about again,
// with No as the default. One that does not match the fingerprint pinned in
// config.txt is refused, and the user only told.
bool AskTrustCertificate(const CCertificateQuestion& question)
{
    const QString server = QStringLiteral("%1:%2").arg(question.host).arg(question.port);
    if (!question.pinned.isEmpty()) {
        ShowMessageBox(QStringLiteral("The server's certificate has changed\n\nServer: %1\n"
                                      "Pinned fingerprint (SHA-256, TLS_FINGERPRINT in config.txt):\n%2\n"
                                      "New fingerprint (SHA-256):\n%3\n\n"
                                      "The connection is refused.")
                           .arg(server, question.pinned, question.fingerprint),
                       MessageButtons::Ok, MessageIcon::Stop);
        return false;
    }
    const QString key = QStringLiteral("Settings/Server/%1:%2").arg(question.host).arg(question.port);
    const QString remembered = OpenSettingsRoot()->value(key).toString();
    if (!remembered.isEmpty() && NormalizeFingerprint(remembered.toStdString()) ==
                                     NormalizeFingerprint(question.fingerprint.toStdString()))
        return true;
    MessageAnswer answer;
    if (remembered.isEmpty()) {
        answer = ShowMessageBox(QStringLiteral("The certificate of the server %1 could not be verified:\n%2\n\n"
                                               "SHA-256 fingerprint:\n%3\n\n"
                                               "Do you trust this server's certificate?")
                                    .arg(server, question.problems, question.fingerprint),
                                MessageButtons::YesNo, MessageIcon::Question);
    } else {
        answer = ShowMessageBox(QStringLiteral("The server's certificate has changed\n\nServer: %1\n"
                                               "Trusted fingerprint (SHA-256):\n%2\n"
                                               "New fingerprint (SHA-256):\n%3\n\n"
                                               "Do you trust the new certificate?")
                                    .arg(server, remembered, question.fingerprint),
                                MessageButtons::YesNoDefaultNo, MessageIcon::Stop);
    }
    if (answer != MessageAnswer::Yes)
        return false;
    OpenSettingsRoot()->setValue(key, question.fingerprint);
    return true;
}

} // namespace

CPalaverDoc::CPalaverDoc(const CConnectionTiming& timing, QObject* parent)
    : CPalaverDoc(CSessionTiming{timing, CSessionTiming{}.logoffPause}, parent)
{
}

CPalaverDoc::CPalaverDoc(const CSessionTiming& timing, QObject* parent)
    : QObject(parent), m_logoffPause(timing.logoffPause), m_connection(*this, timing.connection),
      m_strTitle(NotLoggedIn())
{
    connect(&m_connection, &CServerConnection::ConfigurationMissing, this,
            [](const QString& text) { ShowMessageBox(text, MessageButtons::Ok, MessageIcon::Stop); });
    m_connection.SetCertificateQuestion(&AskTrustCertificate);
    connect(&m_connection, &CServerConnection::ConnectedChanged, this, [this](bool connected) {
        emit ConnectionChanged(connected);
        emit StateChanged();
    });
}

CPalaverDoc::~CPalaverDoc() = default;

// --- document life -----------------------------------------------------

bool CPalaverDoc::OnNewDocument()
{
    SetTitle(NotLoggedIn());
    LoadSettings();
    if (!m_connection.IsConnected() && !m_connection.IsConnecting())
        OpenConnection();
    return true;
}

bool CPalaverDoc::SaveModified()
{
    if (m_connection.IsConnected()) {
        CNetMessage logoff;
        logoff.sender = m_strUserName;
        logoff.recipient = m_strUserName;
        logoff.command = Cmd::Logoff;
        Send(logoff);
        // The record must be on its way before the socket is closed under
        // it: the socket goes the log-off pause after "X" has been written,
        // while the session carries on without it.
        m_connection.CloseAfterSending(m_logoffPause);
    }
    SetLoggedIn(0);
    m_connection.SetConnected(0);
    ClearSessionLists();
    SetTitle(NotLoggedIn());
    return true;
}

void CPalaverDoc::ClearSessionLists()
{
    ClearOfflineMessages();
    // The conversation windows stay open; the session only forgets them.
    m_speakWindows.clear();
    EmptyBlockedList();
    ClearFriendsTree();
}

// --- connection --------------------------------------------------------

bool CPalaverDoc::OpenConnection()
{
    std::unique_ptr<CClientSocket> socket;
    try {
        socket = std::make_unique<CClientSocket>(&m_connection);
    } catch (const std::bad_alloc&) {
    }
    const bool created = socket && socket->Create();
    // The previous socket is gone: until the new one connects nothing is
    // connected, and the Login command must know to try again.
    m_connection.SetSocket(std::move(socket));
    if (!created) {
        ShowMessageBox(QStringLiteral("Could not create socket"));
        return false;
    }
    return m_connection.Connect();
}

void CPalaverDoc::CloseConnection()
{
    m_connection.DeleteSocket();
    ClearFriendsTree();
    SetTitle(NotLoggedIn());
}

void CPalaverDoc::OnConnectionLost()
{
    ShowMessageBox(QStringLiteral("Connection to server lost"));
    // The socket is closed already: the log-off must not try to send on it.
    m_connection.SetConnected(0);
    SaveModified();
    CloseConnection();
    ShowWaitingDialogs();
}

void CPalaverDoc::ShowWaitingDialogs()
{
    // A dialog that sent its record and hid itself waits for an answer that
    // can no longer come; left hidden, its modal run would hold the program
    // with nothing on screen. Shown again, the user can retry or leave it.
    const auto showIfWaiting = [](CModalDialog* dlg) {
        if (dlg && dlg->IsRunning() && !dlg->isVisible())
            dlg->show();
    };
    if (m_pLoginDlg) {
        // An automatic login waits in view; it too becomes an ordinary dialog.
        if (m_pLoginDlg->IsRunning())
            m_pLoginDlg->ShowAgain();
        showIfWaiting(m_pLoginDlg->RegistrationDialog());
    }
    showIfWaiting(m_pChangePasswordDlg);
    showIfWaiting(m_pBlockedUsersDlg);
}

void CPalaverDoc::SetLoggedIn(int loggedIn)
{
    if (m_bLoggedIn == loggedIn)
        return;
    m_bLoggedIn = loggedIn;
    emit StateChanged();
}

// --- conversation windows ----------------------------------------------

CSpeakWindowBase* CPalaverDoc::FindSpeakWindow(const std::string& name) const
{
    for (const QPointer<CSpeakWindowBase>& window : m_speakWindows) {
        if (window && window->To() == name)
            return window;
    }
    return nullptr;
}

void CPalaverDoc::AddSpeakWindow(CSpeakWindowBase* window)
{
    if (window)
        m_speakWindows.emplace_back(window);
}

void CPalaverDoc::RemoveSpeakWindow(CSpeakWindowBase* window)
{
    // Two windows may hold the same name, so the entry is found by window.
    const auto it = std::find(m_speakWindows.begin(), m_speakWindows.end(), window);
    if (it != m_speakWindows.end())
        m_speakWindows.erase(it);
}

// --- settings ------------------------------------------------------------

void CPalaverDoc::LoadSettings()
{
    const std::unique_ptr<QSettings> store = OpenSettingsRoot();
    ReadUserSettings(*store, m_settings);
}

void CPalaverDoc::SaveSettings(int group)
{
    {
        const std::unique_ptr<QSettings> store = OpenSettingsRoot();
        WriteUserSettings(*store, m_settings, group);
    }
    if ((group == SettingsAll || group == SettingsLogin) && m_settings.m_strUserName != m_strUserName &&
        IsLoggedIn()) {
        // Another user is to be remembered: the present one is logged off
        // and the login dialog asks for the new one.
        SaveModified();
        OpenConnection();
        if (ISessionView* view = View())
            view->OpenLoginDialog();
    }
    if (group == SettingsAll || group == SettingsColorFonts) {
        if (ISessionView* view = View())
            view->OnUpdate(1);
    }
}

// --- state -----------------------------------------------------------------

void CPalaverDoc::SetTitle(const QString& title)
{
    if (title == m_strTitle)
        return;
    m_strTitle = title;
    emit TitleChanged(m_strTitle);
}

void CPalaverDoc::SetView(ISessionView* view)
{
    m_pView = view;
    QObject* object = dynamic_cast<QObject*>(view);
    m_pViewObject = object;
    m_bViewIsObject = object != nullptr;
    if (!view) {
        m_hRoot = m_hOnline = m_hOffline = nullptr;
    }
}

ISessionView* CPalaverDoc::View() const
{
    if (m_bViewIsObject && !m_pViewObject)
        return nullptr;
    return m_pView;
}
