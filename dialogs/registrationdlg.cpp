#include "registrationdlg.h"

#include "commands.h"
#include "credential.h"
#include "logindlg.h"
#include "messagebox.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

CRegistrationDlg::CRegistrationDlg(CLoginDlg* pLoginDlg, QWidget* parent)
    : CModalDialog(parent), m_pLoginDlg(pLoginDlg)
{
    setWindowTitle(QStringLiteral("Murmurly Registration"));

    m_editUserName = new QLineEdit(this);
    m_editUserName->setObjectName(QStringLiteral("userName"));
    m_editPassword = new QLineEdit(this);
    m_editPassword->setObjectName(QStringLiteral("password"));
    m_editPassword->setEchoMode(QLineEdit::Password);
    m_editRetype = new QLineEdit(this);
    m_editRetype->setObjectName(QStringLiteral("retype"));
    m_editRetype->setEchoMode(QLineEdit::Password);

    auto* btnRegister = new QPushButton(QStringLiteral("&Register"), this);
    btnRegister->setObjectName(QStringLiteral("register"));
    btnRegister->setDefault(true);
    auto* btnExit = new QPushButton(QStringLiteral("E&xit"), this);
    btnExit->setObjectName(QStringLiteral("exit"));

    // The length note is the label's only; the rule allows 1-14 characters.
    auto* fields = new QGridLayout;
    AddLabelledRow(fields, 0, QStringLiteral("Select a User Name"), m_editUserName);
    AddLabelledRow(fields, 1, QStringLiteral("Select a Password"), m_editPassword);
    fields->addWidget(new QLabel(QStringLiteral("(Max 10 characters)"), this), 2, 1);
    AddLabelledRow(fields, 3, QStringLiteral("Retype Password"), m_editRetype);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnRegister);
    buttons->addWidget(btnExit);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(buttons);

    connect(btnRegister, &QPushButton::clicked, this, &CRegistrationDlg::OnOK);
    connect(btnExit, &QPushButton::clicked, this, &CRegistrationDlg::reject);
}

CRegistrationDlg::~CRegistrationDlg() = default;

void CRegistrationDlg::UpdateData(bool saveAndValidate)
{
    if (saveAndValidate) {
        m_strPassword = m_editPassword->text().toStdString();
        m_strRetype = m_editRetype->text().toStdString();
        m_strUserName = m_editUserName->text().toStdString();
    } else {
        m_editPassword->setText(QString::fromStdString(m_strPassword));
        m_editRetype->setText(QString::fromStdString(m_strRetype));
        m_editUserName->setText(QString::fromStdString(m_strUserName));
    }
}

void CRegistrationDlg::OnOK()
{
    UpdateData(true);

    if (const char* message = PasswordMessage(CheckCredential(m_strPassword, m_strRetype))) {
        ShowMessageBox(QString::fromLatin1(message), MessageButtons::Ok, MessageIcon::Exclamation, this);
        return;
    }
    if (CheckCredential(m_strUserName) != CredentialValid) {
        ShowMessageBox(QString::fromLatin1(kInvalidLoginName), MessageButtons::Ok, MessageIcon::Exclamation,
                       this);
        return;
    }

    m_record.sender = m_strUserName;
    m_record.recipient = m_strPassword;
    m_record.command = Cmd::Register;
    if (m_pLoginDlg)
        m_pLoginDlg->SendRecord(m_record);
}
