#pragma once

#include <QTemporaryDir>

// A real GNOME Keyring with an unlocked login keyring in a scratch folder,
// serving the Secret Service on the D-Bus session of the test. Run the test
// inside `dbus-run-session`: the daemon ends with that session, so nothing
// is left running. Make it before anything asks for a keyring.
class CKeyring
{
public:
    CKeyring();
    CKeyring(const CKeyring&) = delete;
    CKeyring& operator=(const CKeyring&) = delete;

    // The daemon answered on the session bus.
    bool IsRunning() const { return m_bRunning; }

private:
    QTemporaryDir m_home;
    bool m_bRunning = false;
};
