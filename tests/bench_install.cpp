// The installer's half of scripts/bench-install.sh:
//   bench_install tree DIR SEED MEGABYTES   lays out a release of mixed files
//   bench_install install ARCHIVE APPDIR     installs ARCHIVE over APPDIR
// The script times the second against Info-ZIP's unzip.
#include "installer.h"
#include "platform.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTextStream>

#include <cstdio>

namespace {

// A release like a real one: a few large binaries, a few hundred mid-sized
// libraries and resources, thousands of small text files. About half of it
// compresses well, the rest hardly at all.
bool writeTree(const QString &dir, quint32 seed, qint64 megabytes)
{
    QRandomGenerator random(seed);
    const qint64 budget = megabytes * 1024 * 1024;
    qint64 written = 0;
    QByteArray text;
    for (int i = 0; text.size() < 1024 * 1024; ++i)
        text += "line " + QByteArray::number(i) + " of a resource that compresses well\n";
    for (int i = 0; written < budget; ++i) {
        qint64 size;
        QString name;
        if (i % 400 == 0) {
            size = 8 * 1024 * 1024 + random.bounded(8 * 1024 * 1024);
            name = QStringLiteral("App.app/Contents/MacOS/bin%1").arg(i);
        } else if (i % 8 == 0) {
            size = 64 * 1024 + random.bounded(512 * 1024);
            name = QStringLiteral("App.app/Contents/Frameworks/lib%1/lib%1.so").arg(i);
        } else {
            size = 512 + random.bounded(16 * 1024);
            name = QStringLiteral("App.app/Contents/Resources/%1/item%2.txt").arg(i % 50).arg(i);
        }
        QByteArray data(int(size), Qt::Uninitialized);
        const bool compressible = random.bounded(2) == 0;
        for (int at = 0; at < data.size(); at += 4) {
            const quint32 word = compressible
                ? quint32(text.at((at + i) % text.size())) * 0x01010101u
                : random.generate();
            memcpy(data.data() + at, &word, size_t(qMin(4, data.size() - at)));
        }
        const QString path = dir + QLatin1Char('/') + name;
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
            return false;
        written += size;
    }
    QFile version(dir + QLatin1String("/version.ver"));
    return version.open(QIODevice::WriteOnly) && version.write(QByteArray::number(seed)) > 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() == 4 && args.at(0) == QLatin1String("tree"))
        return writeTree(args.at(1), args.at(2).toUInt(), args.at(3).toLongLong()) ? 0 : 1;
    if (args.size() != 3 || args.at(0) != QLatin1String("install")) {
        std::fprintf(
            stderr, "usage: bench_install tree DIR SEED MEGABYTES | install ARCHIVE APPDIR\n");
        return 2;
    }
    Platform::setNameForTesting(QStringLiteral("xcb"));
    Installer installer(args.at(1), args.at(2));
    int result = 1;
    QObject::connect(&installer, &Installer::finished, [&](bool ok, const QString &reason) {
        if (!ok)
            std::fprintf(stderr, "install failed: %s\n", qPrintable(reason));
        result = ok ? 0 : 1;
        app.quit();
    });
    installer.start();
    app.exec();
    return result;
}
