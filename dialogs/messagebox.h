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
    // A quiet box (ShowQuietMessageBox): it neither waits nor takes the keyboard.
    bool quiet = false;
};

using MessageBoxHandler = std::function<MessageAnswer(const CMessageBoxRequest&)>;

// The one routine behind every message box of the client. The text is shown
// as plain text, never as markup. The box is
// application-modal and runs a nested event loop, so records from the server
// keep being dispatched while it is open. Returns the button pressed; closing
// the box counts as Cancel (OK/Cancel), No (Yes/No) or OK.
MessageAnswer ShowMessageBox(const QString& text, MessageButtons buttons = MessageButtons::Ok,
                             MessageIcon icon = MessageIcon::Exclamation, QWidget* parent = nullptr);

// A box with an OK button that neither waits nor takes the keyboard: it comes
// up beside the window the user types in, which keeps the focus, and stays
// until its OK or CloseQuietMessageBoxes. For notices that the program may
// take back by itself, such as those of an outage that has ended. With a
// handler installed the handler gets it, `quiet` set, and its answer is not
// used.
void ShowQuietMessageBox(const QString& text, MessageIcon icon = MessageIcon::Exclamation);
// Closes every quiet box still open.
void CloseQuietMessageBoxes();
// The quiet boxes open now; with a handler, those it was given since the
// last CloseQuietMessageBoxes.
int QuietMessageBoxCount();

// Routes every box to `handler` instead of showing it (tests answer boxes this
// way); an empty handler shows real boxes again. Returns the previous handler.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);
