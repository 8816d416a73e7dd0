#include "launcher.h"

#include "platform.h"

#include <QProcess>

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
    if (Platform::isWindows()) {
        *program = appDir + QLatin1String("/Bin/") + name + QLatin1String(".exe");
        *arguments = QStringList();
    } else {
        *program = QStringLiteral("open");
        *arguments = QStringList {appDir + QLatin1Char('/') + name + QLatin1String(".app")};
    }
    return true;
}

bool Launcher::run(const QString &program, const QStringList &arguments, QString *reason)
{
    // Blocks until the program returns, its output going to ours; with
    // "open" that is when the bundle has been handed over.
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, arguments);
    const bool started = process.waitForStarted(-1);
    if (started)
        process.waitForFinished(-1);
    QString what = QStringLiteral("Application not started");
    QString why;
    if (!started) {
        why = process.errorString();
    } else if (process.exitStatus() == QProcess::CrashExit) {
        what = QStringLiteral("Application crashed");
        why = process.errorString();
    } else if (!Platform::isWindows() && process.exitCode() != 0) {
        // "open" reports a bundle it could not start by its exit code; a
        // program started directly may end as it likes.
        why = QStringLiteral("exit code %1").arg(process.exitCode());
    }
    if (why.isEmpty())
        return true;
    QString command = QLatin1Char('"') + program + QLatin1Char('"');
    for (const QString &argument : arguments)
        command += QLatin1String(" \"") + argument + QLatin1Char('"');
    *reason = QStringLiteral("%1: %2: %3").arg(what, command, why);
    return false;
}
