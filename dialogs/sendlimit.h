#pragma once

class CNetMessage;
class QWidget;

// Every record built from text the user typed passes here before it is
// sent. True when the server takes it; otherwise the user is told "This
// message is too long to send." with its size and the limit, and the caller
// sends nothing and keeps what the user typed.
bool CheckSendable(const CNetMessage& msg, QWidget* parent = nullptr);
