#include "cappedfile.h"

CappedFile::CappedFile(const QString &name, qint64 cap)
    : QFile(name)
    , limit(cap)
{
}

qint64 CappedFile::writeData(const char *data, qint64 len)
{
    if (len > limit - written) {
        setErrorString(QStringLiteral("more than %1 bytes arrived").arg(limit));
        return -1;
    }
    const qint64 n = QFile::writeData(data, len);
    if (n > 0)
        written += n;
    return n;
}
