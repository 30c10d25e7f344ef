// The shell tests' fixture, compiled once for every test that uses it.
#include "shellfixture.h"

CNetMessage Record(const char* command, std::string sender, std::string recipient, std::vector<std::string> names)
{
    CNetMessage msg;
    msg.command = command;
    msg.sender = std::move(sender);
    msg.recipient = std::move(recipient);
    msg.names = std::move(names);
    return msg;
}

CShellFixture::CShellFixture(bool connect, const std::function<void()>& prepare)
{
    if (prepare)
        prepare();
    if (connect) {
        config.WriteConfig("127.0.0.1", server.Port());
    } else {
        CFakeServer closed;
        config.WriteConfig("127.0.0.1", closed.Port());
    }
    Start(connect);
}

void CShellFixture::Restart()
{
    DeleteWindowsOf(*doc);
    frame.reset();
    doc.reset();
    Start(true);
}

CShellFixture::~CShellFixture()
{
    if (doc)
        DeleteWindowsOf(*doc);
    frame.reset();
    doc.reset();
}

bool CShellFixture::LogIn(const std::string& name, std::vector<std::string> friends, bool receipts)
{
    return LogInAs(*doc, server, name, std::move(friends), "pw", receipts);
}

std::unique_ptr<QTimer> CShellFixture::CancelLoginDialogs(int& shown)
{
    auto poll = std::make_unique<QTimer>();
    QObject::connect(poll.get(), &QTimer::timeout, [&shown] {
        CModalDialog* login = RunningDialog<CLoginDlg>();
        if (login && login->IsRunning() && login->isVisible()) {
            ++shown;
            login->EndDialog(IDCANCEL);
        }
    });
    poll->start(10);
    return poll;
}

void CShellFixture::Start(bool connect)
{
    const int accepted = server.AcceptedCount();
    doc = std::make_unique<CPalaverDoc>(ZeroPauses());
    ConnectSessionPrompts(*doc);
    frame = std::make_unique<CMainFrame>();
    view = frame->CreateChild(*doc);
    doc->OnNewDocument();
    view->OnInitialUpdate();
    WaitForConnect(doc->Connection());
    if (connect)
        WaitUntil([&] { return server.AcceptedCount() > accepted && server.HasClient(); });
}

QTreeWidgetItem* CShellFixture::FindItem(const QString& text) const
{
    const auto found = view->TreeControl()->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
}
