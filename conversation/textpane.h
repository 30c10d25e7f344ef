#pragma once

#include <QWidget>

#include <string>

class QPushButton;
class QTextEdit;

// The lower pane of the offline messages window: the selected message's
// text in an editable one-line box, with Delete and Reply. Reply is the
// default button: Enter in the text box runs it while it is enabled. What
// the user types into the box is never stored. The buttons act on the list
// pane's selected row, which hears them (DeleteWanted, ReplyWanted).
class CTextPane final : public QWidget
{
    Q_OBJECT

public:
    explicit CTextPane(QWidget* parent = nullptr);

    // Sets m_strText and shows it in the text box.
    void ShowText(const QString& text);
    void EnableButtons(bool enable);
    // false: the text box shows m_strText.
    void UpdateData(bool saveAndValidate);

    void OnDeleteMessage();
    void OnReplyMessage();

    QTextEdit* TextBox() const { return m_richText; }
    QPushButton* DeleteButton() const { return m_btnDelete; }
    QPushButton* ReplyButton() const { return m_btnReply; }

signals:
    // Delete and Reply were pressed.
    void DeleteWanted();
    void ReplyWanted();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QTextEdit* m_richText = nullptr;
    QPushButton* m_btnDelete = nullptr;
    QPushButton* m_btnReply = nullptr;
    std::string m_strText;
};
