#include "sessionfixture.h"

#include "commands.h"
#include "connectwait.h"
#include "offlinemessageswnd.h"
#include "sessionprompts.h"
#include "speakwindowframe.h"
#include "waits.h"

#include <QApplication>

using namespace std::chrono_literals;

CSessionTiming ZeroPauses()
{
    CSessionTiming timing;
    timing.connection = CConnectionTiming{0ms, 0ms, 5000ms};
    timing.logoffPause = 0ms;
    return timing;
}

bool NothingSentBefore(CPalaverDoc& doc, CFakeServer& server)
{
    if (!doc.Connection().IsConnected())
        return server.ExpectNoRecord();
    CNetMessage probe;
    probe.command = Cmd::BlockedList;
    probe.sender = "probe";
    if (!doc.Connection().Send(probe))
        return false;
    const std::optional<CNetMessage> next = server.Expect(Cmd::BlockedList);
    return next && next->sender == "probe";
}

bool LogInAs(CPalaverDoc& doc, CFakeServer& server, const std::string& name, std::vector<std::string> friends,
             const std::string& password, bool receipts)
{
    CFakeLoginDlg login(name, password);
    login.AwaitAnswer(doc);
    CNetMessage accepted;
    accepted.command = Cmd::LoginAccepted;
    accepted.recipient = name;
    if (receipts)
        accepted.names = {"receipts"};
    bool ok = server.Inject(accepted) && server.Expect(Cmd::FriendsList).has_value();
    if (ok) {
        CNetMessage list;
        list.command = Cmd::FriendsListAnswer;
        list.recipient = name;
        list.names = std::move(friends);
        ok = server.Inject(list) && server.Expect(Cmd::LoginComplete).has_value();
    }
    ok = ok && WaitUntil([&] { return doc.IsLoggedIn(); });
    login.StopAwaiting();
    return ok && doc.UserName() == name;
}

void DeleteWindowsOf(const CPalaverDoc& doc)
{
    QList<QPointer<QWidget>> opened;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        auto* speak = qobject_cast<CSpeakWindowFrame*>(window);
        auto* offline = qobject_cast<COfflineMessagesFrameWnd*>(window);
        if ((speak && speak->Document() == &doc) || (offline && offline->Document() == &doc))
            opened.append(window);
    }
    for (const QPointer<QWidget>& window : opened)
        delete window.data();
}

CSessionFixture::CSessionFixture()
{
    config.WriteConfig("127.0.0.1", server.Port());
    doc = std::make_unique<CPalaverDoc>(ZeroPauses());
    ConnectSessionPrompts(*doc);
    doc->OnNewDocument();
    WaitForConnect(doc->Connection());
    server.WaitForClient();
}

CSessionFixture::~CSessionFixture()
{
    if (doc)
        DeleteWindowsOf(*doc);
    doc.reset();
}
