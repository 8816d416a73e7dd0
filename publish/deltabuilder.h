#ifndef DELTABUILDER_H
#define DELTABUILDER_H

#include "deltaindex.h"

#include <QString>

// Makes the delta that turns an earlier release into the new one: for each
// file that differs, a Zstandard frame made with the earlier file as its
// reference (long-distance matching, a window spanning both files), or the
// new file whole when that comes out smaller; new files whole; nothing for
// files that stay; and the index ("delta.json") of every path. The delta is
// written as "delta-FROM.zip" and its index, the same bytes, as
// "delta-FROM.json" beside it.
class DeltaBuilder
{
public:
    struct Delta
    {
        DeltaIndex::Offer offer; // what the manifest says of it
        // For the publisher's report: files patched, whole, left as they are.
        int patched = 0;
        int whole = 0;
        int unchanged = 0;
    };

    // previous: an earlier release as a folder or as its "app.zip", its version
    // read from its version file; newArchive: the new release's "app.zip".
    // False with *reason when either cannot be read or the delta not written.
    [[nodiscard]] static bool build(const QString &previous, const QString &newArchive,
        const QString &version, const QString &outputDir, Delta *delta, QString *reason);

    // One Zstandard frame of data; with a reference, a patch to be decoded
    // with the reference as its prefix.
    [[nodiscard]] static bool compressFrame(
        const QByteArray &data, const QByteArray *reference, QByteArray *frame, QString *reason);
};

#endif // DELTABUILDER_H
