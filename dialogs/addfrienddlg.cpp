#include "addfrienddlg.h"

#include "commands.h"
#include "linebreaks.h"
#include "messagebox.h"
#include "netmessage.h"
#include "palaverdoc.h"
#include "sendlimit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

CAddFriendDlg::CAddFriendDlg(CPalaverDoc* pDoc, QWidget* parent) : CModalDialog(parent), m_pDoc(pDoc)
{
    setWindowTitle(QStringLiteral("Add a Friend"));

    m_editFriendId = new QLineEdit(this);
    m_editFriendId->setObjectName(QStringLiteral("friendId"));
    m_editMessage = new QPlainTextEdit(this);
    m_editMessage->setObjectName(QStringLiteral("message"));
    m_editMessage->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_editMessage->setTabChangesFocus(true);
    m_editMessage->installEventFilter(this);

    m_btnAdd = new QPushButton(QStringLiteral("&Add the Friend"), this);
    m_btnAdd->setObjectName(QStringLiteral("add"));
    m_btnAdd->setDefault(true);
    auto* btnCancel = new QPushButton(QStringLiteral("Cancel"), this);
    btnCancel->setObjectName(QStringLiteral("cancel"));

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_btnAdd);
    buttons->addWidget(btnCancel);
    // Each label names its box for screen readers.
    auto* labelId = new QLabel(QStringLiteral("Enter Friend's ID"), this);
    labelId->setBuddy(m_editFriendId);
    auto* labelMessage = new QLabel(QStringLiteral("Enter a Message"), this);
    labelMessage->setBuddy(m_editMessage);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(labelId);
    layout->addWidget(m_editFriendId);
    layout->addWidget(labelMessage);
    layout->addWidget(m_editMessage);
    layout->addLayout(buttons);

    connect(m_btnAdd, &QPushButton::clicked, this, &CAddFriendDlg::OnOK);
    connect(btnCancel, &QPushButton::clicked, this, &CAddFriendDlg::reject);
}

CAddFriendDlg::~CAddFriendDlg() = default;

void CAddFriendDlg::UpdateData(bool saveAndValidate)
{
    if (saveAndValidate) {
        m_strMessage = ToCrLf(m_editMessage->toPlainText());
        m_strFriendId = m_editFriendId->text().toStdString();
    } else {
        m_editMessage->setPlainText(FromAnyLineBreaks(m_strMessage));
        m_editFriendId->setText(QString::fromStdString(m_strFriendId));
    }
}

void CAddFriendDlg::OnInitDialog()
{
    m_editFriendId->setFocus();
}

bool CAddFriendDlg::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_editMessage && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::ControlModifier)
                m_editMessage->insertPlainText(QStringLiteral("\n"));
            else if (m_btnAdd->isEnabled())
                m_btnAdd->click();
            return true;
        }
    }
    return CModalDialog::eventFilter(watched, event);
}

void CAddFriendDlg::OnOK()
{
    UpdateData(true);

    // Any ID that is not empty goes to the server as typed, a lone space too.
    if (m_strFriendId.empty()) {
        ShowMessageBox(QStringLiteral("Please enter a friend ID"), MessageButtons::Ok,
                       MessageIcon::Exclamation, this);
        return;
    }

    CNetMessage msg;
    msg.sender = m_pDoc->UserName();
    msg.recipient = m_strFriendId;
    msg.text = m_strMessage;
    msg.command = Cmd::AddFriend;
    if (!CheckSendable(msg, this))
        return;
    // Saying the request went out when it did not would leave the user
    // waiting for an answer that cannot come: keep the dialog and its input.
    if (!m_pDoc->Send(msg)) {
        ShowMessageBox(QStringLiteral("Not connected to Server"), MessageButtons::Ok,
                       MessageIcon::Exclamation, this);
        return;
    }
    ShowMessageBox(QStringLiteral("A message has been sent to the user asking for his permission"),
                   MessageButtons::Ok, MessageIcon::Exclamation, this);
    UpdateData(true);
    EndDialog(IDOK);
}
