#pragma once

#include <QIcon>
#include <QString>

// The pictures compiled into the client. A static library's resources must be
// registered once before use; every accessor below does so itself.
void InitMurmurlyResources();

// The application icon, a speech bubble, in all its sizes.
QIcon ApplicationIcon();
// A toolbar button picture by name: "login", "send", "addfriend",
// "preferences", "about".
QIcon ToolbarIcon(const QString& name);
// The resource path of the splash picture (520 by 317 pixels).
QString SplashPicturePath();
