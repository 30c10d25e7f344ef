#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>

class CPalaverDoc;
class CTextPane;
class QTreeWidget;

// The upper pane of the offline messages window: one row per stored offline
// message, in store order, so that row n always shows the session's record
// n. A click shows the row's message in the text pane below; a double click
// opens the conversation with the row's sender. Moving the selection with
// the keys shows nothing: the text pane changes only on a click.
class CListPane final : public QWidget
{
    Q_OBJECT

public:
    explicit CListPane(CPalaverDoc* doc, QWidget* parent = nullptr);

    // The pane below, which shows the selected message and whose buttons
    // act on it.
    void SetTextPane(CTextPane* pane);
    // Fills the rows from the session's store once, after the window has
    // been made; selects row 0 and shows it. An empty store fills nothing.
    void FillOfflineList();
    // Shows the selected row's message below and enables the text pane's
    // buttons; with no row selected it only disables them.
    void ShowSelectedMessage();
    // Opens, or brings forward, the conversation with the selected row's sender.
    void ReplyToSelected();
    // Removes the selected row and the store's message behind it, which the
    // server is told it may forget.
    void DeleteSelected();
    // The selected row, or -1.
    int SelectedRow() const;
    // Removes the row; nothing is selected afterwards.
    void DeleteRow(int row);

    QTreeWidget* List() const { return m_listMessages; }

    // "%A, %B, %d, %Y, %H:%M:%S" in local time, with English day and month
    // names whatever the user's locale.
    static QString FormatReceived(int32_t time);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void OnClickList();

    QTreeWidget* m_listMessages = nullptr;
    QPointer<CTextPane> m_pTextPane;
    QPointer<CPalaverDoc> m_pDoc;
};
