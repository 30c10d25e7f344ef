#include "preferences.h"

#include "charformat.h"
#include "fontcolordlg.h"
#include "historypreferences.h"
#include "netmessage.h"
#include "noticepreferences.h"
#include "palaverdoc.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QVBoxLayout>

namespace {

CPreferences::ColorChooser& ColorChooserHook()
{
    static CPreferences::ColorChooser chooser;
    return chooser;
}

CPreferences::FontChooser& FontChooserHook()
{
    static CPreferences::FontChooser chooser;
    return chooser;
}

} // namespace

CLoginPreferences::CLoginPreferences(CPreferences& sheet, QWidget* parent) : QWidget(parent), m_sheet(sheet)
{
    auto* layout = new QFormLayout(this);
    m_editUserName = new QLineEdit(this);
    m_editPassword = new QLineEdit(this);
    m_editPassword->setEchoMode(QLineEdit::Password);
    m_checkRemember = new QCheckBox(QStringLiteral("&Remember My ID and Password"), this);
    m_checkAutoLogin = new QCheckBox(QStringLiteral("&Automatically Login"), this);
    auto* userLabel = new QLabel(QStringLiteral("&User Name"), this);
    userLabel->setBuddy(m_editUserName);
    auto* passwordLabel = new QLabel(QStringLiteral("&Password"), this);
    passwordLabel->setBuddy(m_editPassword);
    layout->addRow(userLabel, m_editUserName);
    layout->addRow(passwordLabel, m_editPassword);
    layout->addRow(m_checkRemember);
    layout->addRow(m_checkAutoLogin);

    connect(m_editUserName, &QLineEdit::textChanged, this, [this] {
        m_sheet.WorkingCopy().m_strUserName = m_editUserName->text().toStdString();
        OnChanged();
    });
    connect(m_editPassword, &QLineEdit::textChanged, this, [this] {
        m_sheet.WorkingCopy().m_strPassword = m_editPassword->text().toStdString();
        OnChanged();
    });
    connect(m_checkRemember, &QCheckBox::clicked, this, [this] {
        m_sheet.WorkingCopy().m_nRememberLogin = m_checkRemember->isChecked() ? 1 : 0;
        OnChanged();
    });
    connect(m_checkAutoLogin, &QCheckBox::clicked, this, [this] {
        m_sheet.WorkingCopy().m_nAutoLogin = m_checkAutoLogin->isChecked() ? 1 : 0;
        OnChanged();
    });
}

void CLoginPreferences::Fill(const CUserSettings& settings)
{
    // Filling the boxes is no change by the user.
    const QSignalBlocker blockName(m_editUserName);
    const QSignalBlocker blockPassword(m_editPassword);
    const QSignalBlocker blockRemember(m_checkRemember);
    const QSignalBlocker blockAuto(m_checkAutoLogin);
    m_checkAutoLogin->setChecked(settings.m_nAutoLogin != 0);
    m_editPassword->setText(QString::fromStdString(settings.m_strPassword));
    m_checkRemember->setChecked(settings.m_nRememberLogin != 0);
    m_editUserName->setText(QString::fromStdString(settings.m_strUserName));
}

void CLoginPreferences::OnChanged()
{
    m_bModified = true;
    m_sheet.SetModified();
}

void CLoginPreferences::OnApply()
{
    CPalaverDoc* doc = m_sheet.Document();
    if (!m_bModified || !doc)
        return;
    doc->Settings() = m_sheet.WorkingCopy();
    doc->SaveSettings(SettingsLogin);
}

CColorFontsPreferences::CColorFontsPreferences(CPreferences& sheet, QWidget* parent)
    : QWidget(parent), m_sheet(sheet)
{
    auto* layout = new QFormLayout(this);
    auto* chooseColor = new QPushButton(QStringLiteral("Choose &Color"), this);
    auto* chooseFont = new QPushButton(QStringLiteral("Choose &Font"), this);
    auto* colorLabel = new QLabel(QStringLiteral("&Background Color"), this);
    colorLabel->setBuddy(chooseColor);
    auto* fontLabel = new QLabel(QStringLiteral("&Default Font"), this);
    fontLabel->setBuddy(chooseFont);
    layout->addRow(colorLabel, chooseColor);
    layout->addRow(fontLabel, chooseFont);
    connect(chooseColor, &QPushButton::clicked, this, &CColorFontsPreferences::OnChooseColor);
    connect(chooseFont, &QPushButton::clicked, this, &CColorFontsPreferences::OnChooseFont);
}

void CColorFontsPreferences::OnChooseColor()
{
    const std::optional<QColor> color = CPreferences::ChooseColor();
    if (!color)
        return;
    m_sheet.WorkingCopy().m_nColor = RgbFromColor(*color);
    m_bModified = true;
    m_sheet.SetModified();
}

