#include "acceptfrienddlg.h"

#include "commands.h"
#include "linebreaks.h"
#include "modaldialog.h"
#include "netmessage.h"
#include "palaverdoc.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

CAcceptFriendDlg::CAcceptFriendDlg(CPalaverDoc* pDoc, QWidget* parent, std::chrono::milliseconds answerPause)
    : QDialog(parent), m_pDoc(pDoc), m_pReply(std::make_unique<CNetMessage>()), m_answerPause(answerPause)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Accept and Add Friend"));

    m_editInvitation = new QPlainTextEdit(this);
    m_editInvitation->setObjectName(QStringLiteral("invitation"));
    m_editInvitation->setReadOnly(true);
    m_editInvitation->setTabChangesFocus(true);
    // Read-only: Tab goes past it to the answers; a click still selects in it.
    m_editInvitation->setFocusPolicy(Qt::ClickFocus);
    m_editInvitation->setAccessibleName(QStringLiteral("Request"));

    auto* btnAccept = new QPushButton(QStringLiteral("&Accept and Add"), this);
    btnAccept->setObjectName(QStringLiteral("acceptAndAdd"));
    btnAccept->setDefault(true);
    auto* btnJustAccept = new QPushButton(QStringLiteral("&Just Accept"), this);
    btnJustAccept->setObjectName(QStringLiteral("justAccept"));
    auto* btnDecline = new QPushButton(QStringLiteral("&Don't Accept"), this);
    btnDecline->setObjectName(QStringLiteral("dontAccept"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnAccept);
    buttons->addWidget(btnJustAccept);
    buttons->addWidget(btnDecline);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_editInvitation);
    layout->addWidget(new QLabel(QStringLiteral("What do you want to do?"), this));
    layout->addLayout(buttons);

    connect(btnAccept, &QPushButton::clicked, this, &CAcceptFriendDlg::OnOK);
    connect(btnJustAccept, &QPushButton::clicked, this, &CAcceptFriendDlg::OnJustAccept);
    connect(btnDecline, &QPushButton::clicked, this, &CAcceptFriendDlg::OnCancel);
    SetFixedFrame(this);
}

CAcceptFriendDlg::~CAcceptFriendDlg() = default;

void CAcceptFriendDlg::SetRequester(const std::string& requester)
{
    m_pReply->recipient = requester;
}

void CAcceptFriendDlg::UpdateData(bool saveAndValidate)
{
    // The box is read-only: there is nothing to take back from it.
    if (!saveAndValidate)
        m_editInvitation->setPlainText(FromAnyLineBreaks(m_strInvitation));
}

void CAcceptFriendDlg::OnOK()
{
    const std::string own = m_pDoc ? m_pDoc->UserName() : std::string();
    Answer(Cmd::AcceptAndAdd,
           "User " + own + " has accepted your invitation and also has added you to his/her friends list",
           IDOK);
}

void CAcceptFriendDlg::OnJustAccept()
{
    const std::string own = m_pDoc ? m_pDoc->UserName() : std::string();
    Answer(Cmd::JustAccept, "User " + own + " has accepted your invitation", IDOK);
}

void CAcceptFriendDlg::OnCancel()
{
    Answer(Cmd::Decline, std::string(), IDCANCEL);
}

void CAcceptFriendDlg::Answer(const char* command, const std::string& text, int result)
{
    // A close that follows a button (or a second press during the pause)
    // must not answer the request again.
    if (m_bAnswered)
        return;
    m_bAnswered = true;

    if (m_pDoc) {
        m_pReply->sender = m_pDoc->UserName();
        m_pReply->command = command;
        if (!text.empty())
            m_pReply->text = text;
        m_pDoc->Send(*m_pReply);
    }
    // The window stays the answer pause after the record has gone to the
    // connection; the event loop runs on meanwhile.
    const auto finish = [this, result] {
        UpdateData(true);
        done(result);
    };
    if (m_answerPause.count() > 0)
        QTimer::singleShot(m_answerPause, this, finish);
    else
        finish();
}
