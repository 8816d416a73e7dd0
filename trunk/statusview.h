#ifndef STATUSVIEW_H
#define STATUSVIEW_H

#include "showntext.h"

#include <QElapsedTimer>
#include <QObject>

class QLabel;
class QProgressBar;
class QWidget;

// What the window shows: the spinner in its middle, under it the status
// line, saying what the updater is doing, and during a download or an
// install the bar, saying how far it has got. All are the window's children
// (the line "statusLabel", the bar "progressBar"); their texts are the
// window's for translation.
class StatusView : public QObject
{
    Q_OBJECT

public:
    // Laid out on `window` at its size; the bar hidden.
    explicit StatusView(QWidget *window);

    QString text() const;
    // Shows the text translated and logs it in English, so that the log
    // tells what the person saw, and when; a text already shown is neither.
    void setText(const ShownText &text);

    // The bar shown, busy until an amount is known; the download's rate is
    // counted from here.
    void startDownload();
    // The bar shown busy and empty, for the install.
    void startInstall();
    // Hidden unless a download or an install was started (a hidden window
    // leaves it shown: the download's progress is kept).
    bool barHidden() const;
    // What the bar says, in English.
    QString amount() const { return amountText.english(); }

public slots:
    // The bar at done of total bytes (total not positive: unknown).
    void showAmount(qint64 done, qint64 total);
    // The same with the rate since startDownload().
    void showDownloaded(qint64 done, qint64 total);

private:
    void setAmount(qint64 done, qint64 total, qint64 rate);

    QLabel *label = nullptr;
    QProgressBar *bar = nullptr;
    QElapsedTimer downloadClock;
    ShownText amountText;
};

#endif // STATUSVIEW_H
