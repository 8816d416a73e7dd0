#include "instancelock.h"

#include <QDebug>

const char InstanceLock::baseName[] = "updater.lock";

InstanceLock::InstanceLock(const QString &appDir)
    : lock(fileName(appDir))
{
    // An updater may wait on its question for hours: only a lock whose
    // process is gone counts as stale, never one that is merely old.
    lock.setStaleLockTime(0);
}

QString InstanceLock::fileName(const QString &appDir)
{
    return appDir + QLatin1Char('/') + QLatin1String(baseName);
}

bool InstanceLock::acquire()
{
    if (lock.tryLock(0))
        return true;
    if (lock.error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host, application;
        lock.getLockInfo(&pid, &host, &application);
        qDebug().nospace() << "Another updater (process " << pid
                           << ") is working in this installation; exiting";
        return false;
    }
    qDebug() << "Lock file not created, going on without it:"
             << (lock.error() == QLockFile::PermissionError ? "permission denied"
                                                            : "unknown error");
    return true;
}
