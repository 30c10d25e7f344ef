#include "textpane.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QTextEdit>

CTextPane::CTextPane(QWidget* parent) : QWidget(parent)
{
    m_btnReply = new QPushButton(QStringLiteral("&Reply"), this);
    m_btnReply->setObjectName(QStringLiteral("button1033"));
    m_btnReply->setDefault(true);
    m_btnDelete = new QPushButton(QStringLiteral("&Delete"), this);
    m_btnDelete->setObjectName(QStringLiteral("button1008"));
    // One line that scrolls sideways; the box is as tall as the pane allows.
    m_richText = new QTextEdit(this);
    m_richText->setObjectName(QStringLiteral("edit1013"));
    m_richText->setAccessibleName(QStringLiteral("Message"));
    m_richText->setAcceptRichText(false);
    m_richText->setLineWrapMode(QTextEdit::NoWrap);
    m_richText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_richText->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_richText->setTabChangesFocus(true);
    m_richText->installEventFilter(this);
    setTabOrder(m_btnReply, m_btnDelete);
    setTabOrder(m_btnDelete, m_richText);
    EnableButtons(false);

    connect(m_btnDelete, &QPushButton::clicked, this, &CTextPane::OnDeleteMessage);
    connect(m_btnReply, &QPushButton::clicked, this, &CTextPane::OnReplyMessage);
}

void CTextPane::ShowText(const QString& text)
{
    m_strText = text.toStdString();
    UpdateData(false);
}

void CTextPane::UpdateData(bool saveAndValidate)
{
    if (saveAndValidate)
        m_strText = m_richText->toPlainText().toStdString();
    else
        m_richText->setPlainText(QString::fromStdString(m_strText));
}

void CTextPane::EnableButtons(bool enable)
{
    m_btnDelete->setEnabled(enable);
    m_btnReply->setEnabled(enable);
}

void CTextPane::OnDeleteMessage()
{
    emit DeleteWanted();
}

void CTextPane::OnReplyMessage()
{
    emit ReplyWanted();
}

bool CTextPane::eventFilter(QObject* watched, QEvent* event)
{
    // Enter runs the default button, Reply, while it is enabled; the box
    // holds one line, so Enter never starts a new one.
    if (watched == m_richText && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            if (m_btnReply->isEnabled())
                m_btnReply->click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CTextPane::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    const int w = width();
    const int h = height();
    m_richText->setGeometry(0, 0, w, h - 44);
    m_btnDelete->setGeometry(10, h - 34, 80, 24);
    m_btnReply->setGeometry(100, h - 34, 80, 24);
}
