#ifndef QFTPDIRPARSER_P_H
#define QFTPDIRPARSER_P_H

#include <QByteArray>
#include <QDateTime>
#include <QString>

class QUrlInfo;

// The listing parser behind QFtpDTP::parseDir, with the current time as an
// argument: a Unix line that shows a time of day instead of a year gets its
// year from `now`. Tests pass a fixed `now` to cover the turn of the year.
bool qftpParseDir(
    const QByteArray &line, const QString &userName, QUrlInfo *info, const QDateTime &now);

#endif // QFTPDIRPARSER_P_H
