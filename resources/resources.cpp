#include "resources.h"

// Q_INIT_RESOURCE must be used outside any namespace.
static void RegisterCompiledResources()
{
    Q_INIT_RESOURCE(murmurly);
}

void InitMurmurlyResources()
{
    static const bool registered = [] {
        RegisterCompiledResources();
        return true;
    }();
    (void)registered;
}

QIcon ApplicationIcon()
{
    InitMurmurlyResources();
    QIcon icon;
    for (int size : {16, 32, 64})
        icon.addFile(QStringLiteral(":/murmurly/murmurly-%1.png").arg(size), QSize(size, size));
    return icon;
}

QIcon ToolbarIcon(const QString& name)
{
    InitMurmurlyResources();
    return QIcon(QStringLiteral(":/murmurly/") + name + QStringLiteral(".png"));
}

QString SplashPicturePath()
{
    InitMurmurlyResources();
    return QStringLiteral(":/murmurly/splash.png");
}
