#include "sendlimit.h"

#include "messagebox.h"
#include "wire.h"

bool CheckSendable(const CNetMessage& msg, QWidget* parent)
{
    const std::size_t size = OversizedString(msg);
    if (size == 0)
        return true;
    ShowMessageBox(
        QStringLiteral("This message is too long to send.\nIts size is %1 bytes; the limit is %2 bytes.")
            .arg(size)
            .arg(kServerLimits.maxString),
        MessageButtons::Ok, MessageIcon::Exclamation, parent);
    return false;
}
