#include "fuzztargets.h"
#include "fuzzcheck.h"

#include "qftpdirparser_p.h"
#include "qftpreplyreader.h"
#include "qurlinfo.h"

#include <QByteArray>
#include <QDateTime>
#include <QVector>

#include <cstdio>
#include <cstdlib>

namespace {

struct Taken
{
    QFtpReplyReader::Status status;
    int code;
    QString text;
    bool operator==(const Taken &o) const
    {
        return status == o.status && code == o.code && text == o.text;
    }
};

// Feeds `bytes` to a reader in pieces of `piece` bytes the way the control
// connection does (taking replies until the reader needs more) and returns
// what came out, checking the reader's bounds on the way.
QVector<Taken> readReplies(const QByteArray &bytes, int piece)
{
    QVector<Taken> taken;
    QFtpReplyReader reader;
    for (int at = 0; at < bytes.size(); at += piece) {
        reader.feed(bytes.mid(at, piece));
        for (;;) {
            const QFtpReplyReader::Status status = reader.next();
            if (status == QFtpReplyReader::NeedMore) {
                // Only an unfinished line is kept, and it is under the cap.
                check(reader.buffered() <= QFtpReplyReader::maxLineLength,
                    "reader keeps more than a line");
                break;
            }
            if (status == QFtpReplyReader::TooLong) {
                check(reader.next() == QFtpReplyReader::TooLong, "reader went on after TooLong");
                taken.append({status, 0, QString()});
                return taken;
            }
            const int code = reader.code();
            check(code >= 100 && code <= 559 && code / 10 % 10 <= 5, "reply code out of range");
            const QString text = reader.text();
            check(text.size() <= QFtpReplyReader::maxReplyLength + QFtpReplyReader::maxLineLength,
                "reply text over its cap");
            check(!text.contains(QChar(0)), "reply text holds a NUL");
            check(!reader.inReply(), "reply taken while still in a reply");
            taken.append({status, code, text});
        }
    }
    return taken;
}

} // namespace

void fuzzServerReplies(const uint8_t *data, size_t size)
{
    if (size == 0)
        return;
    static const int pieces[8] = {1, 2, 3, 7, 64, 4096, 65536, 1 << 30};
    const int piece = pieces[data[0] & 7];
    const QByteArray bytes
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data + 1), int(size - 1));
    // However the bytes are split, the same replies come out.
    const QVector<Taken> whole = readReplies(bytes, bytes.size() + 1);
    const QVector<Taken> split = readReplies(bytes, piece);
    check(whole == split, "the replies depend on how the bytes arrived");
}

void fuzzListingLine(const uint8_t *data, size_t size)
{
    const QByteArray line
        = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    // A fixed "now" keeps every run of an input the same, including the
    // year given to entries that show a time of day.
    static const QDateTime now(QDate(2024, 3, 1), QTime(12, 0), Qt::UTC);
    QUrlInfo info;
    if (!qftpParseDir(line, QString(), &info, now)) {
        // A refused line leaves the entry as it was.
        check(!info.isValid() && info.name().isNull(), "refused line touched the entry");
        return;
    }
    check(!info.name().isEmpty(), "accepted line without a name");
    check(info.size() >= 0, "negative size");
    check(info.isDir() != info.isFile(), "entry both or neither file and folder");
    check(info.permissions() >= 0 && info.permissions() <= 0777, "permission bits out of range");

    // The line ends the same with its line terminator or without.
    QUrlInfo again;
    check(qftpParseDir(line + "\r\n", QString(), &again, now), "CR LF changed the verdict");
    check(again == info, "CR LF changed the entry");
}
