#pragma once

#include "blockedusersdlg.h"
#include "commands.h"
#include "configdir.h"
#include "connectwait.h"
#include "fakeserver.h"
#include "friendstree.h"
#include "logindlg.h"
#include "mainframe.h"
#include "messageboxinterceptor.h"
#include "modaldialog.h"
#include "modalrunner.h"
#include "netmessage.h"
#include "palaverdoc.h"
#include "palaverview.h"
#include "preferences.h"
#include "serverconnection.h"
#include "sessionfixture.h"
#include "sessionprompts.h"
#include "settingshome.h"
#include "waits.h"

#include <QAction>
#include <QTimer>
#include <QTreeWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace std::chrono_literals;

CNetMessage Record(const char* command, std::string sender = {}, std::string recipient = {},
                   std::vector<std::string> names = {});

// The client as start-up builds it (main frame, session, friends list view),
// against a fake server, with every message box answered and the settings in
// a scratch folder. Members go in reverse order: the frame before the session.
struct CShellFixture
{
    CSettingsHome home;
    CConfigDir config;
    CFakeServer server;
    CMessageBoxInterceptor boxes;
    std::unique_ptr<CPalaverDoc> doc;
    std::unique_ptr<CMainFrame> frame;
    CPalaverView* view = nullptr;

    // connect: config.txt names the fake server; otherwise a port where
    // nothing listens. `prepare` runs before the session starts (to store
    // settings, for instance).
    explicit CShellFixture(bool connect = true, const std::function<void()>& prepare = {});
    ~CShellFixture();

    // The client quits and starts again on the same folders and server, as
    // when the user ends the program and opens it once more.
    void Restart();

    // Logs `name` in through the fake server with `friends` as the list.
    bool LogIn(const std::string& name, std::vector<std::string> friends = {}, bool receipts = false);

    // Ends with Cancel each login dialog the session runs from now on, once
    // it is in view; `shown` counts them. The dialog may open later, once a
    // connection is made, and inside any loop.
    std::unique_ptr<QTimer> CancelLoginDialogs(int& shown);

    QAction* Action(int id) const { return frame->Action(id); }

    void Start(bool connect);

    QTreeWidgetItem* FindItem(const QString& text) const;
};
