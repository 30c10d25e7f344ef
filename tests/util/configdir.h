#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <string>

// A scratch folder made the current directory for the life of the object,
// optionally holding a config.txt; the previous directory comes back after.
class CConfigDir
{
public:
    CConfigDir();
    ~CConfigDir();

    CConfigDir(const CConfigDir&) = delete;
    CConfigDir& operator=(const CConfigDir&) = delete;

    bool IsValid() const { return m_dir.isValid() && m_bEntered; }
    QString Path() const { return m_dir.path(); }

    // Writes config.txt with exactly these bytes.
    bool WriteConfig(const QByteArray& contents);
    // Writes the usual two lines, IP_ADDRESS and PORT_NUM, each ending in a line feed.
    bool WriteConfig(const std::string& address, int port);
    void RemoveConfig();

    static QByteArray ConfigText(const std::string& address, int port);

private:
    QTemporaryDir m_dir;
    QString m_strPrevious;
    bool m_bEntered = false;
};
