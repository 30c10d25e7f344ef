#pragma once

// Finding a dialog's controls by object name, as every dialog test does.

#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <algorithm>

inline QLineEdit* Edit(QWidget& dlg, const char* name)
{
    return dlg.findChild<QLineEdit*>(QString::fromLatin1(name));
}

inline QPushButton* Button(QWidget& dlg, const char* name)
{
    return dlg.findChild<QPushButton*>(QString::fromLatin1(name));
}

inline bool HasLabel(QWidget& dlg, const QString& text)
{
    const QList<QLabel*> labels = dlg.findChildren<QLabel*>();
    return std::any_of(labels.begin(), labels.end(), [&](const QLabel* l) { return l->text() == text; });
}

// A fixed frame: one size only, no maximise box, and room for the whole
// caption (drawn bold) beside the window's icon and buttons.
inline bool HasFixedFrame(QWidget& dlg)
{
    QFont bold = dlg.font();
    bold.setBold(true);
    return dlg.minimumSize() == dlg.maximumSize() && !(dlg.windowFlags() & Qt::WindowMaximizeButtonHint) &&
           dlg.width() >= QFontMetrics(bold).horizontalAdvance(dlg.windowTitle()) + 100;
}
