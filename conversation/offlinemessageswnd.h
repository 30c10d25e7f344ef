#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QWidget>

#include <cstdint>

class CPalaverDoc;
class CTextPane;
class QPushButton;
class QSplitter;
class QTextEdit;
class QTreeWidget;

// The upper pane: one row per stored offline message, in store order, so
// row n always shows the session's record n.
class CListPane final : public QWidget
{
    Q_OBJECT

public:
    explicit CListPane(CPalaverDoc* doc, QWidget* parent = nullptr);

    void SetTextPane(CTextPane* pane) { m_pTextPane = pane; }
    // Fills the rows from the session's store, selects row 0 and shows it.
    void FillOfflineList();
    // Shows the selected row's message below and enables or disables the
    // text pane's buttons.
    void ShowSelectedMessage();
    // Opens, or brings forward, the conversation with the selected row's sender.
    void ReplyToSelected();
    // The selected row, or -1.
    int SelectedRow() const;
    void DeleteRow(int row);

    QTreeWidget* List() const { return m_listMessages; }

    // "%A, %B, %d, %Y, %H:%M:%S" in local time, with English names.
    static QString FormatReceived(int32_t time);

private:
    QTreeWidget* m_listMessages = nullptr;
    QPointer<CTextPane> m_pTextPane;
    QPointer<CPalaverDoc> m_pDoc;
};

// The lower pane: the selected message's text, Delete and Reply.
class CTextPane final : public QWidget
{
    Q_OBJECT

public:
    explicit CTextPane(CPalaverDoc* doc, QWidget* parent = nullptr);

    void SetListPane(CListPane* pane) { m_pListPane = pane; }
    void ShowText(const QString& text);
    void EnableButtons(bool enable);

    void OnDeleteMessage();
    void OnReplyMessage();

    QTextEdit* TextBox() const { return m_richText; }
    QPushButton* DeleteButton() const { return m_btnDelete; }
    QPushButton* ReplyButton() const { return m_btnReply; }

private:
    QTextEdit* m_richText = nullptr;
    QPushButton* m_btnDelete = nullptr;
    QPushButton* m_btnReply = nullptr;
    QPointer<CListPane> m_pListPane;
    QPointer<CPalaverDoc> m_pDoc;
};

// The offline messages window: the list over the text, split horizontally.
// A top-level window without owner, deleted when closed; the session's
// reference to it (its list pane) goes with it.
class COfflineMessagesFrameWnd final : public QMainWindow
{
    Q_OBJECT

public:
    explicit COfflineMessagesFrameWnd(CPalaverDoc* doc);

    CListPane* ListPane() const { return m_pListPane; }
    CTextPane* TextPane() const { return m_pTextPane; }

private:
    QSplitter* m_wndSplitter = nullptr;
    CListPane* m_pListPane = nullptr;
    CTextPane* m_pTextPane = nullptr;
};
