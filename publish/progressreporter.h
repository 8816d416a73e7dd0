#ifndef PROGRESSREPORTER_H
#define PROGRESSREPORTER_H

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

// Tells the publisher how an upload goes: on a terminal a bar redrawn in
// place with bytes, rate and time left; elsewhere (a log, a pipe) plain
// lines, one per quarter, that read well afterwards.
class ProgressReporter
{
public:
    ProgressReporter(FILE *out, bool interactive);

    static bool isTerminal(FILE *stream);

    void message(const QString &text);
    void progress(qint64 done, qint64 total);
    // Ends a bar on the terminal, so that the next output starts a line.
    void endBar();

    // The bar's text for these figures, without the carriage return.
    static QString barText(qint64 done, qint64 total, double bytesPerSecond, int width = 30);

private:
    FILE *out;
    bool interactive;
    bool barShown = false;
    int lastQuarter = -1;
    qint64 lastDrawn = -1;
    QElapsedTimer clock;
    QElapsedTimer sinceDraw;
};

#endif // PROGRESSREPORTER_H
