#include "clientstack.h"

#include "commandids.h"
#include "connectwait.h"
#include "logindlg.h"
#include "sessionfixture.h"
#include "sessionprompts.h"
#include "waits.h"

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

using namespace std::chrono_literals;

void CRestartableServer::Start(uint16_t port, std::vector<std::string> extraArgs)
{
    // Fast hashing is a property of a new database only.
    std::vector<std::string> args{"--address",          "127.0.0.1", "--port",
                                  std::to_string(port), "--db",      (dir.Path() / "server.db").string()};
    if (port == 0)
        args.emplace_back("--fast-hash");
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    process = std::make_unique<CServerProcess>(dir.Path(), std::move(args));
}

CClientStack::CClientStack(uint16_t port, const QByteArray& extraConfig, const CSessionTiming& timing)
{
    m_config.WriteConfig(CConfigDir::ConfigText("127.0.0.1", port) + extraConfig);
    m_pDoc = std::make_unique<CPalaverDoc>(timing);
    ConnectSessionPrompts(*m_pDoc);
    m_pFrame = std::make_unique<CMainFrame>();
    m_pView = m_pFrame->CreateChild(*m_pDoc);
    m_pDoc->OnNewDocument();
    WaitForConnect(m_pDoc->Connection());
    m_pView->OnInitialUpdate();
    m_pView->SetAcceptAnswerPause(0ms);
    m_pFrame->show();
}

CClientStack::~CClientStack()
{
    // The windows the session opened by itself (a conversation an incoming
    // message opened, the offline messages) own themselves and go only when
    // closed; here they go with the session, before it. A friend request's
    // dialog goes with the main frame. Another stack's windows stay.
    DeleteWindowsOf(*m_pDoc);
    // Closing logs off, as the program does at its end.
    m_pFrame->close();
    m_pFrame.reset();
    m_pDoc.reset();
}

void CClientStack::RunCommand(int id, const std::function<void()>& driver)
{
    // A connection still being made (after Disconnect, say) is waited for,
    // so that the command's dialog opens inside this call.
    if (m_pDoc->Connection().IsConnecting())
        WaitForConnect(m_pDoc->Connection());
    if (driver)
        QTimer::singleShot(0, m_pFrame.get(), driver);
    // The guard: whatever modal dialog is still up then is cancelled.
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] {
        if (auto* dialog = qobject_cast<CModalDialog*>(QApplication::activeModalWidget()))
            dialog->EndDialog(IDCANCEL);
        for (QWidget* window : QApplication::topLevelWidgets())
            if (auto* dialog = qobject_cast<CModalDialog*>(window); dialog && dialog->IsRunning())
                dialog->EndDialog(IDCANCEL);
    });
    guard.start(15s);
    m_pFrame->ExecuteCommand(id);
}

QPushButton* CClientStack::Button(QWidget* dialog, const char* objectName)
{
    return dialog ? dialog->findChild<QPushButton*>(QString::fromLatin1(objectName)) : nullptr;
}

void CClientStack::Type(QWidget* dialog, const char* objectName, const std::string& text)
{
    if (auto* box = dialog->findChild<QLineEdit*>(QString::fromLatin1(objectName))) {
        box->clear();
        box->insert(QString::fromStdString(text));
    }
}

namespace {

void FillLogin(QWidget* login, const std::string& name, const std::string& password, bool remember,
               bool autoLogin)
{
    CClientStack::Type(login, "userName", name);
    CClientStack::Type(login, "password", password);
    login->findChild<QCheckBox*>(QStringLiteral("remember"))->setChecked(remember);
    login->findChild<QCheckBox*>(QStringLiteral("autoLogin"))->setChecked(autoLogin);
    CClientStack::Button(login, "login")->click();
}

} // namespace

bool CClientStack::LoginByHand(const std::string& name, const std::string& password, bool remember,
                               bool autoLogin)
{
    RunCommand(ID_FILE_CHANGEUSER, [=, this] {
        CLoginDlg* login = RunningDialog<CLoginDlg>();
        if (!WaitUntil([&] { return login && login->isVisible(); }))
            return;
        FillLogin(login, name, password, remember, autoLogin);
    });
    return WaitUntil([&] { return m_pDoc->IsLoggedIn() && m_pDoc->UserName() == name; });
}

bool CClientStack::RegisterAndLogin(const std::string& name, const std::string& password,
                                    const std::function<void()>& beforeEach)
{
    RunCommand(ID_FILE_CHANGEUSER, [=, this] {
        QPointer<CLoginDlg> login = RunningDialog<CLoginDlg>();
        if (!WaitUntil([&] { return login && login->isVisible(); }))
            return;
        // The registration dialog runs modally inside the click; this part
        // runs inside its loop.
        if (beforeEach)
            beforeEach();
        QTimer::singleShot(0, login, [=, this] {
            CModalDialog* registration = nullptr;
            if (!WaitUntil([&] {
                    return (registration = login->RegistrationDialog()) && registration->isVisible();
                }))
                return;
            Type(registration, "userName", name);
            Type(registration, "password", password);
            Type(registration, "retype", password);
            const int before = m_boxes.Count();
            Button(registration, "register")->click();
            // The session ends it on "SR" and says so.
            WaitUntil([&] { return m_boxes.Count() > before && login->RegistrationDialog() == nullptr; });
        });
        Button(login, "register")->click();
        if (login && beforeEach)
            beforeEach();
        if (login)
            FillLogin(login, name, password, false, false);
    });
    return WaitUntil([&] { return m_pDoc->IsLoggedIn() && m_pDoc->UserName() == name; });
}

QTreeWidgetItem* CClientStack::FindItem(const QString& text) const
{
    const auto found = m_pView->TreeControl()->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? nullptr : found.first();
}

QStringList CClientStack::Group(bool online) const
{
    QStringList names;
    QTreeWidgetItem* root = m_pView->TreeControl()->topLevelItem(0);
    if (!root || root->childCount() < 2)
        return names;
    QTreeWidgetItem* group = root->child(online ? 0 : 1);
    for (int i = 0; i < group->childCount(); ++i)
        names.append(group->child(i)->text(0));
    return names;
}

QString CClientStack::GroupCaption(bool online) const
{
    QTreeWidgetItem* root = m_pView->TreeControl()->topLevelItem(0);
    return root && root->childCount() >= 2 ? root->child(online ? 0 : 1)->text(0) : QString();
}
