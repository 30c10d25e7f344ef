#pragma once

#include <QSettings>
#include <QTemporaryDir>
#include <QtGlobal>

// Points the per-user settings and data (the conversation history) at a
// scratch folder for the life of the object, so a test never reads or writes
// the real home's. Make it before the first QSettings is opened:
// XDG_CONFIG_HOME and XDG_DATA_HOME are set for anything that reads them,
// and QSettings' own user path is moved as well.
class CSettingsHome
{
public:
    CSettingsHome()
    {
        m_previous = qgetenv("XDG_CONFIG_HOME");
        m_hadPrevious = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
        m_previousData = qgetenv("XDG_DATA_HOME");
        m_hadPreviousData = qEnvironmentVariableIsSet("XDG_DATA_HOME");
        qputenv("XDG_CONFIG_HOME", m_dir.path().toLocal8Bit());
        qputenv("XDG_DATA_HOME", DataHome().toLocal8Bit());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    }
    ~CSettingsHome()
    {
        if (m_hadPrevious)
            qputenv("XDG_CONFIG_HOME", m_previous);
        else
            qunsetenv("XDG_CONFIG_HOME");
        if (m_hadPreviousData)
            qputenv("XDG_DATA_HOME", m_previousData);
        else
            qunsetenv("XDG_DATA_HOME");
    }
    CSettingsHome(const CSettingsHome&) = delete;
    CSettingsHome& operator=(const CSettingsHome&) = delete;

    bool IsValid() const { return m_dir.isValid(); }
    QString Path() const { return m_dir.path(); }
    // The settings file the client writes: Brambleworks/Murmurly.conf.
    QString SettingsFile() const { return m_dir.path() + QStringLiteral("/Brambleworks/Murmurly.conf"); }
    // XDG_DATA_HOME while the object lives (made when first needed).
    QString DataHome() const { return m_dir.path() + QStringLiteral("/data"); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
    bool m_hadPrevious = false;
    QByteArray m_previousData;
    bool m_hadPreviousData = false;
};

// Stores a remembered login with automatic login, as a login with both boxes
// ticked leaves it: what a start-up that logs in by itself reads.
inline void StoreRememberedLogin(const QString& name, const QString& password)
{
    QSettings store(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Brambleworks"),
                    QStringLiteral("Murmurly"));
    store.setValue(QStringLiteral("Settings/Login/RememberLogin"), 1);
    store.setValue(QStringLiteral("Settings/Login/AutoLogin"), 1);
    store.setValue(QStringLiteral("Settings/Login/UserName"), name);
    store.setValue(QStringLiteral("Settings/Login/Password"), password);
}
