#ifndef TESTLIB_MESSAGELOG_H
#define TESTLIB_MESSAGELOG_H

#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QtGlobal>

// Records every message (qDebug, qWarning, ...) with its context while it
// exists; the handler installed before it is restored on destruction.
// Messages other than debug ones are also passed on to that handler, so
// that warnings still show in the test output. Create it inside a test
// function or init(), after the test framework has installed its own handler.
class MessageLog
{
public:
    struct Line
    {
        QtMsgType type;
        QString category;
        QString function;
        QString file;
        QString text;
    };

    MessageLog()
    {
        QMutexLocker lock(&mutex());
        outer = active();
        active() = this;
        previous = qInstallMessageHandler(record);
    }
    ~MessageLog()
    {
        QMutexLocker lock(&mutex());
        qInstallMessageHandler(previous);
        active() = outer;
    }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    QList<Line> lines() const
    {
        QMutexLocker lock(&mutex());
        return recorded;
    }
    // How many lines of the given type have exactly this text.
    int count(const QString &text, QtMsgType type = QtDebugMsg) const
    {
        int n = 0;
        for (const Line &line : lines())
            n += line.type == type && line.text == text;
        return n;
    }
    void clear()
    {
        QMutexLocker lock(&mutex());
        recorded.clear();
    }

private:
    static QMutex &mutex()
    {
        static QMutex instance;
        return instance;
    }
    static MessageLog *&active()
    {
        static MessageLog *instance = nullptr;
        return instance;
    }
    static void record(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        QtMessageHandler passOn = nullptr;
        {
            QMutexLocker lock(&mutex());
            MessageLog *log = active();
            if (!log)
                return;
            log->recorded.append({type, QString::fromLatin1(context.category),
                QString::fromLatin1(context.function), QString::fromLatin1(context.file), text});
            if (type != QtDebugMsg)
                passOn = log->previous;
        }
        if (passOn)
            passOn(type, context, text);
    }

    QList<Line> recorded;
    QtMessageHandler previous = nullptr;
    MessageLog *outer = nullptr;
};

#endif // TESTLIB_MESSAGELOG_H
