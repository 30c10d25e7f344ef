#include "configdir.h"

#include <QDir>
#include <QFile>

CConfigDir::CConfigDir() : m_strPrevious(QDir::currentPath())
{
    if (m_dir.isValid())
        m_bEntered = QDir::setCurrent(m_dir.path());
}

CConfigDir::~CConfigDir()
{
    if (m_bEntered)
        QDir::setCurrent(m_strPrevious);
}

bool CConfigDir::WriteConfig(const QByteArray& contents)
{
    QFile file(m_dir.filePath(QStringLiteral("config.txt")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(contents) == contents.size();
}

bool CConfigDir::WriteConfig(const std::string& address, int port)
{
    return WriteConfig(ConfigText(address, port));
}

void CConfigDir::RemoveConfig()
{
    QFile::remove(m_dir.filePath(QStringLiteral("config.txt")));
}

QByteArray CConfigDir::ConfigText(const std::string& address, int port)
{
    return QByteArray("IP_ADDRESS=") + QByteArray::fromStdString(address) + QByteArray("\nPORT_NUM=") +
           QByteArray::number(port) + QByteArray("\n");
}
