#ifndef CAPPEDFILE_H
#define CAPPEDFILE_H

#include <QFile>

// A download target that takes at most `cap` bytes: the write that would go
// past it fails, and with it the transfer writing into it (the FTP client
// aborts a download whose device refuses a write), so a server sending more
// than a file may hold is cut off the moment it does.
class CappedFile : public QFile
{
public:
    CappedFile(const QString &name, qint64 cap);
    qint64 cap() const { return limit; }

protected:
    qint64 writeData(const char *data, qint64 len) override;

private:
    qint64 limit;
    qint64 written = 0;
};

#endif // CAPPEDFILE_H
