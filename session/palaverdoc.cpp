#include "palaverdoc.h"

#include "clientsocket.h"
#include "commands.h"
#include "config.h"
#include "secretstore.h"
#include "wire.h"

#include <QSettings>

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

namespace {

QString NotLoggedIn()
{
    return QStringLiteral("Not logged in");
}

CSessionTiming WithConnection(const CConnectionTiming& connection)
{
    CSessionTiming timing;
    timing.connection = connection;
    return timing;
}

} // namespace

CPalaverDoc::CPalaverDoc(const CConnectionTiming& timing, QObject* parent)
    : CPalaverDoc(WithConnection(timing), parent)
{
}

CPalaverDoc::CPalaverDoc(const CSessionTiming& timing, QObject* parent)
    : QObject(parent), m_logoffPause(timing.logoffPause), m_connection(*this, timing.connection),
      m_outbox(m_connection, m_history), m_strTitle(NotLoggedIn()), m_reconnector(timing.reconnect)
{
    connect(&m_connection, &CServerConnection::ConfigurationMissing, this, [this](const QString& text) {
        // The attempts after a loss tell it once; they go on, so a mended
        // file is read at the next one.
        if (m_bReconnectAttempt && std::exchange(m_bConfigProblemTold, true))
            return;
        Tell(text, NoticeKind::Error);
    });
    connect(&m_connection, &CServerConnection::ConnectedChanged, this, [this](bool connected) {
        emit ConnectionChanged(connected);
        emit StateChanged();
    });
    connect(&m_reconnector, &CReconnector::Attempt, this, &CPalaverDoc::OnReconnectAttempt);
    // The status bar counts the pause down by the second.
    m_countdown.setInterval(std::chrono::seconds(1));
    connect(&m_countdown, &QTimer::timeout, this, &CPalaverDoc::ShowCountdown);
    connect(&m_reconnector, &CReconnector::Scheduled, this, [this] {
        ShowCountdown();
        m_countdown.start();
    });
    connect(&m_connection, &CServerConnection::ConnectFinished, this,
            &CPalaverDoc::OnReconnectConnectFinished);
}

CPalaverDoc::~CPalaverDoc() = default;

// --- document life -----------------------------------------------------

bool CPalaverDoc::OnNewDocument()
{
    SetTitle(NotLoggedIn());
    LoadSettings();
    if (!m_connection.IsConnected() && !m_connection.IsConnecting())
        m_bFirstConnect = OpenConnection();
    return true;
}

bool CPalaverDoc::SaveModified()
{
    // Whoever else logs off (Disconnect, Change User, Exit) means it.
    if (!m_bLoggingOffForReconnect && (m_reconnector.IsActive() || m_bRelogin))
        EndReconnect(QString());
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
    // A connection the user asks for (Login, say) takes over from the
    // reconnect's countdown. One that only waits for the server to be
    // reachable counts it as its next attempt, and goes on should it fail.
    const bool userAttempt = !m_bReconnectAttempt && IsWaitingForServer();
    if (userAttempt) {
        m_reconnector.Pause();
        m_countdown.stop();
        m_bReconnectAttempt = true;
        emit StatusTextChanged(QStringLiteral("Connecting\u2026"));
    } else if (!m_bReconnectAttempt && (m_reconnector.IsActive() || m_bRelogin)) {
        EndReconnect(QString());
    }
    std::unique_ptr<CClientSocket> socket;
    try {
        socket = std::make_unique<CClientSocket>(&m_connection);
    } catch (const std::bad_alloc&) {
    }
    const bool created = socket && socket->Create();
    // The previous socket is gone: until the new one connects nothing is
    // connected, and the Login command must know to try again.
    m_connection.SetSocket(std::move(socket));
    const bool started = created && m_connection.Connect();
    // No ConnectFinished will come: the series goes on from here.
    if (!started && userAttempt && m_bReconnectAttempt) {
        m_bReconnectAttempt = false;
        m_reconnector.Failed();
    }
    if (!created)
        Notify(QStringLiteral("Could not create socket"));
    return started;
}

void CPalaverDoc::CloseConnection()
{
    m_connection.DeleteSocket();
    ClearFriendsTree();
    SetTitle(NotLoggedIn());
}

