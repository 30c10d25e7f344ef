#include "messagebox.h"

#include <QMessageBox>
#include <QPointer>

#include <algorithm>
#include <utility>
#include <vector>

namespace {

MessageBoxHandler& Handler()
{
    static MessageBoxHandler handler;
    return handler;
}

// The quiet boxes on screen, and those a handler took and nothing closed.
struct CQuietBoxes
{
    std::vector<QPointer<QMessageBox>> shown;
    int handled = 0;
};

CQuietBoxes& QuietBoxes()
{
    static CQuietBoxes boxes;
    return boxes;
}

QMessageBox::Icon ToQtIcon(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Stop:
        return QMessageBox::Critical;
    case MessageIcon::Question:
        return QMessageBox::Question;
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::Exclamation:
        break;
    }
    return QMessageBox::Warning;
}

QMessageBox::StandardButtons ToQtButtons(MessageButtons buttons)
{
    switch (buttons) {
    case MessageButtons::OkCancel:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case MessageButtons::YesNo:
    case MessageButtons::YesNoDefaultNo:
        return QMessageBox::Yes | QMessageBox::No;
    case MessageButtons::Ok:
        break;
    }
    return QMessageBox::Ok;
}

MessageAnswer FromQt(int result, MessageButtons buttons)
{
    switch (result) {
    case QMessageBox::Ok:
        return MessageAnswer::Ok;
    case QMessageBox::Cancel:
        return MessageAnswer::Cancel;
    case QMessageBox::Yes:
        return MessageAnswer::Yes;
    case QMessageBox::No:
        return MessageAnswer::No;
    default:
        break;
    }
    // Closed by Escape or the window's close button.
    switch (buttons) {
    case MessageButtons::OkCancel:
        return MessageAnswer::Cancel;
    case MessageButtons::YesNo:
    case MessageButtons::YesNoDefaultNo:
        return MessageAnswer::No;
    case MessageButtons::Ok:
        break;
    }
    return MessageAnswer::Ok;
}

} // namespace

MessageAnswer ShowMessageBox(const QString& text, MessageButtons buttons, MessageIcon icon, QWidget* parent)
{
    CMessageBoxRequest request{QString::fromLatin1(kApplicationTitle), text, icon, buttons};
    // Copy the handler: it may install another one while it runs.
    if (const MessageBoxHandler handler = Handler())
        return handler(request);

    QMessageBox box(ToQtIcon(icon), request.caption, text, ToQtButtons(buttons), parent);
    // Texts are often built from records: markup in a user name or a
    // server's text must show as typed, never be rendered.
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    if (buttons == MessageButtons::YesNoDefaultNo)
        box.setDefaultButton(QMessageBox::No);
    return FromQt(box.exec(), buttons);
}

void ShowQuietMessageBox(const QString& text, MessageIcon icon)
{
    CMessageBoxRequest request{QString::fromLatin1(kApplicationTitle), text, icon, MessageButtons::Ok, true};
    if (const MessageBoxHandler handler = Handler()) {
        ++QuietBoxes().handled;
        handler(request);
        return;
    }
    auto* box = new QMessageBox(ToQtIcon(icon), request.caption, text, QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // The user may be typing a line: the box must not take the keys.
    box->setAttribute(Qt::WA_ShowWithoutActivating);
    box->show();
    std::vector<QPointer<QMessageBox>>& shown = QuietBoxes().shown;
    std::erase_if(shown, [](const QPointer<QMessageBox>& open) { return open.isNull(); });
    shown.emplace_back(box);
}

void CloseQuietMessageBoxes()
{
    QuietBoxes().handled = 0;
    for (const QPointer<QMessageBox>& box : std::exchange(QuietBoxes().shown, {}))
        if (box)
            box->close();
}

int QuietMessageBoxCount()
{
    const std::vector<QPointer<QMessageBox>>& shown = QuietBoxes().shown;
    const auto open = std::count_if(shown.begin(), shown.end(),
                                    [](const QPointer<QMessageBox>& box) { return box && box->isVisible(); });
    return QuietBoxes().handled + static_cast<int>(open);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler)
{
    return std::exchange(Handler(), std::move(handler));
}
