#include "platform.h"

#include <QCoreApplication>
#include <QGuiApplication>

namespace {
QString nameOverride;
bool linuxChosen = false;
} // namespace

QString Platform::name()
{
    if (!nameOverride.isNull())
        return nameOverride;
    // Without a GUI application (`Updater --confirm` runs without one) there
    // is no platform plugin to ask; the platform built for stands in.
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
#ifdef Q_OS_WIN
        return QStringLiteral("windows");
#else
        return QString();
#endif
    }
    return QGuiApplication::platformName();
}

bool Platform::isWindows()
{
    return name() == QLatin1String("windows");
}

Platform::Layout Platform::layout()
{
    if (linuxChosen)
        return Layout::Linux;
    return isWindows() ? Layout::Windows : Layout::Bundle;
}

QString Platform::serverFolderSuffix()
{
    switch (layout()) {
    case Layout::Windows:
        return QStringLiteral("_win32");
    case Layout::Linux:
        return QStringLiteral("_linux");
    case Layout::Bundle:
        break;
    }
    return QStringLiteral("_mac");
}

bool Platform::choosesLinux(const QString &value)
{
    return value == QLatin1String("linux");
}

bool Platform::chooseLayout(const QString &value)
{
    linuxChosen = choosesLinux(value);
    return linuxChosen || value.isEmpty();
}

void Platform::setNameForTesting(const QString &platformName)
{
    nameOverride = platformName;
    if (platformName.isNull())
        linuxChosen = false;
}
