#pragma once

#include <QColor>
#include <QDialog>
#include <QFont>

class QFontDialog;
class QPushButton;

// The conversation window's font chooser: Qt's font dialog (family, style,
// size and the underline and strike-out effects) with a colour button below
// it, so that font, effects and text colour are chosen in one action. It
// starts without an initial font and with black.
class CFontColorDlg final : public QDialog
{
    Q_OBJECT

public:
    explicit CFontColorDlg(QWidget* parent = nullptr);

    QFont SelectedFont() const;
    QColor SelectedColor() const { return m_color; }

private:
    void OnChooseColor();
    void ShowColor();

    QFontDialog* m_fontDialog = nullptr;
    QPushButton* m_btnColor = nullptr;
    QColor m_color = Qt::black;
};
