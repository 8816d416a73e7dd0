#include "cappedfile.h"

CappedFile::CappedFile(const QString &name, qint64 cap)
    : QFile(name)
    , limit(cap)
{
}

void CappedFile::setCap(qint64 cap)
{
    limit = cap;
    tooLarge = false;
    excessText.clear();
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
    // Nothing of a piece that would pass the cap is written (it goes at
    // pos(), after the bytes already there): the file keeps at most the
    // cap, and the writer sees the failure at once.
    if (tooLarge || length > limit - pos()) {
        if (!tooLarge)
            excessText = QStringLiteral("holds more than %1 bytes").arg(limit);
        tooLarge = true;
        setErrorString(excessText);
        return -1;
    }
    return QFile::writeData(data, length);
}
