#pragma once

#include <functional>

class QWidget;

// Shows `window` and raises it over the program's other windows without
// giving it the keyboard focus: for windows that a record from the server
// brings up while the user may be typing elsewhere, where their Enter must
// not land. When no window of the program is active, the window asks for the
// user's attention instead (the urgency hint).
void ShowWithoutFocus(QWidget* window);
// The same without the request for attention, for callers that decide it
// themselves.
void BringForwardWithoutFocus(QWidget* window);
// Asks for the user's attention for `window` (the urgency hint).
void RequestAttention(QWidget* window);

// Where the request for attention goes: QApplication::alert unless a test
// puts its own handler in. Returns the previous handler.
using AlertHandler = std::function<void(QWidget*)>;
AlertHandler SetAlertHandler(AlertHandler handler);
