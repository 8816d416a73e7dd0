#ifndef TESTLIB_PIPEDEVICE_H
#define TESTLIB_PIPEDEVICE_H

#include <QByteArray>
#include <QIODevice>

// A sequential device fed by the test: reads return what has been appended,
// 0 while more may come, and -1 once finish() was called and all is read.
// append() emits readyRead(), finish() emits readChannelFinished().
class PipeDevice : public QIODevice
{
public:
    PipeDevice() { open(QIODevice::ReadOnly); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return pending.size() + QIODevice::bytesAvailable(); }
    qint64 pendingSize() const { return pending.size(); }
    void append(const QByteArray &bytes)
    {
        pending += bytes;
        emit readyRead();
    }
    void finish()
    {
        finished = true;
        emit readChannelFinished();
    }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (pending.isEmpty())
            return finished ? -1 : 0;
        const qint64 n = qMin(maxSize, qint64(pending.size()));
        memcpy(data, pending.constData(), size_t(n));
        pending.remove(0, int(n));
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray pending;
    bool finished = false;
};

#endif // TESTLIB_PIPEDEVICE_H
