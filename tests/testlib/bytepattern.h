#ifndef TESTLIB_BYTEPATTERN_H
#define TESTLIB_BYTEPATTERN_H

#include <QByteArray>
#include <QRandomGenerator>

#include <algorithm>
#include <cstring>

// `size` varied but reproducible bytes; `seed` shifts them, so that pieces
// of one transfer differ.
inline QByteArray pattern(int size, int seed = 0)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251 + seed) & 0xff);
    return bytes;
}

// `size` bytes no compressor shrinks, the same for the same seed: a
// release's payload whose archive is as large as the payload.
inline QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (int i = 0; i < size; i += 4) {
        const quint32 word = generator();
        std::memcpy(bytes.data() + i, &word, size_t(std::min(4, size - i)));
    }
    return bytes;
}

#endif // TESTLIB_BYTEPATTERN_H
