#include "instancelock.h"

#include <QFile>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

// POSIX only, like the rest of the updater's builds; a Windows build would
// open the file with CreateFileW (not inheritable) and take LockFileEx with
// LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, which the system
// likewise drops when the handle is closed or its process ends.

const char InstanceLock::baseName[] = "updater.lock";

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The process id a holder wrote, for the message only; empty when the file
// holds none.
QString holderId(int fd)
{
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n <= 0)
        return QString();
    bool ok = false;
    const qint64 pid = QByteArray(text, int(n)).trimmed().toLongLong(&ok);
    return ok && pid > 0 ? QString::number(pid) : QString();
}

} // namespace

InstanceLock::InstanceLock(const QString &appDir)
    : path(fileName(appDir))
{
}

InstanceLock::InstanceLock(const QString &appDir, const char *name)
    : path(appDir + QLatin1Char('/') + QLatin1String(name))
{
}

void InstanceLock::release()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

InstanceLock::~InstanceLock()
{
    // Closing the file releases the lock; the file itself stays, since
    // removing it could let a later updater lock a new file while another
    // still holds the old one.
    if (fd >= 0)
        ::close(fd);
}

QString InstanceLock::fileName(const QString &appDir)
{
    return appDir + QLatin1Char('/') + QLatin1String(baseName);
}

InstanceLock::Result InstanceLock::acquire(QString *reason)
{
    if (fd >= 0)
        return Acquired;
    const QByteArray name = QFile::encodeName(path);
    // Close-on-exec: the application the updater starts must not inherit the
    // lock and keep the next updater out for as long as it runs.
    bool writable = true;
    fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    const int openError = errno;
    if (fd < 0 && openError == EACCES) {
        // Another user's lock file in a folder we may write: the lock works
        // on a file opened for reading just as well.
        fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        writable = false;
    }
    if (fd < 0) {
        *reason = QStringLiteral("cannot open the lock file \"%1\": %2")
                      .arg(path, systemReason(openError));
        return openError == EACCES || openError == EPERM || openError == EROFS ? NotWritable
                                                                               : Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        const QString pid = holderId(fd);
        ::close(fd);
        fd = -1;
        if (error == EWOULDBLOCK) {
            *reason = pid.isEmpty()
                ? QStringLiteral("Another updater is working in this installation")
                : QStringLiteral("Another updater (process %1) is working in this installation")
                      .arg(pid);
            return HeldByAnother;
        }
        *reason = QStringLiteral("cannot lock \"%1\": %2").arg(path, systemReason(error));
        return Failed;
    }
    if (writable) {
        // For people reading the file; a failure here changes nothing.
        const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
        if (::ftruncate(fd, 0) == 0) {
            const ssize_t written = ::pwrite(fd, pid.constData(), size_t(pid.size()), 0);
            Q_UNUSED(written);
        }
    }
    return Acquired;
}
