#include "fontcolordlg.h"

#include <QColorDialog>
#include <QDialogButtonBox>
#include <QFontDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

CFontColorDlg::CFontColorDlg(const QFont& font, const QColor& color, QWidget* parent)
    : QDialog(parent), m_color(color)
{
    setWindowTitle(QStringLiteral("Font"));

    // The font dialog as a plain child widget: its own buttons are hidden,
    // this dialog's OK and Cancel take their place.
    m_fontDialog = new QFontDialog(this);
    m_fontDialog->setWindowFlags(Qt::Widget);
    m_fontDialog->setOptions(QFontDialog::NoButtons | QFontDialog::DontUseNativeDialog);
    m_fontDialog->setCurrentFont(font);

    m_btnColor = new QPushButton(QStringLiteral("C&olor..."), this);
    m_btnColor->setObjectName(QStringLiteral("fontColor"));
    auto* colorRow = new QHBoxLayout;
    colorRow->addWidget(new QLabel(QStringLiteral("Text color:"), this));
    colorRow->addWidget(m_btnColor);
    colorRow->addStretch();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_fontDialog);
    layout->addLayout(colorRow);
    layout->addWidget(buttons);

    // The embedded font dialog still handles Esc (and a double-click may
    // accept it): whatever ends it ends this dialog the same way.
    connect(m_fontDialog, &QDialog::finished, this,
            [this](int result) { result == QDialog::Accepted ? accept() : reject(); });
    connect(m_btnColor, &QPushButton::clicked, this, &CFontColorDlg::OnChooseColor);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    ShowColor();
}

QFont CFontColorDlg::SelectedFont() const
{
    return m_fontDialog->currentFont();
}

void CFontColorDlg::OnChooseColor()
{
    const QColor color = QColorDialog::getColor(m_color, this);
    if (color.isValid()) {
        m_color = color;
        ShowColor();
    }
}

void CFontColorDlg::ShowColor()
{
    QPixmap swatch(24, 12);
    swatch.fill(m_color);
    m_btnColor->setIcon(QIcon(swatch));
}
