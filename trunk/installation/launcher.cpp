#include "launcher.h"

#include "installation.h"
#include "platform.h"
#include "releasefiles.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray runningLock(const QString &appDir)
{
    return QFile::encodeName(
        appDir + QLatin1Char('/') + QLatin1String(ReleaseFiles::applicationRunning));
}

// The descriptor the started program inherits (no close-on-exec), holding
// a shared lock; -1 when there is none, with one log line.
int openRunningLock(const QString &appDir)
{
    const QByteArray name = runningLock(appDir);
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0644);
    struct stat info = {};
    const bool usable = fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    // A checker holds it exclusively for an instant only.
    bool locked = false;
    for (int tries = 0; usable && !locked && tries < 100; ++tries) {
        locked = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
        if (!locked)
            ::usleep(10000);
    }
    if (locked)
        return fd;
    qDebug().noquote() << QStringLiteral("\"%1\" is not usable as a lock: a revert cannot tell "
                                         "whether this application still runs")
                              .arg(QFile::decodeName(name));
    if (fd >= 0)
        ::close(fd);
    return -1;
}

} // namespace

bool Launcher::applicationRunning(const QString &appDir)
{
    const int fd
        = ::open(runningLock(appDir).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info = {};
    const bool running = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)
        && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return running;
}

bool Launcher::waitsForApplication()
{
    return Platform::layout() == Platform::Layout::Windows;
}

bool Launcher::command(const QString &appDir, const QString &name, QString *program,
    QStringList *arguments, QString *reason)
{
    bool safe = !name.isEmpty() && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1String(".."));
    for (const QChar c : name)
        safe = safe && c.category() != QChar::Other_Control;
    if (!safe) {
        *reason = name.isEmpty()
            ? QStringLiteral("Application not started: no \"sappname\" in the configuration")
            : QStringLiteral("Application not started: the name \"%1\" could point outside \"%2\"")
                  .arg(name, appDir);
        return false;
    }
    // Program and arguments as a list: nothing in the name is ever split or
    // read as quoting.
    switch (Platform::layout()) {
    case Platform::Layout::Windows:
        *program = appDir + QLatin1Char('/') + Installation::programFolder() + QLatin1Char('/')
            + name + QLatin1String(".exe");
        *arguments = QStringList();
        break;
    case Platform::Layout::Linux:
        *program = appDir + QLatin1Char('/') + name;
        *arguments = QStringList();
        break;
    case Platform::Layout::Bundle:
        *program = QStringLiteral("open");
        *arguments = QStringList {appDir + QLatin1Char('/') + name + QLatin1String(".app")};
        break;
    }
    return true;
}

namespace {

QString describe(const QString &program, const QStringList &arguments)
{
    QString command = QLatin1Char('"') + program + QLatin1Char('"');
    for (const QString &argument : arguments)
        command += QLatin1String(" \"") + argument + QLatin1Char('"');
    return command;
}

// The Linux layout's program, started on its own: in a session of its own,
// outliving the updater, which does not wait for it. What a start cannot
// say afterwards (no such file, not executable) is checked first.
bool runDetached(const QString &program, const QStringList &arguments, const QString &runningIn,
    QString *reason)
{
    const QFileInfo info(program);
    QString why;
    if (!info.exists())
        why = QStringLiteral("no such file");
    else if (!info.isFile() || !info.isExecutable())
        why = QStringLiteral("not an executable file");
    if (why.isEmpty()) {
        QProcess process;
        process.setProgram(program);
        process.setArguments(arguments);
        const int running = runningIn.isEmpty() ? -1 : openRunningLock(runningIn);
        // The started program holds the lock from here on; this process
        // lets go of its share.
        const bool started = process.startDetached();
        if (running >= 0)
            ::close(running);
        if (started)
            return true;
        why = process.errorString();
    }
    *reason = QStringLiteral("Application not started: %1: %2")
                  .arg(describe(program, arguments), why);
    return false;
}

} // namespace

bool Launcher::run(const QString &program, const QStringList &arguments, const QString &runningIn,
    QString *reason, bool detached)
{
    if (Platform::layout() == Platform::Layout::Linux)
        return runDetached(program, arguments, runningIn, reason);
    if (detached && Platform::isWindows()) {
        // "open" hands the bundle over at once; a program is left running.
        const int running = runningIn.isEmpty() ? -1 : openRunningLock(runningIn);
        const bool started = QProcess::startDetached(program, arguments);
        if (running >= 0)
            ::close(running);
        if (!started)
            *reason = QStringLiteral("Application not started: \"%1\"").arg(program);
        return started;
    }
    // Blocks until the program returns, its output going to ours; with
    // "open" that is when the bundle has been handed over.
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    const int running = runningIn.isEmpty() ? -1 : openRunningLock(runningIn);
    process.start(program, arguments);
    const bool started = process.waitForStarted(-1);
    // The program holds the lock now; this process lets go of its share.
    if (running >= 0)
        ::close(running);
    if (started)
        process.waitForFinished(-1);
    QString what = QStringLiteral("Application not started");
    QString why;
    if (!started) {
        why = process.errorString();
    } else if (process.exitStatus() == QProcess::CrashExit) {
        what = QStringLiteral("Application crashed");
        why = process.errorString();
    } else if (Platform::layout() == Platform::Layout::Bundle && process.exitCode() != 0) {
        // "open" reports a bundle it could not start by its exit code; a
        // program started directly may end as it likes.
        why = QStringLiteral("exit code %1").arg(process.exitCode());
    }
    if (why.isEmpty())
        return true;
    *reason = QStringLiteral("%1: %2: %3").arg(what, describe(program, arguments), why);
    return false;
}
