#include "platform.h"

#include <QCoreApplication>
#include <QGuiApplication>

namespace {
QString nameOverride;
}

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

void Platform::setNameForTesting(const QString &platformName)
{
    nameOverride = platformName;
}
