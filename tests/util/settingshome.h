#pragma once

#include <QSettings>
#include <QTemporaryDir>
#include <QtGlobal>

// Points the per-user settings at a scratch folder for the life of the
// object, so a test never reads or writes the real home's settings. Make it
// before the first QSettings is opened: XDG_CONFIG_HOME is set for anything
// that reads it, and QSettings' own user path is moved as well.
class CSettingsHome
{
public:
    CSettingsHome()
    {
        m_previous = qgetenv("XDG_CONFIG_HOME");
        m_hadPrevious = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", m_dir.path().toLocal8Bit());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    }
    ~CSettingsHome()
    {
        if (m_hadPrevious)
            qputenv("XDG_CONFIG_HOME", m_previous);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    CSettingsHome(const CSettingsHome&) = delete;
    CSettingsHome& operator=(const CSettingsHome&) = delete;

    bool IsValid() const { return m_dir.isValid(); }
    QString Path() const { return m_dir.path(); }
    // The settings file the client writes: Brambleworks/Murmurly.conf.
    QString SettingsFile() const { return m_dir.path() + QStringLiteral("/Brambleworks/Murmurly.conf"); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious = false;
};
