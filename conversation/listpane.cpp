#include "listpane.h"

#include "conversationbox.h"
#include "palaverdoc.h"
#include "sessionui.h"
#include "textpane.h"

#include <QHeaderView>
#include <QMouseEvent>
#include <QTreeWidget>

CListPane::CListPane(CPalaverDoc* doc, QWidget* parent) : QWidget(parent), m_pDoc(doc)
{
    m_listMessages = new QTreeWidget(this);
    m_listMessages->setObjectName(QStringLiteral("list1007"));
    m_listMessages->setAccessibleName(QStringLiteral("Offline messages"));
    m_listMessages->setRootIsDecorated(false);
    m_listMessages->setItemsExpandable(false);
    m_listMessages->setSelectionMode(QAbstractItemView::SingleSelection);
    m_listMessages->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_listMessages->setFrameShape(QFrame::StyledPanel);
    m_listMessages->setFocusPolicy(Qt::StrongFocus);
    m_listMessages->header()->setSectionsMovable(false);
    m_listMessages->setHeaderLabels(
        {QStringLiteral("From"), QStringLiteral("Message"), QStringLiteral("Received")});
    for (int column = 0; column < 3; ++column)
        m_listMessages->setColumnWidth(column, 150);
    // Received is as wide as its longest date and time, which 150 pixels
    // would cut; the message, whose whole text shows below, gives way.
    QHeaderView* header = m_listMessages->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::ResizeToContents);

    // The selected row stays marked when the list loses the focus, for
    // instance to the text pane's buttons.
    QPalette palette = m_listMessages->palette();
    for (auto role : {QPalette::Highlight, QPalette::HighlightedText})
        palette.setColor(QPalette::Inactive, role, palette.color(QPalette::Active, role));
    m_listMessages->setPalette(palette);

    setFocusProxy(m_listMessages);
    m_listMessages->viewport()->installEventFilter(this);

    connect(m_listMessages, &QTreeWidget::itemClicked, this, &CListPane::OnClickList);
    connect(m_listMessages, &QTreeWidget::itemDoubleClicked, this, &CListPane::ReplyToSelected);
}

void CListPane::SetTextPane(CTextPane* pane)
{
    m_pTextPane = pane;
    connect(pane, &CTextPane::DeleteWanted, this, &CListPane::DeleteSelected);
    connect(pane, &CTextPane::ReplyWanted, this, &CListPane::ReplyToSelected);
}

QString CListPane::FormatReceived(int32_t time)
{
    // As a conversation tells when its lines were said.
    return CConversationBox::TimeText(time);
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
    if (row < 0 || !m_pDoc)
        return;
    const std::string sender = m_listMessages->topLevelItem(row)->text(0).toStdString();
    if (ISessionView* view = SessionView(m_pDoc))
        view->OpenSpeakWindow(sender);
}

void CListPane::DeleteSelected()
{
    const int row = SelectedRow();
    if (row < 0)
        return;
    DeleteRow(row);
    if (m_pTextPane)
        m_pTextPane->ShowText(QString());
    // Row n shows the store's record n, so the same position goes.
    if (m_pDoc)
        m_pDoc->RemoveOfflineMessage(static_cast<std::size_t>(row));
    ShowSelectedMessage();
}

void CListPane::DeleteRow(int row)
{
    delete m_listMessages->takeTopLevelItem(row);
    m_listMessages->clearSelection();
}

void CListPane::OnClickList()
{
    if (m_listMessages->topLevelItemCount() > 0)
        ShowSelectedMessage();
}

bool CListPane::eventFilter(QObject* watched, QEvent* event)
{
    // A click on the empty space below the rows clears the selection and
    // counts as a click on the list: the buttons go off, the text stays.
    const bool press =
        event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick;
    if (watched == m_listMessages->viewport() && press) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (!m_listMessages->itemAt(mouse->position().toPoint())) {
            m_listMessages->setFocus(Qt::MouseFocusReason);
            m_listMessages->clearSelection();
            OnClickList();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CListPane::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_listMessages->setGeometry(rect());
}
