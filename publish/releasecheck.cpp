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

} // namespace

QString ReleaseCheck::folderProblem(const QString &folder)
{
    if (folder.isEmpty() || folder == QLatin1String(".") || hasLineBreakOrNul(folder)
        || folder.contains(QLatin1Char('/')) || folder.contains(QLatin1String("..")))
        return QStringLiteral(
            "the folder \"%1\" must be one name without CR, LF, NUL, \"/\" or \"..\"")
            .arg(oneLine(folder));
    return QString();
}

QString ReleaseCheck::productProblem(const QString &product)
{
    if (product.isEmpty() || product == QLatin1String(".") || product == QLatin1String("..")
        || hasLineBreakOrNul(product) || product.contains(QLatin1Char('/'))
        || product.contains(QLatin1Char('\\')))
        return QStringLiteral("the product \"%1\" must be one name without CR, LF, NUL, \"/\" or "
                              "\"\\\"; it is the updaters' \"sappname\"")
            .arg(oneLine(product));
    return QString();
}

QString ReleaseCheck::versionProblem(const QString &version)
{
    if (!Version::isOrderable(version))
        return QStringLiteral("the version \"%1\" is not one updaters can order: 1 to 8 dotted "
                              "decimal numbers of at most 9 digits, optionally followed by a "
                              "suffix (1.2, 2.0-beta, 2.0rc1), at most 64 bytes")
            .arg(oneLine(version));
    return QString();
}

QString ReleaseCheck::lineProblem(const QString &what, const QString &value)
{
    return hasLineBreakOrNul(value) ? QStringLiteral("the %1 must not hold CR, LF or NUL").arg(what)
                                    : QString();
}

QString ReleaseCheck::versionFileProblem(
    const QString &sourceDir, const QString &version, const QString &serverFolder)
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
        return QStringLiteral("%1 is missing: updaters read the installed version from it, and "
                              "would offer this release again after installing it")
            .arg(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    if (file.size() > ReleaseFiles::maxVersionFileSize)
        return QStringLiteral("%1 holds %2 bytes, more than a version").arg(path).arg(file.size());
    const QString held = Version::clean(QString::fromUtf8(file.readAll()));
    if (held != version)
        return QStringLiteral("%1 holds \"%2\", not the version %3 being published")
            .arg(path, oneLine(held), version);
    return QString();
}

QString ReleaseCheck::outputProblem(const QString &sourceDir, const QString &outputDir)
{
    const QString source = realPath(sourceDir);
    const QString output = realPath(outputDir);
    if ((output + QLatin1Char('/')).startsWith(source + QLatin1Char('/')))
        return QStringLiteral("the output folder %1 lies inside %2").arg(outputDir, sourceDir);
    return QString();
}

QString ReleaseCheck::sourceProblem(const QString &sourceDir, const QString &version,
    const QString &serverFolder, const QString &outputDir)
{
    if (!QFileInfo(sourceDir).isDir())
        return QStringLiteral("%1 is not a folder").arg(sourceDir);
    QString problem = versionFileProblem(sourceDir, version, serverFolder);
    if (problem.isEmpty() && !outputDir.isEmpty())
        problem = outputProblem(sourceDir, outputDir);
    if (problem.isEmpty() && !ArchiveBuilder::check(sourceDir, &problem) && problem.isEmpty())
        problem = QStringLiteral("%1 cannot be packed").arg(sourceDir);
    return oneLine(problem);
}

QString ReleaseCheck::oneLine(const QString &text)
{
    static const QRegularExpression breaks(QStringLiteral("\\s*[\\r\\n]+\\s*"));
    QString line = text.trimmed();
    line.replace(breaks, QStringLiteral(" "));
    line.replace(QChar(0), QLatin1Char(' '));
    return line;
}
