#include "dirmanager.h"

#include "platform.h"
#include "settings.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>

namespace {
QString applicationDirOverride;

QString applicationDirPath()
{
    if (!applicationDirOverride.isNull())
        return applicationDirOverride;
    return QCoreApplication::applicationDirPath();
}
} // namespace

void DirManager::setApplicationDirPathForTesting(const QString &path)
{
    applicationDirOverride = path;
}

QString DirManager::getAppDir()
{
    if (Platform::isWindows())
        return applicationDirPath();

    // A Linux installation keeps the updater beside the application, with
    // the config.conf that chooses that layout.
    const QString own = applicationDirPath();
    if (Platform::choosesLinux(Settings::layoutIn(own))) {
        qDebug() << own;
        return own;
    }

    QDir dir(applicationDirPath());
    // A step that cannot go further up (near the root) is simply skipped.
    dir.cdUp();
    dir.cdUp();
    dir.cdUp();
    const QString path = dir.absolutePath();
    qDebug() << path;
    return path;
}
