#include "changepassworddlg.h"

#include "commands.h"
#include "credential.h"
#include "messagebox.h"
#include "netmessage.h"
#include "palaverdoc.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

QLineEdit* NewPasswordEdit(QWidget* parent, const char* name)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setEchoMode(QLineEdit::Password);
    return edit;
}

} // namespace

CChangePasswordDlg::CChangePasswordDlg(CPalaverDoc* pDoc, QWidget* parent)
    : CModalDialog(parent), m_pDoc(pDoc)
{
    setWindowTitle(QStringLiteral("Change Password"));

    m_editOldPassword = NewPasswordEdit(this, "oldPassword");
    m_editNewPassword = NewPasswordEdit(this, "newPassword");
    m_editRetype = NewPasswordEdit(this, "retype");

    auto* btnChange = new QPushButton(QStringLiteral("&Change Password"), this);
    btnChange->setObjectName(QStringLiteral("change"));
    btnChange->setDefault(true);
    auto* btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("cancel"));

    auto* fields = new QGridLayout;
    AddLabelledRow(fields, 0, QStringLiteral("Type Old Password"), m_editOldPassword);
    AddLabelledRow(fields, 1, QStringLiteral("Select a New Password"), m_editNewPassword);
    fields->addWidget(new QLabel(QStringLiteral("(Max 10 characters)"), this), 2, 1);
    AddLabelledRow(fields, 3, QStringLiteral("Retype Password"), m_editRetype);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnChange);
    buttons->addWidget(btnCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addLayout(buttons);

    connect(btnChange, &QPushButton::clicked, this, &CChangePasswordDlg::OnOK);
    connect(btnCancel, &QPushButton::clicked, this, &CChangePasswordDlg::OnCancel);
    // The server's confirmation ends the dialog; the box tells the user.
    if (pDoc)
        connect(pDoc, &CPalaverDoc::PasswordChanged, this, &CModalDialog::EndWithMessage);
    if (pDoc)
        connect(pDoc, &CPalaverDoc::AnswersLost, this, &CModalDialog::ShowIfWaiting);
}

CChangePasswordDlg::~CChangePasswordDlg()
{
    OnEndRun();
}

void CChangePasswordDlg::UpdateData(bool saveAndValidate)
{
    if (saveAndValidate) {
        m_strOldPassword = m_editOldPassword->text().toStdString();
        m_strNewPassword = m_editNewPassword->text().toStdString();
        m_strRetype = m_editRetype->text().toStdString();
    } else {
        m_editOldPassword->setText(QString::fromStdString(m_strOldPassword));
        m_editNewPassword->setText(QString::fromStdString(m_strNewPassword));
        m_editRetype->setText(QString::fromStdString(m_strRetype));
    }
}

void CChangePasswordDlg::OnOK()
{
    UpdateData(true);

    // The old password is only held to the rule here; the server checks it.
    if (CheckCredential(m_strOldPassword) != CredentialValid) {
        ShowMessageBox(QString::fromLatin1(kInvalidOldPassword), MessageButtons::Ok, MessageIcon::Exclamation,
                       this);
        return;
    }
    if (const char* message = PasswordMessage(CheckCredential(m_strNewPassword, m_strRetype))) {
        ShowMessageBox(QString::fromLatin1(message), MessageButtons::Ok, MessageIcon::Exclamation, this);
        return;
    }

    CNetMessage msg;
    msg.sender = m_pDoc->UserName();
    msg.recipient = m_strNewPassword;
    msg.text = m_strOldPassword;
    msg.command = Cmd::ChangePassword;
    m_pDoc->BeginPasswordChange(m_strNewPassword);
    m_pDoc->Send(msg);
}

void CChangePasswordDlg::OnCancel()
{
    if (m_pDoc)
        m_pDoc->EndPasswordChange();
    EndDialog(IDCANCEL);
}

void CChangePasswordDlg::OnEndRun()
{
    if (m_pDoc)
        m_pDoc->EndPasswordChange();
}
