#pragma once

#include "sessionui.h"
#include "usersettings.h"

#include <QPointer>

#include <string>

class CNetMessage;
class CPalaverDoc;
class QLineEdit;
class QPushButton;
class QTextEdit;

// The conversation view: To box, read-only From box, the conversation and
// the input box with its default Send button. Each line is the sender's
// name, ": " and the text, in the font and colour its sender chose.
class CSpeakWindow final : public CSpeakWindowBase
{
    Q_OBJECT

public:
    explicit CSpeakWindow(QWidget* parent = nullptr);

    // The opener's settings; UpdateData(false) then shows them.
    void SetDocument(CPalaverDoc* doc);
    void SetFrom(const std::string& from) { m_strFrom = from; }
    void SetTo(const std::string& to) { m_strTo = to; }
    // true: the boxes' texts into the strings; false: the strings into the boxes.
    void UpdateData(bool saveAndValidate);

    std::string To() const override { return m_strTo; }
    const std::string& From() const { return m_strFrom; }
    const std::string& Conversation() const { return m_strConversation; }
    void AppendMessage(const CNetMessage& msg) override;
    void Activate() override;

    // Send: "M" from the From name to the To name, shown here first.
    void OnSend();
    // The record's font fields from this window's font, or the fallback
    // "Arial", colour 0, size 10 when no face name is set.
    void FillRecordFont(CNetMessage& msg) const;

    QLineEdit* ToBox() const { return m_editTo; }
    QLineEdit* InputBox() const { return m_richInput; }
    QTextEdit* ConversationBox() const { return m_richConversation; }
    QPushButton* SendButton() const { return m_btnSend; }

private:
    QLineEdit* m_editTo = nullptr;
    QLineEdit* m_editFrom = nullptr;
    QTextEdit* m_richConversation = nullptr;
    QLineEdit* m_richInput = nullptr;
    QPushButton* m_btnSend = nullptr;

    std::string m_strFrom;
    std::string m_strTo;
    std::string m_strInput;
    std::string m_strConversation;
    QPointer<CPalaverDoc> m_pDoc;
    bool m_bFirstLine = true;
    CUserSettings m_format;
};
