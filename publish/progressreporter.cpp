#include "progressreporter.h"

#include <unistd.h>

namespace {

QString size(double bytes)
{
    static const char *const units[] = {"B", "KiB", "MiB", "GiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 3) {
        bytes /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(bytes, 0, 'f', unit ? 1 : 0).arg(QLatin1String(units[unit]));
}

QString duration(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

ProgressReporter::ProgressReporter(FILE *out, bool interactive)
    : out(out)
    , interactive(interactive)
{
    clock.start();
}

bool ProgressReporter::isTerminal(FILE *stream)
{
    return isatty(fileno(stream));
}

QString ProgressReporter::barText(qint64 done, qint64 total, double bytesPerSecond, int width)
{
    const double fraction = total > 0 ? qBound(0.0, double(done) / double(total), 1.0) : 0.0;
    const int filled = int(fraction * width);
    const QString bar
        = QString(filled, QLatin1Char('#')) + QString(width - filled, QLatin1Char('-'));
    const QString left = bytesPerSecond > 0
        ? duration(qint64((double(total - done)) / bytesPerSecond + 0.5))
        : QStringLiteral("--:--");
    return QStringLiteral("[%1] %2 / %3  %4/s  %5 left")
        .arg(bar, size(double(done)), size(double(total)), size(bytesPerSecond), left);
}

void ProgressReporter::message(const QString &text)
{
    endBar();
    std::fprintf(out, "%s\n", text.toLocal8Bit().constData());
    std::fflush(out);
}

void ProgressReporter::progress(qint64 done, qint64 total)
{
    const double seconds = clock.elapsed() / 1000.0;
    const double rate = seconds > 0 ? double(done) / seconds : 0;
    if (!interactive) {
        const int quarter = total > 0 ? int(4 * done / total) : 0;
        if (quarter > lastQuarter) {
            lastQuarter = quarter;
            std::fprintf(out, "%s\n",
                qPrintable(QStringLiteral("%1 of %2 bytes uploaded (%3%)")
                               .arg(done)
                               .arg(total)
                               .arg(total > 0 ? 100 * done / total : 0)));
            std::fflush(out);
        }
        return;
    }
    // A terminal redrawn for every packet costs more than the upload.
    if (done != total && sinceDraw.isValid() && sinceDraw.elapsed() < 100)
        return;
    if (done == lastDrawn)
        return;
    lastDrawn = done;
    sinceDraw.start();
    std::fprintf(out, "\r%s\x1b[K", qPrintable(barText(done, total, rate)));
    std::fflush(out);
    barShown = true;
}

void ProgressReporter::endBar()
{
    if (barShown) {
        std::fprintf(out, "\n");
        barShown = false;
        lastDrawn = -1;
    }
}
