#pragma once

#include <QString>

#include <optional>
#include <string>

class CUserSettings;
class QSettings;

// The desktop's keyring (the Secret Service: GNOME Keyring, KWallet,
// KeePassXC) through QtKeychain, for the remembered password. Every call
// waits for its answer in a local event loop (records are dispatched
// meanwhile, as in a message box), at most a few seconds: a keyring that
// does not answer counts as none.
class CSecretStore final
{
public:
    // Whether a keyring answers on this desktop; asked once per process.
    static bool Available();
    // The password kept for `user`; nothing when there is none.
    static std::optional<std::string> Read(const std::string& user);
    static bool Write(const std::string& user, const std::string& password);
    static bool Remove(const std::string& user);
};

// After ReadUserSettings: a remembered password kept in the keyring is read
// from there; one still in the settings file moves to the keyring, at the
// first start that finds one, and leaves the file. Without a keyring the
// file keeps it (readable by its owner only).
void ReadKeptPassword(QSettings& store, CUserSettings& settings);
// With WriteUserSettings of the login group, before the store is written
// out: the password goes to the keyring when one answers, and the file
// keeps none; without a keyring the file keeps it.
void KeepPassword(QSettings& store, const CUserSettings& settings);
// Where a remembered password is kept, for Preferences.
QString PasswordPlace();
