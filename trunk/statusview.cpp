#include "statusview.h"

#include "busyindicator.h"

#include <QDebug>
#include <QLabel>
#include <QProgressBar>
#include <QWidget>

namespace {

// The texts are the window's: their translations are kept under its context.
ShownText shown(const char *source)
{
    return ShownText("MainWindow", source);
}

} // namespace

StatusView::StatusView(QWidget *window)
    : QObject(window)
    , label(new QLabel(window))
    , bar(new QProgressBar(window))
{
    auto *spinner = new BusyIndicator(window);
    spinner->setColor(Qt::blue);
    spinner->setIndicatorStyle(BusyIndicator::EllipseStyle);
    spinner->move(
        window->width() / 2 - spinner->width() / 2, window->height() / 2 - spinner->height() / 2);
    spinner->show();

    label->setObjectName(QStringLiteral("statusLabel"));
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(0, spinner->geometry().bottom() + 8, window->width(), 24);
    bar->setObjectName(QStringLiteral("progressBar"));
    bar->setGeometry(40, label->geometry().bottom() + 6, window->width() - 80, 24);
    bar->setAlignment(Qt::AlignCenter);
    bar->hide();
}

QString StatusView::text() const
{
    return label->text();
}

void StatusView::setText(const ShownText &text)
{
    // One step may set the same text twice (the signature, then the archive).
    const QString translated = text.translated();
    if (translated == label->text())
        return;
    qDebug().noquote() << "Status:" << text.english();
    label->setText(translated);
}

void StatusView::startDownload()
{
    bar->setRange(0, 0);
    bar->show();
    downloadClock.start();
}

void StatusView::startInstall()
{
    bar->setRange(0, 0);
    bar->setFormat(QString());
    bar->show();
}

bool StatusView::barHidden() const
{
    return bar->isHidden();
}

void StatusView::showAmount(qint64 done, qint64 total)
{
    setAmount(done, total, -1);
}

void StatusView::showDownloaded(qint64 done, qint64 total)
{
    setAmount(done, total, done * 1000 / qMax<qint64>(downloadClock.elapsed(), 1));
}

void StatusView::setAmount(qint64 done, qint64 total, qint64 rate)
{
    // Each form whole, so that a translation may put its parts in its own order.
    if (total > 0 && rate >= 0)
        amountText = shown(QT_TRANSLATE_NOOP("MainWindow", "%1 of %2 (%3/s)"))
                         .size(done)
                         .size(total)
                         .size(rate);
    else if (total > 0)
        amountText = shown(QT_TRANSLATE_NOOP("MainWindow", "%1 of %2")).size(done).size(total);
    else if (rate >= 0)
        amountText = shown(QT_TRANSLATE_NOOP("MainWindow", "%1 (%2/s)")).size(done).size(rate);
    else
        amountText = shown("%1").size(done);
    bar->setFormat(amountText.translated());
    if (total > 0) {
        bar->setRange(0, 1000);
        bar->setValue(int(qBound<qint64>(0, done * 1000 / total, 1000)));
    }
}
