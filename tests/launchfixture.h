#ifndef TESTS_LAUNCHFIXTURE_H
#define TESTS_LAUNCHFIXTURE_H

// Shared by the window and launch tests: the project's "open" stand-in first
// on PATH, a record of what it received, small programs to be started, and
// the updater placed inside an installation.

#include "dirmanager.h"
#include "layout.h"
#include "platform.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextStream>

class OpenRecorder
{
public:
    OpenRecorder()
    {
        static const bool onPath = [] {
            const QString bin = QDir::cleanPath(QStringLiteral(TESTLIB_DIR "/../../scripts/bin"));
            qputenv("PATH", QFile::encodeName(bin) + ':' + qgetenv("PATH"));
            return true;
        }();
        Q_UNUSED(onPath);
        logPath = dir.filePath(QStringLiteral("open.log"));
        qputenv("UPDATER_OPEN_LOG", QFile::encodeName(logPath));
    }
    ~OpenRecorder() { qunsetenv("UPDATER_OPEN_LOG"); }

    // One entry per call of "open": its arguments.
    QList<QStringList> calls() const
    {
        QList<QStringList> result;
        QFile log(logPath);
        if (!log.open(QIODevice::ReadOnly))
            return result;
        for (const QByteArray &line : log.readAll().split('\n')) {
            if (!line.isEmpty())
                result.append(QString::fromLocal8Bit(line).split(QLatin1Char('\t')));
        }
        return result;
    }

private:
    QTemporaryDir dir;
    QString logPath;
};

// A program that appends "<tag> started" to markerPath and exits with
// exitCode; a negative one is the signal it then kills itself with.
inline bool writeProgram(
    const QString &path, const QString &markerPath, const QString &tag, int exitCode = 0)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QTextStream(&file) << "#!/bin/sh\necho '" << tag << " started' >> '" << markerPath << "'\n"
                       << (exitCode < 0 ? QStringLiteral("kill -%1 $$\n").arg(-exitCode)
                                        : QStringLiteral("exit %1\n").arg(exitCode));
    file.close();
    return file.setPermissions(
        file.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

// NAME.app/Contents/MacOS/NAME inside dir.
inline QString bundleExecutable(const QString &dir, const QString &name)
{
    return dir + QLatin1Char('/') + name + QLatin1String(".app/Contents/MacOS/") + name;
}

// Switches to the platform (or "linux", useLayout()) and places the
// updater's executable inside the installation appDir: beside the
// application on Windows and on Linux (with the config.conf choosing that
// layout), otherwise in appDir/Updater.app/Contents/MacOS.
inline bool placeUpdater(const QString &appDir, const QString &platform)
{
    useLayout(platform);
    const QString dir = Platform::layout() == Platform::Layout::Bundle
        ? appDir + QLatin1String("/Updater.app/Contents/MacOS")
        : appDir;
    DirManager::setApplicationDirPathForTesting(dir);
    if (!QDir().mkpath(dir))
        return false;
    if (Platform::layout() != Platform::Layout::Linux)
        return true;
    QFile config(appDir + QLatin1String("/config.conf"));
    return config.open(QIODevice::WriteOnly) && config.write("slayout==linux\n") > 0;
}

inline QString readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

#endif // TESTS_LAUNCHFIXTURE_H
