// The conversation window's commands: font and colours, saving the
// transcript, blocking the correspondent and the edit commands.
#include "speakwindow.h"

#include "blockconfirmdlg.h"
#include "charformat.h"
#include "commands.h"
#include "fontcolordlg.h"
#include "messagebox.h"
#include "netmessage.h"
#include "palaverdoc.h"
#include "sendlimit.h"
#include "speakcommands.h"

#include <QColorDialog>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTextCursor>
#include <QTextEdit>

namespace {

std::optional<CFontChoice> RunFontChooser(QWidget* parent, const CFontChoice& current)
{
    CFontColorDlg dialog(current.font, current.color, parent);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return CFontChoice{dialog.SelectedFont(), dialog.SelectedColor()};
}

std::optional<QColor> RunColorChooser(QWidget* parent)
{
    const QColor color = QColorDialog::getColor(Qt::black, parent);
    if (!color.isValid())
        return std::nullopt;
    return color;
}

std::optional<QString> RunSaveChooser(QWidget* parent)
{
    QFileDialog dialog(parent);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.setNameFilter(QStringLiteral("*.txt"));
    // Qt's save dialog asks before an existing file is overwritten.
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first();
}

int RunBlockChooser(QWidget*)
{
    CBlockConfirmDlg dialog(nullptr);
    return dialog.RunModal();
}

void ShowBox(const char* text, QWidget* parent)
{
    ShowMessageBox(QString::fromLatin1(text), MessageButtons::Ok, MessageIcon::Exclamation, parent);
}

} // namespace

void CSpeakWindow::OnCommand(int id)
{
    switch (id) {
    case ID_SPEAK_SEND: OnSend(); return;
    case ID_SPEAK_NEW: OnNewConversation(); return;
    case ID_SPEAK_SAVE: OnSave(); return;
    case ID_SPEAK_SAVE_AS: OnSaveAs(); return;
    case ID_SPEAK_BLOCK: OnBlockUser(); return;
    case ID_SPEAK_CLOSE:
        if (m_pFrame)
            m_pFrame->close();
        return;
    case ID_SPEAK_CUT: OnCut(); return;
    case ID_SPEAK_COPY: OnCopy(); return;
    case ID_SPEAK_PASTE: OnPaste(); return;
    case ID_SPEAK_DELETE: OnDelete(); return;
    case ID_SPEAK_SELECT_ALL: OnSelectAll(); return;
    case ID_SPEAK_FONT: OnFont(); return;
    case ID_SPEAK_COLOR: OnColor(); return;
    case ID_SPEAK_DEFAULT_FONT: OnDefaultFontAndColor(); return;
    default: return;
    }
}

void CSpeakWindow::OnFont()
{
    const auto& chooser = Choosers().font;
    const CFontChoice current = CurrentFont();
    const std::optional<CFontChoice> choice =
        chooser ? chooser(this, current) : RunFontChooser(this, current);
    if (!choice || choice->font.family().isEmpty())
        return;
    m_format.m_font = LogFontFromFont(choice->font);
    m_format.m_strFaceName = choice->font.family().toStdString();
    m_format.m_nFontColor = RgbFromColor(choice->color);
    m_format.m_nHeight = HeightFromFont(choice->font);
    ApplyCharFormat(m_format.m_font, m_format.m_strFaceName, m_richInput, m_format.m_nFontColor,
                    m_format.m_nHeight, FormatPlace::AsDefault);
}

void CSpeakWindow::OnColor()
{
    const auto& chooser = Choosers().color;
    const std::optional<QColor> color = chooser ? chooser(this) : RunColorChooser(this);
    if (!color)
        return;
    m_format.m_nColor = RgbFromColor(*color);
    SetBoxBackground(m_format.m_nColor);
}

void CSpeakWindow::OnDefaultFontAndColor()
{
    if (m_pDoc)
        m_format = m_pDoc->Settings();
    ApplyCharFormat(m_format.m_font, m_format.m_strFaceName, m_richInput, m_format.m_nFontColor,
                    m_format.m_nHeight, FormatPlace::AtEnd);
    SetBoxBackground(m_format.m_nColor);
}

