#pragma once

#include "modaldialog.h"
#include "usersettings.h"

#include <QColor>
#include <QFont>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <optional>

class CHistoryPreferences;
class CNoticePreferences;
class CPalaverDoc;
class CPreferences;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QTabWidget;

// "Login Preferences": user name, password and the two login switches.
class CLoginPreferences final : public QWidget
{
    Q_OBJECT

public:
    explicit CLoginPreferences(CPreferences& sheet, QWidget* parent = nullptr);

    // The values into the controls, without marking the page changed.
    void Fill(const CUserSettings& settings);
    bool IsModified() const { return m_bModified; }
    void OnApply();

    QLineEdit* UserNameBox() const { return m_editUserName; }
    QLineEdit* PasswordBox() const { return m_editPassword; }
    QCheckBox* RememberBox() const { return m_checkRemember; }
    QCheckBox* AutoLoginBox() const { return m_checkAutoLogin; }

private:
    void OnChanged();

    CPreferences& m_sheet;
    QLineEdit* m_editUserName = nullptr;
    QLineEdit* m_editPassword = nullptr;
    QCheckBox* m_checkRemember = nullptr;
    QCheckBox* m_checkAutoLogin = nullptr;
    bool m_bModified = false;
};

// "Color and Fonts": the choosers of the background colour and the default
// font. The page shows no current values.
class CColorFontsPreferences final : public QWidget
{
    Q_OBJECT

public:
    explicit CColorFontsPreferences(CPreferences& sheet, QWidget* parent = nullptr);

    bool IsModified() const { return m_bModified; }
    void OnApply();
    void OnChooseColor();
    void OnChooseFont();

private:
    CPreferences& m_sheet;
    bool m_bModified = false;
};

// The preferences sheet. It edits a working copy of the session's settings;
// a changed page copies the whole working copy into the session when the
// user applies and has its own group of values saved.
class CPreferences final : public CModalDialog
{
    Q_OBJECT

public:
    struct CChosenFont
    {
        QFont font;
        QColor color;
    };
    // The platform's choosers; tests replace them. No value: cancelled. The
    // font chooser starts from `current`, the default font in use.
    using ColorChooser = std::function<std::optional<QColor>()>;
    using FontChooser = std::function<std::optional<CChosenFont>(const CChosenFont& current)>;

    explicit CPreferences(const QString& caption, CPalaverDoc* doc, QWidget* parent, int selectedPage);

    CUserSettings& WorkingCopy() { return m_settings; }
    CPalaverDoc* Document() const;
    // A page reports a change: Apply turns on.
    void SetModified();
    // Applies every page (OK and Apply).
    void Apply();

    static void SetColorChooser(ColorChooser chooser);
    static void SetFontChooser(FontChooser chooser);
    static std::optional<QColor> ChooseColor();
    static std::optional<CChosenFont> ChooseFont(const CChosenFont& current);

    CLoginPreferences* LoginPage() const { return m_pLoginPage; }
    CColorFontsPreferences* ColorFontsPage() const { return m_pColorFontsPage; }
    CHistoryPreferences* HistoryPage() const { return m_pHistoryPage; }
    CNoticePreferences* NoticePage() const { return m_pNoticePage; }
    QTabWidget* Tabs() const { return m_pTabs; }
    QPushButton* ApplyButton() const { return m_btnApply; }
    QPushButton* OkButton() const { return m_btnOk; }
    QPushButton* CancelButton() const { return m_btnCancel; }

    void accept() override;

protected:
    void OnInitDialog() override;

private:
    QPointer<CPalaverDoc> m_pDoc;
    CLoginPreferences* m_pLoginPage = nullptr;
    CColorFontsPreferences* m_pColorFontsPage = nullptr;
    CHistoryPreferences* m_pHistoryPage = nullptr;
    CNoticePreferences* m_pNoticePage = nullptr;
    CUserSettings m_settings;
    QTabWidget* m_pTabs = nullptr;
    QPushButton* m_btnOk = nullptr;
    QPushButton* m_btnCancel = nullptr;
    QPushButton* m_btnApply = nullptr;
};
