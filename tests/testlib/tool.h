#ifndef TESTLIB_TOOL_H
#define TESTLIB_TOOL_H

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// A command-line program run to its end (the minisign tool, updater-publish),
// with bytes for its standard input and an environment of its own.
struct Tool
{
    int exitCode = -1;
    QByteArray output; // standard output and error together

    bool run(const QString &program, const QStringList &args, const QByteArray &input = {},
        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
        int timeoutMs = 120000)
    {
        QProcess p;
        p.setProcessEnvironment(environment);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(program, args);
        if (!p.waitForStarted(10000)) {
            output = p.errorString().toLocal8Bit();
            return false;
        }
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(timeoutMs);
        output = p.readAll();
        exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return exitCode == 0;
    }

    static QByteArray read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

    static bool write(const QString &path, const QByteArray &data)
    {
        QFile f(path);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(data) == data.size();
    }
};

#endif // TESTLIB_TOOL_H