void CSpeakWindow::SetBoxBackground(uint32_t color)
{
    // 0 is the settings' "no colour stored", shown as white as the friends
    // list shows it.
    const QColor background = color == 0 ? QColor(Qt::white) : ColorFromRgb(color);
    for (QTextEdit* box : std::initializer_list<QTextEdit*>{m_richInput, m_richConversation}) {
        QPalette palette = box->palette();
        palette.setColor(QPalette::Base, background);
        box->setPalette(palette);
    }
}

void CSpeakWindow::OnNewConversation()
{
    // The friends list view opened this window; the session knows it.
    if (ISessionView* opener = SessionView(m_pDoc))
        opener->OpenSpeakWindow(std::string());
}

void CSpeakWindow::OnSave()
{
    if (m_strConversation.empty()) {
        ShowBox("Nothing to save!", this);
        return;
    }
    if (m_bSaved)
        WriteConversation();
    else
        OnSaveAs();
}

void CSpeakWindow::OnSaveAs()
{
    const auto& chooser = Choosers().saveFile;
    const std::optional<QString> path = chooser ? chooser(this) : RunSaveChooser(this);
    if (!path)
        return;
    m_strSavePath = path->toStdString();
    WriteConversation();
}

bool CSpeakWindow::WriteConversation()
{
    // The transcript is UTF-8 with line feeds, this platform's line ending.
    // It is as private as the history: made for the user alone, and an
    // older file written over becomes so too.
    constexpr QFileDevice::Permissions kPrivate = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    QFile file(QString::fromStdString(m_strSavePath));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text, kPrivate) ||
        !file.setPermissions(kPrivate)) {
        ShowBox("File could not be written. Please check permissions.", this);
        return false;
    }
    const qint64 size = static_cast<qint64>(m_strConversation.size());
    bool written = file.write(m_strConversation.data(), size) == size;
    written = file.flush() && written;
    file.close();
    written = written && file.error() == QFileDevice::NoError;
    if (!written) {
        // Opened but not written (a full disk, a write error): the file holds
        // no complete transcript, so the next Save asks for a file again.
        m_bSaved = false;
        ShowBox("File could not be written. Please check permissions.", this);
        return false;
    }
    m_bSaved = true;
    return true;
}

void CSpeakWindow::OnBlockUser()
{
    const auto& chooser = Choosers().block;
    const int choice = chooser ? chooser(this) : RunBlockChooser(this);
    if (choice != IDYES && choice != IDNO)
        return;
    if (!m_pDoc)
        return;
    // The name the window holds: the one in its To box.
    const bool permanent = choice == IDYES;
    CNetMessage msg;
    msg.sender = m_pDoc->UserName();
    msg.recipient = m_strTo;
    msg.command = permanent ? Cmd::BlockPermanently : Cmd::BlockUntilLogoff;
    if (!CheckSendable(msg, this))
        return;
    m_pDoc->AddBlockedUser(permanent ? m_strTo : m_strTo + "*");
    m_pDoc->Send(msg);
}

// The edit commands follow fixed rules over the two boxes rather than the
// focus alone: Cut and Copy take the input box's selection first, then the
// conversation's; Paste and Delete act only on a focused input box.

void CSpeakWindow::OnCut()
{
    if (m_richInput->textCursor().hasSelection())
        m_richInput->cut();
    else if (m_richConversation->textCursor().hasSelection())
        m_richConversation->copy();
}

void CSpeakWindow::OnCopy()
{
    if (m_richInput->textCursor().hasSelection())
        m_richInput->copy();
    else if (m_richConversation->textCursor().hasSelection())
        m_richConversation->copy();
}

void CSpeakWindow::OnPaste()
{
    if (m_richInput->hasFocus())
        m_richInput->paste();
}

void CSpeakWindow::OnDelete()
{
    if (!m_richInput->hasFocus())
        return;
    QTextCursor cursor = m_richInput->textCursor();
    if (cursor.hasSelection())
        cursor.removeSelectedText();
}

void CSpeakWindow::OnSelectAll()
{
    if (m_richInput->hasFocus())
        m_richInput->selectAll();
    else if (m_richConversation->hasFocus())
        m_richConversation->selectAll();
}
