#pragma once

#include "conversationbox.h"
#include "sessionui.h"
#include "usersettings.h"

#include <QColor>
#include <QFont>
#include <QPointer>
#include <QString>

#include <functional>
#include <optional>
#include <string>

class CNetMessage;
class CPalaverDoc;
class QLabel;
class QLineEdit;
class QPushButton;
class QTextEdit;

// A font and text colour as the font chooser returns them.
struct CFontChoice
{
    QFont font;
    QColor color;
};

// The choosers a conversation window opens. An empty function opens the
// real one; tests put their own answers in so that no chooser ever shows.
struct CSpeakChoosers
{
    // Starts from `current`, the window's font; OK without a change gives it back.
    std::function<std::optional<CFontChoice>(QWidget*, const CFontChoice& current)> font;
    std::function<std::optional<QColor>(QWidget*)> color;
    // The full path to save to, or nothing on Cancel.
    std::function<std::optional<QString>(QWidget*)> saveFile;
    // IDYES (permanently), IDNO (until log-off) or IDCANCEL.
    std::function<int(QWidget*)> block;
};

// A conversation window's title: "<to> -- Instant Message".
QString SpeakWindowTitle(const std::string& to);

// The conversation view: To box, read-only From box, the conversation and
// the input box with its default Send button. Each line is the sender's
// name, ": " and the text, in the font effects, height and colour its sender
// chose. Every command of the window's menu and toolbar lands in OnCommand.
class CSpeakWindow final : public CSpeakWindowBase
{
    Q_OBJECT

public:
    explicit CSpeakWindow(CPalaverDoc* doc, QWidget* parent = nullptr);
    ~CSpeakWindow() override;

    static CSpeakChoosers& Choosers();

    // Once, when the frame is first shown: the session's settings become
    // this window's format, the input box takes the default font, the
    // controls are laid out and the boxes get their background.
    void OnInitialUpdate();

    // The opener's settings; UpdateData(false) then shows them.
    void SetFrom(const std::string& from) { m_strFrom = from; }
    void SetTo(const std::string& to) { m_strTo = to; }
    void SetFrame(QWidget* frame) { m_pFrame = frame; }
    // true: the boxes' texts into the strings; false: the strings into the boxes.
    void UpdateData(bool saveAndValidate);

    std::string To() const override { return m_strTo; }
    const std::string& From() const { return m_strFrom; }
    const std::string& Conversation() const { return m_strConversation; }
    void AppendMessage(const CNetMessage& msg) override;
    // Once, before the first line: the last lines kept with the correspondent,
    // in grey above a thin rule. They are not part of the conversation that
    // Save writes.
    void ShowHistory();
    bool IsHistoryShown() const { return m_bHistoryShown; }
    // Takes the earlier lines and their rule away again (the history was
    // cleared); the conversation stays as it is.
    void ForgetHistory();
    void Activate() override;
    void ShowWithoutFocus() override;

    // A command of menu 121, toolbar 146 or the form's buttons, by id.
    void OnCommand(int id);

    // Send: the line is shown here first, then the session sends it as an
    // "M" from the user to the To name; its mark tells where it stands.
    void OnSend();
    // The record's font fields from this window's font, or the fallback
    // "Arial", colour 0, size 200 (10 points) when no face name is set.
    void FillRecordFont(CNetMessage& msg) const;
    // The font and colour the user's lines are sent in now, where the font
    // chooser starts.
    CFontChoice CurrentFont() const;
    void OnFont();
    void OnColor();
    void OnDefaultFontAndColor();
    void OnNewConversation();
    void OnSave();
    void OnSaveAs();
    // Writes the transcript to m_strSavePath; true when all of it was written.
    bool WriteConversation();
    void OnBlockUser();
    void OnCut();
    void OnCopy();
    void OnPaste();
    void OnDelete();
    void OnSelectAll();

    // Places the controls in the current size (see the table in the .cpp).
    void LayoutControls();
    void SetBoxBackground(uint32_t color);

    const CUserSettings& Format() const { return m_format; }
    bool IsSaved() const { return m_bSaved; }
    const std::string& SavePath() const { return m_strSavePath; }

    QLineEdit* ToBox() const { return m_editTo; }
    QLineEdit* FromBox() const { return m_editFrom; }
    QTextEdit* InputBox() const { return m_richInput; }
    CConversationBox* ConversationBox() const { return m_richConversation; }
    QPushButton* SendButton() const { return m_btnSend; }
    QPushButton* FontButton() const { return m_btnFont; }
    QPushButton* ColorButton() const { return m_btnColor; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The constructor's parts: the controls in the form's order, their tab
    // order, their signals, and what the window follows in the session.
    void CreateInputControls();
    void CreateNameBoxes();
    void CreateConversationBox();
    void CreateFormatButtons();
    void SetTabOrderAndFocus();
    void ConnectControls();
    void FollowSession();
    void ClearInput();
    void OnToChanged(const QString& to);

    QPushButton* m_btnColor = nullptr;
    QPushButton* m_btnFont = nullptr;
    QLineEdit* m_editTo = nullptr;
    QPushButton* m_btnSend = nullptr;
    CConversationBox* m_richConversation = nullptr;
    QTextEdit* m_richInput = nullptr;
    QLineEdit* m_editFrom = nullptr;

    std::string m_strFrom;
    std::string m_strTo;
    std::string m_strInput;
    std::string m_strConversation;
    QPointer<CPalaverDoc> m_pDoc;
    bool m_bFirstLine = true;
    QPointer<QWidget> m_pFrame;
    CUserSettings m_format;
    bool m_bSaved = false;
    std::string m_strSavePath;
    bool m_bLayoutPending = true;
    bool m_bInitialUpdateDone = false;
    bool m_bHistoryShown = false;
};
