#include "cappedfile.h"

CappedFile::CappedFile(const QString &name, qint64 cap)
    : QFile(name)
    , limit(cap)
{
}

bool CappedFile::admits(qint64 announced)
{
    if (announced <= limit)
        return !tooLarge;
    if (!tooLarge)
        excessText = QStringLiteral("announces %1 bytes, more than %2").arg(announced).arg(limit);
    tooLarge = true;
    return false;
}

qint64 CappedFile::writeData(const char *data, qint64 length)
{
    // Nothing of a piece that would pass the cap is written: the file keeps
    // at most the cap, and the writer sees the failure at once.
    if (tooLarge || length > limit - written) {
        if (!tooLarge)
            excessText = QStringLiteral("holds more than %1 bytes").arg(limit);
        tooLarge = true;
        setErrorString(excessText);
        return -1;
    }
    const qint64 n = QFile::writeData(data, length);
    if (n > 0)
        written += n;
    return n;
}
