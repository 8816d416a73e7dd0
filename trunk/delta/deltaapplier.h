#ifndef DELTAAPPLIER_H
#define DELTAAPPLIER_H

#include <QString>

#include <atomic>

class DeltaIndex;

// Turns a downloaded delta and the installation it was made from into the
// parts of the new release the installation lacks, in a staging folder:
// every patched or whole file (decoded as a stream, the installed file as
// the patch's reference), every folder that is new, every link that is new
// or points elsewhere. Each result is checked against its hash in the index.
// Memory: the largest patched file's installed version, the decoder's window
// and fixed buffers; never the whole delta. What it stages goes to the
// installer, whose swap puts it in place; it writes nothing else.
class DeltaApplier
{
public:
    // The index inside the delta at deltaPath, as it stands there.
    [[nodiscard]] static bool readIndex(
        const QString &deltaPath, QByteArray *json, QString *reason);

    // Makes stagingDir anew and stages into it; false with *reason when
    // anything fails (stagingDir is then left for the caller to remove).
    // Stops with a reason soon after *cancelled becomes true.
    [[nodiscard]] static bool apply(const QString &deltaPath, const DeltaIndex &index,
        const QString &appDir, const QString &stagingDir, QString *reason,
        const std::atomic<bool> *cancelled = nullptr);
};

#endif // DELTAAPPLIER_H
