#ifndef TESTLIB_BYTEPATTERN_H
#define TESTLIB_BYTEPATTERN_H

#include <QByteArray>

// `size` varied but reproducible bytes; `seed` shifts them, so that pieces
// of one transfer differ.
inline QByteArray pattern(int size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251 + seed) & 0xff);
    return bytes;
}

#endif // TESTLIB_BYTEPATTERN_H
