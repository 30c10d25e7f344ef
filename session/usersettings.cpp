#include "usersettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QString>

#include <algorithm>
#include <cstring>

namespace {

const QString kLoginGroup = QStringLiteral("Settings/Login");
const QString kColorGroup = QStringLiteral("Settings/ColorFonts");
const QString kFontGroup = QStringLiteral("Settings/ColorFonts/Font");
const QString kNotifyGroup = QStringLiteral("Settings/Notify");
const QString kNotifyKey = QStringLiteral("NewMessages");

int ReadInt(const QSettings& store, const QString& key)
{
    bool ok = false;
    const int v = store.value(key).toInt(&ok);
    return ok ? v : 0;
}

std::string ReadString(const QSettings& store, const QString& key)
{
    return store.value(key).toString().toStdString();
}

uint8_t ReadByte(const QSettings& store, const QString& key)
{
    return static_cast<uint8_t>(ReadInt(store, key) & 0xFF);
}

// Copies at most 31 bytes of `name` into the font's face array, never
// splitting a UTF-8 sequence.
void SetFaceName(CLogFont& font, const std::string& name)
{
    std::size_t n = std::min<std::size_t>(name.size(), CLogFont::kFaceSize - 1);
    while (n > 0 && n < name.size() && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80)
        --n;
    std::memset(font.lfFaceName, 0, sizeof font.lfFaceName);
    std::memcpy(font.lfFaceName, name.data(), n);
}

QString FromUtf8(const std::string& s)
{
    return QString::fromStdString(s);
}

} // namespace

std::unique_ptr<QSettings> OpenSettingsRoot()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("Brambleworks"), QStringLiteral("Murmurly"));
}

void ProtectSettingsFile(const QSettings& settings)
{
    const QString path = settings.fileName();
    if (QFile::exists(path))
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void ReadUserSettings(QSettings& store, CUserSettings& s)
{
    store.beginGroup(kLoginGroup);
    s.m_nRememberLogin = ReadInt(store, QStringLiteral("RememberLogin"));
    s.m_nAutoLogin = ReadInt(store, QStringLiteral("AutoLogin"));
    if (s.m_nRememberLogin != 0) {
        s.m_strUserName = ReadString(store, QStringLiteral("UserName"));
        s.m_strPassword = ReadString(store, QStringLiteral("Password"));
    }
    store.endGroup();

    store.beginGroup(kColorGroup);
    s.m_nColor = static_cast<uint32_t>(ReadInt(store, QStringLiteral("Color")));
    store.endGroup();

    store.beginGroup(kFontGroup);
    CLogFont& f = s.m_font;
    f.lfWidth = ReadInt(store, QStringLiteral("Width"));
    f.lfEscapement = ReadInt(store, QStringLiteral("Escapement"));
    f.lfOrientation = ReadInt(store, QStringLiteral("Orientation"));
    f.lfWeight = ReadInt(store, QStringLiteral("Weight"));
    f.lfItalic = ReadByte(store, QStringLiteral("Italic"));
    f.lfUnderline = ReadByte(store, QStringLiteral("Underline"));
    f.lfStrikeOut = ReadByte(store, QStringLiteral("Strikeout"));
    f.lfCharSet = ReadByte(store, QStringLiteral("Charset"));
    f.lfOutPrecision = ReadByte(store, QStringLiteral("OutPrecision"));
    f.lfClipPrecision = ReadByte(store, QStringLiteral("ClipPrecision"));
    f.lfQuality = ReadByte(store, QStringLiteral("Quality"));
    f.lfPitchAndFamily = ReadByte(store, QStringLiteral("PitchAndFamily"));
    const std::string face = ReadString(store, QStringLiteral("FaceName"));
    SetFaceName(f, face);
    s.m_nFontColor = static_cast<uint32_t>(ReadInt(store, QStringLiteral("FontColor")));
    s.m_nHeight = ReadInt(store, QStringLiteral("Height"));
    store.endGroup();
    s.m_strFaceName = face;

    // Notices are on unless the user turned them off.
    store.beginGroup(kNotifyGroup);
    bool ok = false;
    const int notify = store.value(kNotifyKey, 1).toInt(&ok);
    s.m_nNotify = ok ? notify : 1;
    store.endGroup();
}

void WriteUserSettings(QSettings& store, const CUserSettings& s, int group)
{
    // Create the file owner-only before the first value reaches it; later
    // rewrites keep the permissions of the file they replace.
    if (!QFile::exists(store.fileName())) {
        QFile file(store.fileName());
        QDir().mkpath(QFileInfo(store.fileName()).absolutePath());
        if (file.open(QIODevice::WriteOnly))
            file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    if (group == SettingsAll || group == SettingsLogin) {
        store.beginGroup(kLoginGroup);
        store.setValue(QStringLiteral("AutoLogin"), s.m_nAutoLogin);
        store.setValue(QStringLiteral("RememberLogin"), s.m_nRememberLogin);
        const bool remember = s.m_nRememberLogin != 0;
        store.setValue(QStringLiteral("UserName"), remember ? FromUtf8(s.m_strUserName) : QString());
        store.setValue(QStringLiteral("Password"), remember ? FromUtf8(s.m_strPassword) : QString());
        store.endGroup();
    }
    if (group == SettingsAll || group == SettingsColorFonts) {
        store.beginGroup(kColorGroup);
        store.setValue(QStringLiteral("Color"), static_cast<int>(s.m_nColor));
        store.endGroup();

        const CLogFont& f = s.m_font;
        store.beginGroup(kFontGroup);
        store.setValue(QStringLiteral("Height"), s.m_nHeight);
        store.setValue(QStringLiteral("Width"), f.lfWidth);
        store.setValue(QStringLiteral("Escapement"), f.lfEscapement);
        store.setValue(QStringLiteral("Orientation"), f.lfOrientation);
        store.setValue(QStringLiteral("Weight"), f.lfWeight);
        store.setValue(QStringLiteral("Italic"), f.lfItalic);
        store.setValue(QStringLiteral("Underline"), f.lfUnderline);
        store.setValue(QStringLiteral("Strikeout"), f.lfStrikeOut);
        store.setValue(QStringLiteral("Charset"), f.lfCharSet);
        store.setValue(QStringLiteral("OutPrecision"), f.lfOutPrecision);
        store.setValue(QStringLiteral("ClipPrecision"), f.lfClipPrecision);
        store.setValue(QStringLiteral("Quality"), f.lfQuality);
        store.setValue(QStringLiteral("PitchAndFamily"), f.lfPitchAndFamily);
        store.setValue(
            QStringLiteral("FaceName"),
            QString::fromUtf8(f.lfFaceName, static_cast<int>(strnlen(f.lfFaceName, CLogFont::kFaceSize))));
        store.setValue(QStringLiteral("FontColor"), static_cast<int>(s.m_nFontColor));
        store.endGroup();
    }
    if (group == SettingsAll || group == SettingsNotify) {
        store.beginGroup(kNotifyGroup);
        store.setValue(kNotifyKey, s.m_nNotify);
        store.endGroup();
    }
    store.sync();
    ProtectSettingsFile(store);
}
