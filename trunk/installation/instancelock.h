#ifndef INSTANCELOCK_H
#define INSTANCELOCK_H

#include <QString>

// Keeps two updaters of one installation apart, so that two never share
// "new_version.ver", "app.zip", the recovery or the install.
//
// The lock is the operating system's advisory lock on the open file
// "updater.lock" in the application directory (flock on POSIX): the system
// drops it when the holder's file is closed, which its death does too.
// Whatever the file holds (nothing, half a line, a lock of another machine
// or of a process long gone) never keeps an updater out; only a lock held
// by a running updater does. The lock belongs to the open file, not to the
// process: a second open of the same file, in this process or another, is
// kept out as well. It is not handed down to the programs the updater starts.
class InstanceLock
{
public:
    enum Result {
        Acquired,
        // Another running updater holds it.
        HeldByAnother,
        // The folder cannot be written (permission denied, read-only file
        // system): such an updater may check and launch, never install.
        NotWritable,
        // Any other failure (a full disk, an I/O error): no install either.
        Failed
    };

    explicit InstanceLock(const QString &appDir);
    // The same lock on another file of the application directory.
    InstanceLock(const QString &appDir, const char *name);
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // Tries once, without waiting. Unless Acquired, *reason is one short line
    // (not logged here). Once acquired, the file holds this process's id, for
    // people looking at it; nothing reads it back as the lock.
    Result acquire(QString *reason);
    // Lets go of the lock before this object ends (a run that goes on in
    // the background, holding a lock of its own).
    void release();

    static QString fileName(const QString &appDir);
    // The lock's name in the application directory: "updater.lock".
    static const char baseName[];

private:
    const QString path;
    int fd = -1;
};

#endif // INSTANCELOCK_H
