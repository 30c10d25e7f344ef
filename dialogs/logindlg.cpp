#include "logindlg.h"

#include "commands.h"
#include "credential.h"
#include "messagebox.h"
#include "netmessage.h"
#include "palaverdoc.h"
#include "registrationdlg.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <chrono>
#include <memory>

CLoginDlg::CLoginDlg(CPalaverDoc* pDoc, QWidget* parent) : CLoginDlgBase(parent), m_pDoc(pDoc)
{
    setWindowTitle(QStringLiteral("Murmurly"));

    m_editUserName = new QLineEdit(this);
    m_editUserName->setObjectName(QStringLiteral("userName"));
    m_editPassword = new QLineEdit(this);
    m_editPassword->setObjectName(QStringLiteral("password"));
    m_editPassword->setEchoMode(QLineEdit::Password);
    auto* labelUserName = new QLabel(QStringLiteral("&User Name"), this);
    labelUserName->setBuddy(m_editUserName);
    auto* labelPassword = new QLabel(QStringLiteral("&Password"), this);
    labelPassword->setBuddy(m_editPassword);

    m_checkRemember = new QCheckBox(QStringLiteral("&Remember My ID and Password"), this);
    m_checkRemember->setObjectName(QStringLiteral("remember"));
    m_checkAutoLogin = new QCheckBox(QStringLiteral("&Automatically Login"), this);
    m_checkAutoLogin->setObjectName(QStringLiteral("autoLogin"));

    m_btnLogin = new QPushButton(QStringLiteral("&Login"), this);
    m_btnLogin->setObjectName(QStringLiteral("login"));
    m_btnLogin->setDefault(true);
    auto* btnExit = new QPushButton(QStringLiteral("E&xit"), this);
    btnExit->setObjectName(QStringLiteral("exit"));
    auto* btnRegister = new QPushButton(QStringLiteral("Register with Murmurly"), this);
    btnRegister->setObjectName(QStringLiteral("register"));

    auto* fields = new QGridLayout;
    fields->addWidget(labelUserName, 0, 0);
    fields->addWidget(m_editUserName, 0, 1);
    fields->addWidget(labelPassword, 1, 0);
    fields->addWidget(m_editPassword, 1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_btnLogin);
    buttons->addWidget(btnExit);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(m_checkRemember);
    layout->addWidget(m_checkAutoLogin);
    layout->addLayout(buttons);
    layout->addSpacing(8);
    layout->addWidget(new QLabel(QStringLiteral("Not a User yet?"), this));
    layout->addWidget(btnRegister);

    connect(m_btnLogin, &QPushButton::clicked, this, &CLoginDlg::OnOK);
    connect(btnExit, &QPushButton::clicked, this, &CLoginDlg::reject);
    connect(btnRegister, &QPushButton::clicked, this, &CLoginDlg::OnRegister);
    connect(m_editUserName, &QLineEdit::textChanged, this, &CLoginDlg::OnChangeUserName);
}

CLoginDlg::~CLoginDlg() = default;

CModalDialog* CLoginDlg::RegistrationDialog() const
{
    return m_pRegistrationDlg.data();
}

void CLoginDlg::UpdateData(bool saveAndValidate)
{
    if (saveAndValidate) {
        m_strUserName = m_editUserName->text().toStdString();
        m_strPassword = m_editPassword->text().toStdString();
        m_bAutoLogin = m_checkAutoLogin->isChecked() ? 1 : 0;
        m_bRemember = m_checkRemember->isChecked() ? 1 : 0;
    } else {
        m_editUserName->setText(QString::fromStdString(m_strUserName));
        m_editPassword->setText(QString::fromStdString(m_strPassword));
        m_checkAutoLogin->setChecked(m_bAutoLogin != 0);
        m_checkRemember->setChecked(m_bRemember != 0);
    }
}

void CLoginDlg::OnInitDialog()
{
    const CUserSettings settings = m_pDoc->Settings();
    m_bRemember = settings.m_nRememberLogin;
    m_bAutoLogin = settings.m_nAutoLogin;
    m_strUserName = settings.m_strUserName;
    m_strPassword = settings.m_strPassword;
    UpdateData(false);

    // Logging in by itself: the dialog is shown afterwards all the same, with
    // Login disabled while the answer is awaited.
    if (m_bAutoLogin && m_bAutoLoginAllowed) {
        m_btnLogin->setEnabled(false);
        if (!SendLogin(true))
            m_btnLogin->setEnabled(true);
    }
}

bool CLoginDlg::SendRecord(const CNetMessage& msg)
{
    return m_pDoc->Connection().SendUnpaced(msg);
}

