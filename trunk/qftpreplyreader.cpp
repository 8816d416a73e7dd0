#include "qftpreplyreader.h"

namespace {

// The code of a line that may start a reply, or 0. The digits' ranges
// follow the reply codes of the protocol: 1-5, 0-5, 0-9.
int codeOf(const QString &line)
{
    if (line.size() < 3)
        return 0;
    static const int lowest[3] = {1, 0, 0};
    static const int highest[3] = {5, 5, 9};
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        const ushort c = line.at(i).unicode();
        const int digit = c >= '0' && c <= '9' ? c - '0' : -1;
        if (digit < lowest[i] || digit > highest[i])
            return 0;
        code = code * 10 + digit;
    }
    return code;
}

} // namespace

void QFtpReplyReader::feed(const QByteArray &bytes)
{
    if (position > 0) {
        buffer.remove(0, position);
        position = 0;
    }
    buffer += bytes;
}

void QFtpReplyReader::clear()
{
    buffer.clear();
    position = 0;
    replyStarted = false;
    tooLong = false;
    replyCode = 0;
    replyText.clear();
}

QFtpReplyReader::Status QFtpReplyReader::next()
{
    if (tooLong)
        return TooLong;
    for (;;) {
        const int end = buffer.indexOf('\n', position);
        const int length = (end < 0 ? buffer.size() : end + 1) - position;
        if (length > maxLineLength) {
            tooLong = true;
            return TooLong;
        }
        if (end < 0)
            return NeedMore;
        const char *start = buffer.constData() + position;
        position = end + 1;
        // Latin-1 up to the first NUL byte.
        const QString line = QString::fromLatin1(start, int(qstrnlen(start, uint(length))));

        const bool first = !replyStarted;
        if (first) {
            replyCode = codeOf(line);
            if (!replyCode)
                continue; // cannot start a reply: dropped
            replyStarted = true;
            replyText.clear();
        }
        const QString code = QString::number(replyCode);
        const QStringRef head = line.leftRef(4);
        QStringRef bare = line.leftRef(line.size());
        while (bare.endsWith(QLatin1Char('\n')) || bare.endsWith(QLatin1Char('\r')))
            bare.chop(1);
        // A bare code is a whole reply only as its first line; inside a
        // multi-line reply it is text, or the reply would end early and
        // every later reply would answer the wrong line.
        const bool bareEnd = first && bare == code;
        if (bareEnd || head == code + QLatin1Char(' ')) {
            if (!bareEnd)
                replyText += line.midRef(4);
            if (replyText.endsWith(QLatin1String("\r\n")))
                replyText.chop(2);
            replyStarted = false;
            return Reply;
        }
        if (head == code + QLatin1Char('-'))
            replyText += line.midRef(4);
        else
            replyText += line;
        if (replyText.size() > maxReplyLength) {
            tooLong = true;
            return TooLong;
        }
    }
}
