#ifndef TESTLIB_FILES_H
#define TESTLIB_FILES_H

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <sys/stat.h>

// Writes data as the whole file at path, making its folder first; with
// `mode` (as chmod takes it) given, the file gets exactly that mode.
inline bool writeFile(const QString &path, const QByteArray &data, int mode = -1)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size()
        && (mode < 0 || ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0);
}

// The file's bytes; empty when it cannot be read.
inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

#endif // TESTLIB_FILES_H