void CLoginDlg::OnOK()
{
    // A login that did not go out leaves an ordinary dialog, even when it was
    // the automatic one.
    if (!SendLogin(false))
        m_btnLogin->setEnabled(true);
}

void CLoginDlg::SendWhenConnected(std::shared_ptr<const CNetMessage> msg, bool patient,
                                  std::function<void(bool sent)> done)
{
    // The latest request is the one that counts.
    disconnect(m_waitForConnection);
    CPalaverDoc* doc = m_pDoc;
    if (doc->IsConnected()) {
        done(SendRecord(*msg));
        return;
    }
    // Queued: the record goes from the event loop, after the session has
    // taken in the new connection, not inside the socket's signal.
    const auto queued = static_cast<Qt::ConnectionType>(Qt::QueuedConnection | Qt::SingleShotConnection);
    if (patient && (doc->IsWaitingForServer() || doc->Connection().IsConnecting())) {
        m_waitForConnection = connect(
            doc, &CPalaverDoc::ConnectionChanged, this,
            [this, msg, done](bool connected) {
                if (!connected)
                    return;
                disconnect(m_waitForConnection);
                done(SendRecord(*msg));
            },
            Qt::QueuedConnection);
        return;
    }
    // Whatever closed the last connection (the server's login time-out, a
    // restart, Disconnect), the user's request gets a new one.
    if (!doc->Connection().IsConnecting() && !doc->OpenConnection()) {
        done(false);
        return;
    }
    m_waitForConnection = connect(
        &doc->Connection(), &CServerConnection::ConnectFinished, this,
        [this, msg, done](bool) { done(SendRecord(*msg)); }, queued);
}

void CLoginDlg::ShowAgain()
{
    m_btnLogin->setEnabled(true);
    show();
}

bool CLoginDlg::SendLogin(bool automatic)
{
    UpdateData(true);

    if (const char* message = PasswordMessage(CheckCredential(m_strPassword))) {
        ShowMessageBox(QString::fromLatin1(message), MessageButtons::Ok, MessageIcon::Exclamation, this);
        return false;
    }
    if (CheckCredential(m_strUserName) != CredentialValid) {
        ShowMessageBox(QString::fromLatin1(kInvalidLoginName), MessageButtons::Ok, MessageIcon::Exclamation,
                       this);
        return false;
    }

    // A login in force is ended first, on a fresh connection.
    if (m_pDoc->IsLoggedIn()) {
        m_pDoc->SaveModified();
        m_pDoc->CloseConnection();
        m_pDoc->OpenConnection();
    }

    // Held by pointer: a copy of a record leaves its names behind.
    auto msg = std::make_shared<CNetMessage>();
    msg->sender = m_strUserName;
    msg->recipient = m_strPassword;
    msg->command = Cmd::Login;
    msg->names = {m_strUserName, m_strPassword, Cmd::Login};

    if (m_pDoc->IsConnected())
        return AfterSend(SendRecord(*msg), automatic);
    // The connection may still be under way, or gone: the record goes once
    // one is made, and a connect that fails is told as a record that could
    // not go. Login stays disabled meanwhile.
    m_btnLogin->setEnabled(false);
    SendWhenConnected(msg, automatic, [this, automatic](bool sent) { AfterSend(sent, automatic); });
    return true;
}

bool CLoginDlg::AfterSend(bool sent, bool automatic)
{
    // Hidden, the dialog waits for the session; a record that never left
    // would leave it waiting for good behind its own modal run, so it stays
    // in view and says why.
    if (!sent) {
        ShowMessageBox(QStringLiteral("Not connected to Server"), MessageButtons::Ok,
                       MessageIcon::Exclamation, this);
        m_btnLogin->setEnabled(true);
        return false;
    }
    AwaitAnswer(*m_pDoc);
    // The automatic login waits in view.
    if (!automatic)
        hide();
    return true;
}

void CLoginDlg::OnChangeUserName()
{
    m_btnLogin->setEnabled(true);
}

void CLoginDlg::OnRegister()
{
    const QPointer<CLoginDlg> alive(this);
    const QPointer<CPalaverDoc> doc(m_pDoc);
    auto dialog = std::make_unique<CRegistrationDlg>(this);
    m_pRegistrationDlg = dialog.get();
    connect(doc, &CPalaverDoc::Registered, dialog.get(), &CModalDialog::EndWithMessage);
    connect(doc, &CPalaverDoc::AnswersLost, dialog.get(), &CModalDialog::ShowIfWaiting);
    doc->BeginRegistration();
    dialog->RunModal();
    if (doc)
        doc->EndRegistration();
    if (!alive)
        return;
    m_pRegistrationDlg = nullptr;
}
