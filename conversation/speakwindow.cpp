#include "speakwindow.h"

#include "charformat.h"
#include "commands.h"
#include "messagebox.h"
#include "netmessage.h"
#include "palaverdoc.h"

#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextCursor>
#include <QTextEdit>

#include <cstring>

CSpeakWindow::CSpeakWindow(QWidget* parent) : CSpeakWindowBase(parent)
{
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setHorizontalSpacing(10);

    m_editTo = new QLineEdit(this);
    m_editTo->setObjectName(QStringLiteral("to"));
    m_editFrom = new QLineEdit(this);
    m_editFrom->setObjectName(QStringLiteral("from"));
    m_editFrom->setReadOnly(true);
    m_richConversation = new QTextEdit(this);
    m_richConversation->setObjectName(QStringLiteral("conversation"));
    m_richConversation->setReadOnly(true);
    m_richInput = new QLineEdit(this);
    m_richInput->setObjectName(QStringLiteral("input"));
    m_btnSend = new QPushButton(QStringLiteral("&Send"), this);
    m_btnSend->setDefault(true);

    layout->addWidget(new QLabel(QStringLiteral("To"), this), 0, 0);
    layout->addWidget(m_editTo, 0, 1);
    layout->addWidget(new QLabel(QStringLiteral("From"), this), 0, 2);
    layout->addWidget(m_editFrom, 0, 3);
    layout->addWidget(m_richConversation, 1, 0, 1, 4);
    auto* inputRow = new QHBoxLayout;
    inputRow->addWidget(m_richInput, 1);
    inputRow->addWidget(m_btnSend);
    layout->addLayout(inputRow, 2, 0, 1, 4);
    layout->setRowStretch(1, 1);

    // The input box comes first in the tab order, so it gets the focus.
    setTabOrder(m_richInput, m_btnSend);
    setTabOrder(m_btnSend, m_editTo);
    setFocusProxy(m_richInput);

    // Enter in the input box sends, as the form's default button would.
    connect(m_richInput, &QLineEdit::returnPressed, this, &CSpeakWindow::OnSend);
    connect(m_btnSend, &QPushButton::clicked, this, &CSpeakWindow::OnSend);
}

void CSpeakWindow::SetDocument(CPalaverDoc* doc)
{
    m_pDoc = doc;
    if (doc)
        m_format = doc->Settings();
}

void CSpeakWindow::UpdateData(bool saveAndValidate)
{
    if (saveAndValidate) {
        m_strTo = m_editTo->text().toStdString();
        m_strFrom = m_editFrom->text().toStdString();
        m_strInput = m_richInput->text().toStdString();
    } else {
        m_editTo->setText(QString::fromStdString(m_strTo));
        m_editFrom->setText(QString::fromStdString(m_strFrom));
        m_richInput->setText(QString::fromStdString(m_strInput));
    }
}

void CSpeakWindow::FillRecordFont(CNetMessage& msg) const
{
    const CLogFont& font = m_format.m_font;
    const std::size_t faceLength = strnlen(font.lfFaceName, CLogFont::kFaceSize);
    msg.font = font;
    if (faceLength != 0) {
        msg.faceName.assign(font.lfFaceName, faceLength);
        msg.color = m_format.m_nFontColor;
        msg.size = m_format.m_nHeight;
    } else {
        // No font chosen yet. The size is in twentieths of a point, so this
        // fallback is half a point; the receiving side shows it that way.
        msg.faceName = "Arial";
        msg.color = 0;
        msg.size = 10;
    }
}

void CSpeakWindow::AppendMessage(const CNetMessage& msg)
{
    std::string line = msg.sender + ": " + msg.text;
    if (!m_bFirstLine)
        line = "\n" + line;
    UpdateData(true);
    if (m_bFirstLine) {
        m_strConversation = line;
        ApplyCharFormat(msg.font, msg.faceName, m_richConversation, msg.color, msg.size,
                        FormatPlace::AsDefault);
    } else {
        m_strConversation += line;
        ApplyCharFormat(msg.font, msg.faceName, m_richConversation, msg.color, msg.size, FormatPlace::AtEnd);
    }
    QTextCursor cursor = m_richConversation->textCursor();
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(QString::fromStdString(line), m_richConversation->currentCharFormat());
    m_richConversation->setTextCursor(cursor);
    m_bFirstLine = false;
}

void CSpeakWindow::OnSend()
{
    UpdateData(true);
    if (m_strTo.empty()) {
        ShowMessageBox(QStringLiteral("Please enter a To party ID"), MessageButtons::Ok,
                       MessageIcon::Exclamation, this);
        return;
    }
    if (m_strInput.empty())
        return;
    CNetMessage msg;
    msg.sender = m_strFrom;
    msg.recipient = m_strTo;
    msg.command = Cmd::Message;
    msg.text = m_strInput;
    FillRecordFont(msg);
    AppendMessage(msg);
    if (m_pDoc)
        m_pDoc->Send(msg);
    m_richInput->clear();
    m_strInput.clear();
}

void CSpeakWindow::Activate()
{
    QWidget* frame = window();
    frame->show();
    if (frame->isMinimized())
        frame->showNormal();
    frame->raise();
    frame->activateWindow();
    m_richInput->setFocus();
}
