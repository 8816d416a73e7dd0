#ifndef TESTLIB_PISIGNALS_H
#define TESTLIB_PISIGNALS_H

#include "qftppi.h"

#include <QStringList>

// Records the interpreter's signals as text, in the order they came:
// "state N", "finished TEXT", "error CODE TEXT" and "reply CODE TEXT".
class Recorder : public QObject
{
public:
    Recorder() = default;
    explicit Recorder(QFtpPI *pi, bool replies = true) { watch(pi, replies); }

    void watch(QFtpPI *pi, bool replies = true)
    {
        connect(pi, &QFtpPI::connectState, this,
            [this](int s) { events << QStringLiteral("state %1").arg(s); });
        connect(pi, &QFtpPI::finished, this,
            [this](const QString &t) { events << QStringLiteral("finished %1").arg(t); });
        connect(pi, QOverload<int, const QString &>::of(&QFtpPI::error), this,
            [this](int c, const QString &t) {
                events << QStringLiteral("error %1 %2").arg(c).arg(t);
            });
        if (replies) {
            connect(pi, &QFtpPI::rawFtpReply, this, [this](int c, const QString &t) {
                events << QStringLiteral("reply %1 %2").arg(c).arg(t);
            });
        }
    }
    QStringList take()
    {
        const QStringList all = events;
        events.clear();
        return all;
    }
    // Whether any event so far has `word` in it.
    bool mentions(const QString &word) const
    {
        return events.join(QLatin1Char('|')).contains(word);
    }

    QStringList events;
};

// Does what the interpreter's owner does on an error: discards the rest of
// the command.
inline void clearPendingOnError(QFtpPI &pi)
{
    QObject::connect(&pi, QOverload<int, const QString &>::of(&QFtpPI::error), &pi,
        [&pi] { pi.clearPendingCommands(); });
}

#endif // TESTLIB_PISIGNALS_H