void CColorFontsPreferences::OnChooseFont()
{
    // The chooser starts where a conversation window's does: from the font
    // the user's lines are sent in.
    CNetMessage scratch;
    FillRecordFontFrom(m_sheet.WorkingCopy(), scratch);
    const CPreferences::CChosenFont current{FontFromRecordFont(scratch.font, scratch.faceName, scratch.size),
                                            ColorFromRgb(scratch.color)};
    const std::optional<CPreferences::CChosenFont> chosen = CPreferences::ChooseFont(current);
    if (!chosen || chosen->font.family().isEmpty())
        return;
    CUserSettings& settings = m_sheet.WorkingCopy();
    settings.m_font = LogFontFromFont(chosen->font);
    settings.m_strFaceName = settings.m_font.lfFaceName;
    settings.m_nFontColor = RgbFromColor(chosen->color);
    settings.m_nHeight = HeightFromFont(chosen->font);
    m_bModified = true;
    m_sheet.SetModified();
}

void CColorFontsPreferences::OnApply()
{
    CPalaverDoc* doc = m_sheet.Document();
    if (!m_bModified || !doc)
        return;
    doc->Settings() = m_sheet.WorkingCopy();
    doc->SaveSettings(SettingsColorFonts);
}

CPreferences::CPreferences(const QString& caption, CPalaverDoc* doc, QWidget* parent, int selectedPage)
    : CModalDialog(parent), m_pDoc(doc)
{
    setWindowTitle(caption);
    if (doc)
        m_settings = doc->Settings();
    m_pTabs = new QTabWidget(this);
    m_pTabs->setAccessibleName(QStringLiteral("Pages"));
    // The sheet opens wide enough for every tab: scroll arrows would hide one.
    m_pTabs->setUsesScrollButtons(false);
    m_pLoginPage = new CLoginPreferences(*this, m_pTabs);
    m_pColorFontsPage = new CColorFontsPreferences(*this, m_pTabs);
    m_pTabs->addTab(m_pLoginPage, QStringLiteral("Login Preferences"));
    m_pTabs->addTab(m_pColorFontsPage, QStringLiteral("Color and Fonts"));
    m_pHistoryPage = new CHistoryPreferences(*this, m_pTabs);
    m_pTabs->addTab(m_pHistoryPage, QStringLiteral("History"));
    m_pNoticePage = new CNoticePreferences(*this, m_pTabs);
    m_pTabs->addTab(m_pNoticePage, QStringLiteral("Notices"));
    m_pTabs->setCurrentIndex(selectedPage);

    auto* buttons = new QDialogButtonBox(this);
    m_btnOk = buttons->addButton(QDialogButtonBox::Ok);
    m_btnCancel = buttons->addButton(QDialogButtonBox::Cancel);
    m_btnApply = buttons->addButton(QDialogButtonBox::Apply);
    m_btnApply->setEnabled(false);
    connect(m_btnOk, &QPushButton::clicked, this, &CPreferences::accept);
    connect(m_btnCancel, &QPushButton::clicked, this, &CPreferences::reject);
    connect(m_btnApply, &QPushButton::clicked, this, [this] {
        Apply();
        m_btnApply->setEnabled(false);
    });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pTabs);
    layout->addWidget(buttons);
}

void CPreferences::OnInitDialog()
{
    if (m_pDoc)
        m_pLoginPage->Fill(m_pDoc->Settings());
    if (m_pDoc)
        m_pNoticePage->Fill(m_pDoc->Settings());
}

void CPreferences::SetModified()
{
    m_btnApply->setEnabled(true);
}

void CPreferences::Apply()
{
    // A page stays modified once changed, so a later OK saves it again.
    QPointer<CPreferences> alive(this);
    m_pLoginPage->OnApply();
    if (alive)
        m_pColorFontsPage->OnApply();
    if (alive)
        m_pHistoryPage->OnApply();
    if (alive)
        m_pNoticePage->OnApply();
}

void CPreferences::accept()
{
    QPointer<CPreferences> alive(this);
    Apply();
    if (alive)
        EndDialog(IDOK);
}

void CPreferences::SetColorChooser(ColorChooser chooser)
{
    ColorChooserHook() = std::move(chooser);
}

void CPreferences::SetFontChooser(FontChooser chooser)
{
    FontChooserHook() = std::move(chooser);
}

std::optional<QColor> CPreferences::ChooseColor()
{
    if (ColorChooserHook())
        return ColorChooserHook()();
    const QColor color = QColorDialog::getColor(Qt::black, nullptr);
    return color.isValid() ? std::optional<QColor>(color) : std::nullopt;
}

std::optional<CPreferences::CChosenFont> CPreferences::ChooseFont(const CChosenFont& current)
{
    if (FontChooserHook())
        return FontChooserHook()(current);
    CFontColorDlg dialog(current.font, current.color, nullptr);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return CChosenFont{dialog.SelectedFont(), dialog.SelectedColor()};
}

CPalaverDoc* CPreferences::Document() const
{
    return m_pDoc;
}
