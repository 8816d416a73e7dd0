#include "fuzztargets.h"

#include "qftpdirparser_p.h"
#include "qurlinfo.h"

#include <QByteArray>
#include <QDateTime>

#include <cstdio>
#include <cstdlib>

namespace {

// A broken rule is a finding like a crash: say which and stop.
void check(bool ok, const char *rule)
{
    if (ok)
        return;
    fprintf(stderr, "fuzz target: %s\n", rule);
    abort();
}

} // namespace

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
