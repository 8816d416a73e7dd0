#include "releasecheck.h"

#include "archivebuilder.h"
#include "releasefiles.h"
#include "version.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace {

bool hasLineBreakOrNul(const QString &text)
{
    return text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n'))
        || text.contains(QChar(0));
}

// The canonical form of a path that may not exist yet: its nearest existing
// ancestor resolved, the rest appended as written.
QString realPath(const QString &path)
{
    QFileInfo info(QFileInfo(path).absoluteFilePath());
    QStringList rest;
    while (!info.exists() && !info.isRoot() && info.fileName() != QString()) {
        rest.prepend(info.fileName());
        info = QFileInfo(info.absolutePath());
    }
    QString real = info.canonicalFilePath();
    for (const QString &part : qAsConst(rest))
        real += QLatin1Char('/') + part;
    return QDir::cleanPath(real);
}

bool refuse(QString *reason, const QString &text)
{
    *reason = text;
    return false;
}

} // namespace

bool ReleaseCheck::checkFolder(const QString &folder, QString *reason)
{
    if (folder.isEmpty() || folder == QLatin1String(".") || hasLineBreakOrNul(folder)
        || folder.contains(QLatin1Char('/')) || folder.contains(QLatin1String("..")))
        return refuse(reason,
            QStringLiteral(
                "the folder \"%1\" must be one name without CR, LF, NUL, \"/\" or \"..\"")
                .arg(oneLine(folder)));
    return true;
}

bool ReleaseCheck::checkProduct(const QString &product, QString *reason)
{
    if (product.isEmpty() || product == QLatin1String(".") || product == QLatin1String("..")
        || hasLineBreakOrNul(product) || product.contains(QLatin1Char('/'))
        || product.contains(QLatin1Char('\\')))
        return refuse(reason,
            QStringLiteral("the product \"%1\" must be one name without CR, LF, NUL, \"/\" or "
                           "\"\\\"; it is the updaters' \"sappname\"")
                .arg(oneLine(product)));
    return true;
}

bool ReleaseCheck::checkVersion(const QString &version, QString *reason)
{
    if (!Version::isOrderable(version))
        return refuse(reason,
            QStringLiteral("the version \"%1\" is not one updaters can order: 1 to 8 dotted "
                           "decimal numbers of at most 9 digits, optionally followed by a "
                           "suffix (1.2, 2.0-beta, 2.0rc1), at most 64 bytes")
                .arg(oneLine(version)));
    return true;
}

bool ReleaseCheck::checkLine(const QString &what, const QString &value, QString *reason)
{
    if (hasLineBreakOrNul(value))
        return refuse(reason, QStringLiteral("the %1 must not hold CR, LF or NUL").arg(what));
    return true;
}

bool ReleaseCheck::checkVersionFile(
    const QString &sourceDir, const QString &version, const QString &serverFolder, QString *reason)
{
    const QDir source(sourceDir);
    const QString plain = QLatin1String(ReleaseFiles::versionFile);
    const QString windows = QLatin1String("Bin/") + plain;
    QString name = serverFolder.endsWith(QLatin1String("_win32")) ? windows : plain;
    if (serverFolder.isEmpty() && !QFileInfo::exists(source.filePath(plain))
        && QFileInfo::exists(source.filePath(windows)))
        name = windows;
    const QString path = source.filePath(name);
    QFile file(path);
    if (!QFileInfo(path).isFile())
        return refuse(reason,
            QStringLiteral("%1 is missing: updaters read the installed version from it, and "
                           "would offer this release again after installing it")
                .arg(path));
    if (!file.open(QIODevice::ReadOnly))
        return refuse(reason, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    if (file.size() > ReleaseFiles::maxVersionFileSize)
        return refuse(reason,
            QStringLiteral("%1 holds %2 bytes, more than a version").arg(path).arg(file.size()));
    const QString held = Version::clean(QString::fromUtf8(file.readAll()));
    if (held != version)
        return refuse(reason,
            QStringLiteral("%1 holds \"%2\", not the version %3 being published")
                .arg(path, oneLine(held), version));
    return true;
}

bool ReleaseCheck::checkOutput(const QString &sourceDir, const QString &outputDir, QString *reason)
{
    const QString source = realPath(sourceDir);
    const QString output = realPath(outputDir);
    if ((output + QLatin1Char('/')).startsWith(source + QLatin1Char('/')))
        return refuse(reason,
            QStringLiteral("the output folder %1 lies inside %2").arg(outputDir, sourceDir));
    return true;
}

bool ReleaseCheck::checkSource(const QString &sourceDir, const QString &version,
    const QString &serverFolder, const QString &outputDir, QString *reason)
{
    if (!QFileInfo(sourceDir).isDir())
        return refuse(reason, QStringLiteral("%1 is not a folder").arg(sourceDir));
    QString problem;
    if (checkVersionFile(sourceDir, version, serverFolder, &problem)
        && (outputDir.isEmpty() || checkOutput(sourceDir, outputDir, &problem))
        && ArchiveBuilder::check(sourceDir, &problem))
        return true;
    if (problem.isEmpty())
        problem = QStringLiteral("%1 cannot be packed").arg(sourceDir);
    return refuse(reason, oneLine(problem));
}

QString ReleaseCheck::oneLine(const QString &text)
{
    static const QRegularExpression breaks(QStringLiteral("\\s*[\\r\\n]+\\s*"));
    QString line = text.trimmed();
    line.replace(breaks, QStringLiteral(" "));
    line.replace(QChar(0), QLatin1Char(' '));
    return line;
}

bool ReleaseCheck::parseServer(const QString &text, QString *host, quint16 *port)
{
    QString h = text;
    QString p = QStringLiteral("21");
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return false;
        h = text.mid(1, close - 1);
        if (close + 1 < text.size()) {
            if (text.at(close + 1) != QLatin1Char(':'))
                return false;
            p = text.mid(close + 2);
        }
    } else if (colon >= 0 && text.indexOf(QLatin1Char(':')) == colon) {
        h = text.left(colon);
        p = text.mid(colon + 1);
    }
    bool ok = false;
    const uint value = p.toUInt(&ok);
    if (!ok || value == 0 || value > 65535 || h.isEmpty())
        return false;
    *host = h;
    *port = quint16(value);
    return true;
}
