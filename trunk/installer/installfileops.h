#ifndef INSTALLFILEOPS_H
#define INSTALLFILEOPS_H

#include <QFile>
#include <QString>

// Every change the installer makes to the disk goes through one of these, so
// that a test can make any single one of them fail, or stop the work dead at
// it. Each failure keeps the first reason, with the system's own words.
class InstallFileOps
{
public:
    InstallFileOps();

    // True when a test stopped the work: nothing more may touch the disk.
    bool stopped = false;
    // Why the first failed operation failed.
    QString error;

    bool makePath(const QString &path);
    bool removeDir(const QString &path);
    // A file, a link, or a folder with everything in it; nothing there is fine.
    bool removeTree(const QString &path);
    // Never replaces what is at `to`.
    bool rename(const QString &from, const QString &to);
    // Puts `from` over whatever file or link is at `to` in one step.
    bool renameOver(const QString &from, const QString &to);
    // A second name for the file or link at `from` (never following it); a
    // copy where the file system has no hard links, made under `scratch` and
    // renamed to `to`, so that `to` exists only once whole.
    bool linkOrCopy(const QString &from, const QString &to, const QString &scratch);
    bool create(QFile &file);
    // One operation for all the writes of a file.
    bool startWriting(const QFile &file);
    bool setMode(const QString &path, int mode);
    bool makeLink(const QString &target, const QString &path);
    bool sync(const QString &path);
    bool writeWhole(const QString &path, const QByteArray &data);
    bool remove(const QString &path);

    // Records a failure found by the caller (a damaged entry, a refused link).
    bool refuse(const QString &reason);
    // The message with the path and the system's reason (errno) filled in.
    bool fail(const QString &message, const QString &path);

    // The test seam behind Installer::setFaultForTesting().
    static void setFault(int operation, bool stop);
    static int operations();

private:
    bool allowed();
};

#endif // INSTALLFILEOPS_H