void CPalaverDoc::OnConnectionLost()
{
    if (ShouldReconnect()) {
        // The countdown must not wait for the box: the state after the loss
        // comes first, and the box (modal, its loop runs the timer) after it.
        // A failed attempt was told already and goes without a box.
        const bool first = !m_reconnector.IsActive();
        m_connection.SetConnected(0);
        LogoffForReconnect();
        CloseConnection();
        emit AnswersLost();
        if (first)
            Notify(LostText());
        return;
    }
    Notify(LostText());
    // The socket is closed already: the log-off must not try to send on it.
    m_connection.SetConnected(0);
    SaveModified();
    CloseConnection();
    // A dialog that sent its record and hid itself waits for an answer that
    // can no longer come; left hidden, its modal run would hold the program
    // with nothing on screen. Shown again, the user can retry or leave it.
    emit AnswersLost();
}

QString CPalaverDoc::LostText() const
{
    const QString reason = m_connection.LostReason();
    const QString lost = QStringLiteral("Connection to server lost");
    return reason.isEmpty() ? lost : lost + QStringLiteral("\n\n") + reason;
}

// --- getting a lost session back ------------------------------------------

bool CPalaverDoc::ShouldReconnect() const
{
    const CUserSettings& s = m_settings;
    if (!s.m_nRememberLogin || !s.m_nAutoLogin || s.m_strUserName.empty() || s.m_strPassword.empty())
        return false;
    if (m_reconnector.IsActive())
        return true;
    return IsLoggedIn() && s.m_strUserName == m_strUserName;
}

void CPalaverDoc::LogoffForReconnect()
{
    const bool going = m_reconnector.IsActive();
    if (m_bRelogin) {
        m_bRelogin = false;
        EndLogin();
    }
    // The conversation windows stay open and are found again by their
    // correspondents once the same user is back.
    const std::vector<QPointer<QObject>> windows = m_speakWindows;
    m_bLoggingOffForReconnect = true;
    SaveModified();
    m_bLoggingOffForReconnect = false;
    m_speakWindows = windows;
    m_bConnectOnly = false;
    if (going) {
        m_reconnector.Failed();
    } else {
        m_bConfigProblemTold = false;
        m_reconnector.Start();
    }
}

void CPalaverDoc::OnReconnectAttempt()
{
    m_countdown.stop();
    emit StatusTextChanged(m_bConnectOnly ? QStringLiteral("Connecting\u2026")
                                          : QStringLiteral("Reconnecting\u2026"));
    m_bReconnectAttempt = true;
    // The answer comes as ConnectFinished, which clears the flag; a connect
    // that could not even start counts as a failed attempt.
    if (!OpenConnection() && m_bReconnectAttempt) {
        m_bReconnectAttempt = false;
        m_reconnector.Failed();
    }
}

void CPalaverDoc::OnReconnectConnectFinished(bool connected)
{
    // A server that start-up could not reach is tried again as after a
    // loss; the login dialog sends once it is reached.
    if (std::exchange(m_bFirstConnect, false) && !connected && !m_reconnector.IsActive() &&
        !m_connection.CertificateRefused()) {
        m_bConnectOnly = true;
        m_bConfigProblemTold = false;
        m_reconnector.Start();
        return;
    }
    if (!m_bReconnectAttempt)
        return;
    m_bReconnectAttempt = false;
    if (!m_reconnector.IsActive() || m_bRelogin || IsLoggedIn())
        return;
    if (!connected && m_connection.CertificateRefused()) {
        // The user said no to the server's certificate: asking again at
        // every attempt would not change that.
        EndReconnect(QString());
        return;
    }
    if (!connected) {
        m_reconnector.Failed();
        return;
    }
    if (m_bConnectOnly)
        EndReconnect(QString());
    else
        SendRememberedLogin();
}

void CPalaverDoc::SendRememberedLogin()
{
    // The login that start-up makes from the remembered settings; the
    // answers complete it as they complete a dialog's.
    m_login = CLoginRequest{m_settings.m_strUserName, m_settings.m_strPassword, m_settings.m_nRememberLogin,
                            m_settings.m_nAutoLogin};
    m_bLoginWaiting = true;
    m_bRelogin = true;
    CNetMessage msg;
    msg.sender = m_login.userName;
    msg.recipient = m_login.password;
    msg.command = Cmd::Login;
    msg.names = {m_login.userName, m_login.password, Cmd::Login};
    if (!m_connection.SendUnpaced(msg)) {
        m_bRelogin = false;
        EndLogin();
        m_reconnector.Failed();
    }
}

