#ifndef INSTANCELOCK_H
#define INSTANCELOCK_H

#include <QLockFile>
#include <QString>

// Keeps two updaters of one installation apart: a lock file in the
// application directory, held from acquire() until the object is destroyed,
// so that two never share "new_version.ver", "app.zip" or the unpacking.
class InstanceLock
{
public:
    explicit InstanceLock(const QString &appDir);
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // False only when another running updater holds the lock (logged). A
    // lock file that cannot be created at all (a directory this user may not
    // write) is logged and tolerated: such an updater cannot write anything
    // another one could trip over, and it still has to start the application.
    bool acquire();

    static QString fileName(const QString &appDir);
    // The lock's name in the application directory: "updater.lock".
    static const char baseName[];

private:
    QLockFile lock;
};

#endif // INSTANCELOCK_H
