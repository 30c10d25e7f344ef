#include "offlinemessageswnd.h"

#include "palaverdoc.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLocale>
#include <QPushButton>
#include <QSplitter>
#include <QTextEdit>
#include <QTreeWidget>
#include <QVBoxLayout>

CListPane::CListPane(CPalaverDoc* doc, QWidget* parent) : QWidget(parent), m_pDoc(doc)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_listMessages = new QTreeWidget(this);
    m_listMessages->setRootIsDecorated(false);
    m_listMessages->setSelectionMode(QAbstractItemView::SingleSelection);
    m_listMessages->setHeaderLabels(
        {QStringLiteral("From"), QStringLiteral("Message"), QStringLiteral("Received")});
    for (int column = 0; column < 3; ++column)
        m_listMessages->setColumnWidth(column, 150);
    layout->addWidget(m_listMessages);
    setFocusProxy(m_listMessages);

    // A click shows the message; moving the selection with the keys does not.
    connect(m_listMessages, &QTreeWidget::itemClicked, this, [this] { ShowSelectedMessage(); });
    connect(m_listMessages, &QTreeWidget::itemDoubleClicked, this, [this] { ReplyToSelected(); });
}

QString CListPane::FormatReceived(int32_t time)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(time);
    return QLocale::c().toString(local, QStringLiteral("dddd, MMMM, dd, yyyy, HH:mm:ss"));
}

void CListPane::FillOfflineList()
{
    if (!m_pDoc || m_pDoc->OfflineMessages().empty())
        return;
    for (const auto& msg : m_pDoc->OfflineMessages()) {
        auto* row = new QTreeWidgetItem(m_listMessages);
        row->setText(0, QString::fromStdString(msg->sender));
        row->setText(1, QString::fromStdString(msg->text));
        row->setText(2, FormatReceived(msg->time));
    }
    m_listMessages->setFocus();
    m_listMessages->setCurrentItem(m_listMessages->topLevelItem(0));
    ShowSelectedMessage();
}

int CListPane::SelectedRow() const
{
    const auto selected = m_listMessages->selectedItems();
    return selected.isEmpty() ? -1 : m_listMessages->indexOfTopLevelItem(selected.first());
}

void CListPane::ShowSelectedMessage()
{
    if (!m_pTextPane)
        return;
    const int row = SelectedRow();
    if (row < 0) {
        m_pTextPane->EnableButtons(false);
        return;
    }
    m_pTextPane->ShowText(m_listMessages->topLevelItem(row)->text(1));
    m_pTextPane->EnableButtons(true);
}

void CListPane::ReplyToSelected()
{
    const int row = SelectedRow();
    if (row < 0 || !m_pDoc || !m_pDoc->View())
        return;
    m_pDoc->View()->OpenSpeakWindow(m_listMessages->topLevelItem(row)->text(0).toStdString());
}

void CListPane::DeleteRow(int row)
{
    delete m_listMessages->takeTopLevelItem(row);
    // The deleted row was the selected one: nothing is selected afterwards.
    m_listMessages->clearSelection();
}

CTextPane::CTextPane(CPalaverDoc* doc, QWidget* parent) : QWidget(parent), m_pDoc(doc)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 10);
    m_richText = new QTextEdit(this);
    m_richText->setAcceptRichText(false);
    layout->addWidget(m_richText, 1);
    auto* buttons = new QHBoxLayout;
    buttons->setContentsMargins(10, 0, 10, 0);
    m_btnDelete = new QPushButton(QStringLiteral("&Delete"), this);
    m_btnReply = new QPushButton(QStringLiteral("&Reply"), this);
    m_btnReply->setDefault(true);
    buttons->addWidget(m_btnDelete);
    buttons->addWidget(m_btnReply);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    EnableButtons(false);

    connect(m_btnDelete, &QPushButton::clicked, this, &CTextPane::OnDeleteMessage);
    connect(m_btnReply, &QPushButton::clicked, this, &CTextPane::OnReplyMessage);
}

void CTextPane::ShowText(const QString& text)
{
    m_richText->setPlainText(text);
}

void CTextPane::EnableButtons(bool enable)
{
    m_btnDelete->setEnabled(enable);
    m_btnReply->setEnabled(enable);
}

void CTextPane::OnDeleteMessage()
{
    if (!m_pListPane)
        return;
    const int row = m_pListPane->SelectedRow();
    if (row < 0)
        return;
    m_pListPane->DeleteRow(row);
    ShowText(QString());
    if (m_pDoc)
        m_pDoc->RemoveOfflineMessage(static_cast<std::size_t>(row));
    m_pListPane->ShowSelectedMessage();
}

void CTextPane::OnReplyMessage()
{
    if (m_pListPane && m_pListPane->SelectedRow() >= 0)
        m_pListPane->ReplyToSelected();
}

COfflineMessagesFrameWnd::COfflineMessagesFrameWnd(CPalaverDoc* doc) : QMainWindow(nullptr)
{
    setAttribute(Qt::WA_DeleteOnClose);
    m_wndSplitter = new QSplitter(Qt::Vertical, this);
    m_pListPane = new CListPane(doc, m_wndSplitter);
    m_pTextPane = new CTextPane(doc, m_wndSplitter);
    m_wndSplitter->addWidget(m_pListPane);
    m_wndSplitter->addWidget(m_pTextPane);
    m_wndSplitter->setSizes({200, 200});
    m_pListPane->SetTextPane(m_pTextPane);
    m_pTextPane->SetListPane(m_pListPane);
    setCentralWidget(m_wndSplitter);
}
