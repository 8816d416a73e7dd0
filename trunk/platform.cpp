#include "platform.h"

#include <QGuiApplication>

namespace {
QString nameOverride;
}

QString Platform::name()
{
    if (!nameOverride.isNull())
        return nameOverride;
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
