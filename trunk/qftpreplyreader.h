#ifndef QFTPREPLYREADER_H
#define QFTPREPLYREADER_H

#include <QByteArray>
#include <QString>

// Turns the bytes a server writes on the control connection into replies:
// single-line ("200 ok"), multi-line ("211-first" ... "211 last") and the
// bare code ("200"). Works on bytes alone, with no socket, so that any
// input can be fed to it. Lines are decoded as Latin-1 up to a NUL byte.
//
// Memory is bounded against a hostile peer: a line longer than
// maxLineLength (with or without its line end) or a reply whose text grows
// beyond maxReplyLength makes next() return TooLong; the reader is then
// of no further use until clear().
class QFtpReplyReader
{
public:
    enum Status { NeedMore, Reply, TooLong };

    // Far above what any real server sends.
    static const int maxLineLength = 64 * 1024;
    static const int maxReplyLength = 1024 * 1024;

    void feed(const QByteArray &bytes);
    // Takes the next complete reply out of the bytes fed so far. Lines that
    // cannot start a reply (shorter than three characters, a code outside
    // 100 to 559) are dropped on the way.
    Status next();
    // The last reply taken: its code and its text, without the code
    // prefixes and without the final line end; the line breaks inside a
    // multi-line reply are kept.
    int code() const { return replyCode; }
    QString text() const { return replyText; }
    // Bytes fed and not yet taken.
    int buffered() const { return buffer.size() - position; }
    // Part of a reply has been read and its end line is still to come.
    bool inReply() const { return replyStarted; }
    void clear();

private:
    QByteArray buffer;
    int position = 0;
    bool replyStarted = false;
    bool tooLong = false;
    int replyCode = 0;
    QString replyText;
};

#endif // QFTPREPLYREADER_H
