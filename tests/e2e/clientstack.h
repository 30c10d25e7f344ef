#pragma once

#include "acceptfrienddlg.h"
#include "addfrienddlg.h"
#include "blockedusersdlg.h"
#include "changepassworddlg.h"
#include "configdir.h"
#include "deletefriendsdlg.h"
#include "logindlg.h"
#include "mainframe.h"
#include "messageboxinterceptor.h"
#include "modalrunner.h"
#include "palaverdoc.h"
#include "palaverview.h"
#include "serverconnection.h"
#include "serverprocess.h"
#include "settingshome.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QPushButton;
class QTreeWidgetItem;

// A server whose database and port outlive the process, so that it can be
// started again where it was.
struct CRestartableServer
{
    CTempDir dir;
    std::unique_ptr<CServerProcess> process;

    // Port 0 for a new one; `extraArgs` follow.
    void Start(uint16_t port, std::vector<std::string> extraArgs = {});
};

// The whole client as start-up builds it (main frame, session, friends list
// view), connected to the real server, with the program's pauses, its
// settings in a scratch folder and every message box answered. The windows
// its session opens go with it. Several may live in one process, each with
// its own session and connection; the settings folder and the current folder
// belong to the process, so the stack made last holds both until it goes.
class CClientStack
{
public:
    // `extraConfig` is appended to the two lines of config.txt; `timing`
    // gives the session's pauses (the reconnect's, say).
    explicit CClientStack(uint16_t port, const QByteArray& extraConfig = {},
                          const CSessionTiming& timing = {});
    ~CClientStack();

    CPalaverDoc& Doc() { return *m_pDoc; }
    CMainFrame& Frame() { return *m_pFrame; }
    CPalaverView& View() { return *m_pView; }
    CMessageBoxInterceptor& Boxes() { return m_boxes; }

    // Runs the command as the menu would; `driver` runs inside the modal
    // loop of whatever dialog the command opens. A dialog still running
    // after 15 s is cancelled, so a failed step never hangs the test.
    void RunCommand(int id, const std::function<void()>& driver = {});

    // Change User / Login by hand: types into the login dialog and presses
    // Login; true once the session is logged in.
    bool LoginByHand(const std::string& name, const std::string& password, bool remember = false,
                     bool autoLogin = false);
    // Opens the registration dialog from the login dialog, registers, then
    // logs in by hand in the same login dialog; `beforeEach` runs inside the
    // login dialog before each of the two.
    bool RegisterAndLogin(const std::string& name, const std::string& password,
                          const std::function<void()>& beforeEach = {});

    QTreeWidgetItem* FindItem(const QString& text) const;
    // The names under the online or offline group, in order.
    QStringList Group(bool online) const;
    QString GroupCaption(bool online) const;

    static QPushButton* Button(QWidget* dialog, const char* objectName);
    static void Type(QWidget* dialog, const char* objectName, const std::string& text);

private:
    CSettingsHome m_home;
    CConfigDir m_config;
    CMessageBoxInterceptor m_boxes;
    std::unique_ptr<CPalaverDoc> m_pDoc;
    std::unique_ptr<CMainFrame> m_pFrame;
    CPalaverView* m_pView = nullptr;
};
