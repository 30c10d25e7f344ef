#include "palaverdoc.h"

#include "clientsocket.h"
#include "messagebox.h"

#include <memory>
#include <new>

namespace {

QString NotLoggedIn()
{
    return QStringLiteral("Not logged in");
}

} // namespace

CPalaverDoc::CPalaverDoc(const CConnectionTiming& timing, QObject* parent)
    : QObject(parent), m_connection(*this, timing), m_strTitle(NotLoggedIn())
{
}

CPalaverDoc::~CPalaverDoc() = default;

bool CPalaverDoc::OnNewDocument()
{
    SetTitle(NotLoggedIn());
    if (!g_bConnected)
        OpenConnection();
    return true;
}

bool CPalaverDoc::OpenConnection()
{
    std::unique_ptr<CClientSocket> socket;
    try {
        socket = std::make_unique<CClientSocket>(&m_connection);
    } catch (const std::bad_alloc&) {
    }
    const bool created = socket && socket->Create();
    m_connection.SetSocket(std::move(socket));
    if (!created) {
        ShowMessageBox(QStringLiteral("Could not create socket"));
        return false;
    }
    if (!m_connection.Connect())
        return false;
    g_bConnected = 1;
    emit ConnectionChanged(true);
    return true;
}

void CPalaverDoc::CloseConnection()
{
    m_connection.DeleteSocket();
    g_bConnected = 0;
    SetTitle(NotLoggedIn());
    emit ConnectionChanged(false);
}

void CPalaverDoc::OnConnectionLost()
{
    ShowMessageBox(QStringLiteral("Connection to server lost"));
    m_connection.SetConnected(0);
    CloseConnection();
}

void CPalaverDoc::SetTitle(const QString& title)
{
    if (title == m_strTitle)
        return;
    m_strTitle = title;
    emit TitleChanged(m_strTitle);
}
