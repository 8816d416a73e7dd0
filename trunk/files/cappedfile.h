#ifndef CAPPEDFILE_H
#define CAPPEDFILE_H

#include <QFile>

// A download target that never holds more than a set number of bytes: a
// write that would pass the cap fails as a full disk would (so a transfer
// into it stops at once), and a size announced above the cap is refused
// before the first byte is asked for. For the release's small files, which a
// hostile or broken server could otherwise make as large as it likes.
class CappedFile : public QFile
{
    Q_OBJECT

public:
    CappedFile(const QString &name, qint64 cap);

    qint64 cap() const { return limit; }
    // For a file used for one download after another: a new cap, and
    // nothing exceeded yet. The cap counts from the file's start, so bytes
    // a resumed download appends are held to it with those already there.
    void setCap(qint64 cap);

    // Whether a transfer of `announced` bytes (negative or 0: not known) may
    // go on; false, and exceeded() from then on, when it is more than the cap.
    [[nodiscard]] bool admits(qint64 announced);

    // More than the cap was announced or arrived.
    bool exceeded() const { return tooLarge; }
    // "holds more than N bytes" or "announces N bytes, more than N"; empty
    // unless exceeded().
    QString excess() const { return excessText; }

protected:
    qint64 writeData(const char *data, qint64 length) override;

private:
    qint64 limit;
    bool tooLarge = false;
    QString excessText;
};

#endif // CAPPEDFILE_H
