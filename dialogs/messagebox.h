#pragma once

#include <QString>

#include <functional>

class QWidget;

// The caption of every message box of the client.
inline constexpr char kApplicationTitle[] = "Murmurly";

enum class MessageIcon {
    Exclamation, // the default: a box for which no icon is asked
    Stop,
    Question,
    Information,
};

enum class MessageButtons {
    Ok,
    OkCancel,
    YesNo,
    YesNoDefaultNo, // Yes/No with No as the default button, for risky questions
};

enum class MessageAnswer { Ok, Cancel, Yes, No };

// Everything a box shows; handed to the handler when one is installed.
struct CMessageBoxRequest
{
    QString caption;
    QString text;
    MessageIcon icon = MessageIcon::Exclamation;
    MessageButtons buttons = MessageButtons::Ok;
};

using MessageBoxHandler = std::function<MessageAnswer(const CMessageBoxRequest&)>;

// The one routine behind every message box of the client. The text is shown
// as plain text, never as markup. The box is
// application-modal and runs a nested event loop, so records from the server
// keep being dispatched while it is open. Returns the button pressed; closing
// the box counts as Cancel (OK/Cancel), No (Yes/No) or OK.
MessageAnswer ShowMessageBox(const QString& text, MessageButtons buttons = MessageButtons::Ok,
                             MessageIcon icon = MessageIcon::Exclamation, QWidget* parent = nullptr);

// Routes every box to `handler` instead of showing it (tests answer boxes this
// way); an empty handler shows real boxes again. Returns the previous handler.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);
