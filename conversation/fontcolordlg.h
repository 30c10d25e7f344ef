#pragma once

#include <QColor>
#include <QDialog>
#include <QFont>

class QFontDialog;
class QPushButton;

// The font chooser of conversation windows and preferences: Qt's font
// dialog (family, style, size and the underline and strike-out effects)
// with a colour button below it, so that font, effects and text colour are
// chosen in one action. It starts from the font and colour in use, so that
// OK without a change changes nothing.
class CFontColorDlg final : public QDialog
{
    Q_OBJECT

public:
    CFontColorDlg(const QFont& font, const QColor& color, QWidget* parent = nullptr);

    QFont SelectedFont() const;
    QColor SelectedColor() const { return m_color; }

private:
    void OnChooseColor();
    void ShowColor();

    QFontDialog* m_fontDialog = nullptr;
    QPushButton* m_btnColor = nullptr;
    QColor m_color;
};
