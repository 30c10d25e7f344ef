#include "blockconfirmdlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

CBlockConfirmDlg::CBlockConfirmDlg(QWidget* parent) : CModalDialog(parent)
{
    setWindowTitle(QStringLiteral("Block Users Confirmation"));

    auto* first = new QLabel(
        QStringLiteral(
            "Do you want to block this user permanently or only while you are logged in?\n\n"
            "If you click the \"Block Permanently\" button, this user will never be able to send you "
            "messages until you unblock him thru the Tools-Blocked Users dialog"),
        this);
    first->setWordWrap(true);
    auto* second = new QLabel(
        QStringLiteral(
            "Click the \"Block till I am Logged in\" button if you want to unblock this user when you "
            "log out.\n\nClick the \"Don't Block\" button to close this dialog without any action"),
        this);
    second->setWordWrap(true);

    auto* btnPermanent = new QPushButton(QStringLiteral("Block &Permanently"), this);
    btnPermanent->setObjectName(QStringLiteral("permanently"));
    btnPermanent->setDefault(true);
    auto* btnLoggedIn = new QPushButton(QStringLiteral("Block till I am &Logged In"), this);
    btnLoggedIn->setObjectName(QStringLiteral("whileLoggedIn"));
    auto* btnDont = new QPushButton(QStringLiteral("&Don't Block"), this);
    btnDont->setObjectName(QStringLiteral("dontBlock"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(btnPermanent);
    buttons->addWidget(btnLoggedIn);
    buttons->addWidget(btnDont);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(first);
    layout->addWidget(second);
    layout->addLayout(buttons);

    // Enter blocks permanently: the default button starts with the focus.
    btnPermanent->setFocus();

    connect(btnPermanent, &QPushButton::clicked, this, &CBlockConfirmDlg::OnOK);
    connect(btnLoggedIn, &QPushButton::clicked, this, &CBlockConfirmDlg::OnBlockWhileLoggedIn);
    connect(btnDont, &QPushButton::clicked, this, &CBlockConfirmDlg::OnCancel);
}

CBlockConfirmDlg::~CBlockConfirmDlg() = default;

void CBlockConfirmDlg::OnOK()
{
    EndDialog(IDYES);
}

void CBlockConfirmDlg::OnBlockWhileLoggedIn()
{
    EndDialog(IDNO);
}

void CBlockConfirmDlg::OnCancel()
{
    EndDialog(IDCANCEL);
}
