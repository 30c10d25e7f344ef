#pragma once

#include "logfont.h"

#include <cstdint>
#include <memory>
#include <string>

class QSettings;

// The stored preferences: the login group and the colour and font group.
// The session holds one; the preferences sheet and every conversation window
// work on copies.
class CUserSettings
{
public:
    virtual ~CUserSettings() = default;

    int m_nRememberLogin = 0;  // RememberLogin
    int m_nAutoLogin = 0;      // AutoLogin
    std::string m_strUserName; // UserName
    std::string m_strPassword; // Password, kept as typed
    uint32_t m_nColor = 0;     // Color: background, 0x00BBGGRR; 0 means not set
    CLogFont m_font;           // default conversation font; lfHeight is not stored
    std::string m_strFaceName; // FaceName as text
    uint32_t m_nFontColor = 0; // FontColor
    int32_t m_nHeight = 0;     // Height, in twentieths of a point
    int m_nNotify = 1;         // Settings/Notify NewMessages: a desktop notice for new messages
};

// Which groups SaveSettings writes.
enum SettingsGroup { SettingsAll = 0, SettingsLogin = 1, SettingsColorFonts = 2, SettingsNotify = 3 };

// The per-user settings root: organisation "Brambleworks", application
// "Murmurly", native format (~/.config/Brambleworks/Murmurly.conf here).
// The file holds a password, so it is kept readable by its owner only.
std::unique_ptr<QSettings> OpenSettingsRoot();
// Restricts the settings file to its owner; call after writing.
void ProtectSettingsFile(const QSettings& settings);

// Reads every value into `settings`. Missing or unreadable values read as 0
// or as the empty string (the notice switch reads as on); the user name and password are read only when
// RememberLogin is set, and otherwise keep their present values.
void ReadUserSettings(QSettings& store, CUserSettings& settings);

// Writes one group (SettingsLogin, SettingsColorFonts) or both (SettingsAll).
// Without RememberLogin the user name and password are written empty.
void WriteUserSettings(QSettings& store, const CUserSettings& settings, int group);