void CPalaverDoc::EndReconnect(const QString& status)
{
    const bool wasRelogin = m_bRelogin;
    m_reconnector.Stop();
    m_countdown.stop();
    m_bConnectOnly = false;
    m_bReconnectAttempt = false;
    m_bRelogin = false;
    if (wasRelogin)
        EndLogin();
    emit StatusTextChanged(status);
}

// --- the user's lines -------------------------------------------------------

CSentLine CPalaverDoc::SendLine(CNetMessage line)
{
    // The lines go from the user of the session, whatever name the window
    // shows; before any login only the window knows who that is.
    const std::string owner = m_strUserName.empty() ? line.sender : m_strUserName;
    line.command = Cmd::Message;
    line.sender = owner;
    line.names = {COutbox::NewId()};
    // A record the server would refuse could never leave the outbox.
    if (OversizedString(line) != 0)
        return {};
    KeepLine(line, line.recipient);
    m_outbox.SetOwner(owner);
    CSentLine sent{line.names.front()};
    sent.state = m_outbox.Add(std::move(line));
    return sent;
}

// --- answers the dialogs wait for ------------------------------------------

void CPalaverDoc::BeginLogin(const CLoginRequest& request)
{
    // A login by hand takes over from a reconnect that may be waiting.
    if (m_reconnector.IsActive() || m_bRelogin)
        EndReconnect(QString());
    m_login = request;
    m_bLoginWaiting = true;
}

void CPalaverDoc::EndLogin()
{
    m_bLoginWaiting = false;
    m_login = CLoginRequest{};
}

void CPalaverDoc::BeginPasswordChange(const std::string& newPassword)
{
    m_strNewPassword = newPassword;
    m_bPasswordChangeWaiting = true;
}

void CPalaverDoc::SetLoggedIn(int loggedIn)
{
    if (m_bLoggedIn == loggedIn)
        return;
    m_bLoggedIn = loggedIn;
    if (!loggedIn)
        m_outbox.OnLoggedOff();
    emit StateChanged();
}

// --- conversation windows ----------------------------------------------

std::vector<QObject*> CPalaverDoc::SpeakWindows() const
{
    std::vector<QObject*> open;
    for (const QPointer<QObject>& window : m_speakWindows) {
        if (window)
            open.push_back(window);
    }
    return open;
}

void CPalaverDoc::AddSpeakWindow(QObject* window)
{
    if (window)
        m_speakWindows.emplace_back(window);
}

void CPalaverDoc::RemoveSpeakWindow(QObject* window)
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
    ReadKeptPassword(*store, m_settings);
    m_history.LoadSettings();
}

void CPalaverDoc::SaveSettings(int group)
{
    {
        const std::unique_ptr<QSettings> store = OpenSettingsRoot();
        WriteUserSettings(*store, m_settings, group);
        if (group == SettingsAll || group == SettingsLogin)
            KeepPassword(*store, m_settings);
    }
    if ((group == SettingsAll || group == SettingsLogin) && m_settings.m_strUserName != m_strUserName &&
        IsLoggedIn()) {
        // Another user is to be remembered: the present one is logged off
        // and the login dialog asks for the new one.
        SaveModified();
        OpenConnection();
        emit ChangeUserWanted();
    }
    if (group == SettingsAll || group == SettingsColorFonts)
        emit ColorsChanged();
}

// --- state -----------------------------------------------------------------

void CPalaverDoc::Notify(const QString& text)
{
    Tell(text, NoticeKind::Warning);
}

void CPalaverDoc::Tell(const QString& text, NoticeKind kind)
{
    // The user may be typing while the session comes back by itself.
    if (m_reconnector.IsActive() || m_bRelogin)
        emit QuietNoticeWanted(text, kind);
    else
        emit MessageBoxWanted(text, kind);
}

void CPalaverDoc::ShowCountdown()
{
    const long long seconds = std::max<long long>(1, (m_reconnector.Remaining().count() + 999) / 1000);
    emit StatusTextChanged((m_bConnectOnly
                                ? QStringLiteral("Cannot reach the server. Trying again in %1 s\u2026")
                                : QStringLiteral("Reconnecting in %1 s\u2026"))
                               .arg(seconds));
}

void CPalaverDoc::SetTitle(const QString& title)
{
    if (title == m_strTitle)
        return;
    m_strTitle = title;
    emit TitleChanged(m_strTitle);
}
