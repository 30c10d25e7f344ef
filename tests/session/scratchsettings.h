#pragma once

#include <QApplication>
#include <QFile>
#include <QSettings>
#include <QString>
#include <QTemporaryDir>
#include <QtTest>

// The client's settings (QSettings "Brambleworks", "Murmurly", native
// format) and data (the conversation history) in a scratch folder for the
// life of the object, never in the user's own. QSettings takes its folder once, on first use: make this
// before the application object and before anything opens settings.
class CScratchSettings
{
public:
    CScratchSettings()
    {
        if (!m_dir.isValid())
            return;
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path() + QStringLiteral("/data")));
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_dir.path());
    }

    CScratchSettings(const CScratchSettings&) = delete;
    CScratchSettings& operator=(const CScratchSettings&) = delete;

    bool IsValid() const { return m_dir.isValid(); }
    QString Path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
};

// QTEST_MAIN with a widget application whose settings live in a scratch
// folder made before anything can read them.
#define SESSION_TEST_MAIN(TestObject)                                                                        \
    int main(int argc, char* argv[])                                                                         \
    {                                                                                                        \
        CScratchSettings scratchSettings;                                                                    \
        QApplication app(argc, argv);                                                                        \
        TestObject tc;                                                                                       \
        QTEST_SET_MAIN_SOURCE_PATH                                                                           \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }
