#include "busyindicator.h"

#include <QImage>
#include <QPainter>
#include <QPixmapCache>
#include <QSizePolicy>
#include <QtMath>
#include <QtTest>

// A subclass gets frames of its own: the cache key starts with its class name.
class SpinnerSubclass : public BusyIndicator
{
    Q_OBJECT
public:
    using BusyIndicator::BusyIndicator;
};

namespace {

// Renders the widget alone, without any window background, so the pixels
// are exactly what paintEvent draws over transparency.
QImage renderWidget(QWidget &widget)
{
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    widget.render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

void rotateTimes(BusyIndicator &indicator, int times)
{
    for (int i = 0; i < times; ++i)
        QVERIFY(QMetaObject::invokeMethod(&indicator, "rotate"));
}

// A point of the 200-unit design square turned clockwise (on screen) by
// `degrees` about the centre, as a pixel of a 200 by 200 widget.
QPoint designPixel(qreal x, qreal y, qreal degrees)
{
    const qreal rad = qDegreesToRadians(degrees);
    const qreal rx = x * qCos(rad) - y * qSin(rad);
    const qreal ry = x * qSin(rad) + y * qCos(rad);
    return QPoint(qFloor(100 + rx), qFloor(100 + ry));
}

// Expected alpha of the ring at screen direction `direction` (degrees
// counter-clockwise from the positive x axis): the gradient fades from the
// colour's own alpha at its start to nothing at 0.8 of the way round
// (counter-clockwise) and back to full opacity at the end.
int expectedRingAlpha(qreal direction, int angle, int startAlpha)
{
    const qreal start = -angle;
    qreal t = std::fmod(direction - start, 360.0);
    if (t < 0)
        t += 360.0;
    t /= 360.0;
    // A translucent start meets the opaque end here: a seam, not a value.
    if (startAlpha != 255 && (t < 0.015 || t > 0.985))
        return -1;
    if (t <= 0.8)
        return qRound(startAlpha * (1 - t / 0.8));
    return qRound(255 * (t - 0.8) / 0.2);
}

bool isCached(const QString &key)
{
    QPixmap frame;
    return QPixmapCache::find(key, &frame);
}

QString frameKey(const char *className, int w, int h, int angle, int style)
{
    return QStringLiteral("%1:%2:%3:%4:%5")
        .arg(QLatin1String(className))
        .arg(w)
        .arg(h)
        .arg(angle)
        .arg(style);
}

} // namespace

class tst_BusyIndicator : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void construction();
    void cacheKey_data();
    void cacheKey();
    void frameDrawnOncePerKey();
    void frameGeometry_data();
    void frameGeometry();
    void spokeOpacities_data();
    void spokeOpacities();
    void ringCoverage_data();
    void ringCoverage();
    void ringGradientTurns_data();
    void ringGradientTurns();
    void unknownStyleIsTransparentAndCached_data();
    void unknownStyleIsTransparentAndCached();
    void twelveRotationsReturnToZero();
    void timerTurnsTheFigure();
    void highDensityFrames();

    void writeDocsImage();
};

void tst_BusyIndicator::init()
{
    // The cache is process-wide and ignores colour; start each test afresh.
    QPixmapCache::clear();
}

void tst_BusyIndicator::construction()
{
    BusyIndicator indicator;
    QCOMPARE(indicator.geometry(), QRect(0, 0, 100, 100));
    QCOMPARE(indicator.sizeHint(), QSize(60, 60));
    QCOMPARE(indicator.minimumSizeHint(), QSize(20, 20));
    QCOMPARE(indicator.indicatorStyle(), BusyIndicator::ArcStyle);

    const QSizePolicy policy = indicator.sizePolicy();
    QCOMPARE(policy.horizontalPolicy(), QSizePolicy::Preferred);
    QCOMPARE(policy.verticalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(policy.controlType(), QSizePolicy::DefaultType);
    QVERIFY(policy.hasHeightForWidth());

    // Default colour: the palette's window text, seen in the opaque end of the ring
    // (at angle 0 the gradient starts at three o'clock; just above it is opaque).
    const QImage image = renderWidget(indicator);
    const QColor pixel = image.pixelColor(92, 45);
    const QColor text = indicator.palette().color(QPalette::WindowText);
    QVERIFY2(pixel.alpha() > 200, qPrintable(QString::number(pixel.alpha())));
    QVERIFY(qAbs(pixel.red() - text.red()) <= 2);
    QVERIFY(qAbs(pixel.green() - text.green()) <= 2);
    QVERIFY(qAbs(pixel.blue() - text.blue()) <= 2);
}

void tst_BusyIndicator::cacheKey_data()
{
    QTest::addColumn<bool>("subclass");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("rotations");
    QTest::addColumn<int>("style");
    QTest::addColumn<QString>("key");

    QTest::newRow("ellipse-30") << false << QSize(100, 100) << 1 << 1
                                << "BusyIndicator:100:100:30:1";
    QTest::newRow("arc-initial") << false << QSize(100, 100) << 0 << 2
                                 << "BusyIndicator:100:100:0:2";
    QTest::newRow("rect-non-square")
        << false << QSize(120, 80) << 11 << 0 << "BusyIndicator:120:80:330:0";
    QTest::newRow("subclass-name")
        << true << QSize(64, 48) << 2 << 2 << "SpinnerSubclass:64:48:60:2";
}

void tst_BusyIndicator::cacheKey()
{
    QFETCH(bool, subclass);
    QFETCH(QSize, size);
    QFETCH(int, rotations);
    QFETCH(int, style);
    QFETCH(QString, key);

    QScopedPointer<BusyIndicator> indicator(subclass ? new SpinnerSubclass : new BusyIndicator);
    indicator->resize(size);
    indicator->setIndicatorStyle(static_cast<BusyIndicator::IndicatorStyle>(style));
    rotateTimes(*indicator, rotations);

    QPixmap frame;
    QVERIFY(!QPixmapCache::find(key, &frame));
    renderWidget(*indicator);
    QVERIFY(QPixmapCache::find(key, &frame));
    const int side = qMin(size.width(), size.height());
    QCOMPARE(frame.size(), QSize(side, side));
}

void tst_BusyIndicator::frameDrawnOncePerKey()
{
    const QString key = frameKey("BusyIndicator", 100, 100, 0, BusyIndicator::RectStyle);

    BusyIndicator red;
    red.setIndicatorStyle(BusyIndicator::RectStyle);
    red.setColor(Qt::red);
    const QImage first = renderWidget(red);
    QPixmap cached;
    QVERIFY(QPixmapCache::find(key, &cached));
    const qint64 cacheKey = cached.cacheKey();

    // A second paint of the same state is a cache hit: the entry is not replaced.
    QCOMPARE(renderWidget(red), first);
    QVERIFY(QPixmapCache::find(key, &cached));
    QCOMPARE(cached.cacheKey(), cacheKey);

    // A blue indicator in the same state shows the red frame.
    BusyIndicator blue;
    blue.setIndicatorStyle(BusyIndicator::RectStyle);
    blue.setColor(Qt::blue);
    QCOMPARE(renderWidget(blue), first);
    QVERIFY(QPixmapCache::find(key, &cached));
    QCOMPARE(cached.cacheKey(), cacheKey);

    // Only a frame drawn anew picks the new colour up.
    QPixmapCache::clear();
    // The upright spoke's middle, at half the design scale.
    const QColor spoke = renderWidget(blue).pixelColor(50, 9);
    QCOMPARE(spoke, QColor(Qt::blue));

    // Whatever sits under the key is what gets painted.
    QPixmap marker(100, 100);
    marker.fill(Qt::green);
    QPixmapCache::insert(key, marker);
    const QImage painted = renderWidget(red);
    QCOMPARE(painted.pixelColor(0, 0), QColor(Qt::green));
    QCOMPARE(painted.pixelColor(99, 99), QColor(Qt::green));
}

void tst_BusyIndicator::frameGeometry_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QRect>("frame");

    QTest::newRow("wide") << QSize(120, 80) << QRect(20, 0, 80, 80);
    QTest::newRow("tall") << QSize(80, 120) << QRect(0, 20, 80, 80);
    QTest::newRow("one-wider") << QSize(101, 100) << QRect(0, 0, 100, 100);
    QTest::newRow("odd-difference") << QSize(63, 40) << QRect(11, 0, 40, 40);
    QTest::newRow("square") << QSize(50, 50) << QRect(0, 0, 50, 50);
}

void tst_BusyIndicator::frameGeometry()
{
    QFETCH(QSize, size);
    QFETCH(QRect, frame);

    BusyIndicator indicator;
    indicator.resize(size);
    // Drawing the real frame stores it at the smaller side.
    renderWidget(indicator);
    QPixmap real;
    const QString key
        = frameKey("BusyIndicator", size.width(), size.height(), 0, BusyIndicator::ArcStyle);
    QVERIFY(QPixmapCache::find(key, &real));
    QCOMPARE(real.size(), frame.size());

    // An opaque marker under the key shows exactly where the frame lands.
    QPixmap marker(frame.size());
    marker.fill(Qt::black);
    QPixmapCache::insert(key, marker);
    const QImage image = renderWidget(indicator);
    for (int y = 0; y < size.height(); ++y) {
        for (int x = 0; x < size.width(); ++x) {
            const int expected = frame.contains(x, y) ? 255 : 0;
            if (qAlpha(image.pixel(x, y)) != expected)
                QFAIL(qPrintable(QStringLiteral("alpha %1 at %2,%3")
                                     .arg(qAlpha(image.pixel(x, y)))
                                     .arg(x)
                                     .arg(y)));
        }
    }
}

void tst_BusyIndicator::spokeOpacities_data()
{
    QTest::addColumn<int>("style");
    QTest::addColumn<int>("rotations");

    for (int style : {int(BusyIndicator::RectStyle), int(BusyIndicator::EllipseStyle)}) {
        const char *name = style == BusyIndicator::RectStyle ? "rect" : "ellipse";
        for (int rotations : {0, 1, 7}) {
            QTest::newRow(
                qPrintable(QStringLiteral("%1-%2").arg(QLatin1String(name)).arg(rotations)))
                << style << rotations;
        }
    }
}

void tst_BusyIndicator::spokeOpacities()
{
    QFETCH(int, style);
    QFETCH(int, rotations);

    // A translucent colour: the lead spoke keeps its alpha, the rest use fixed fractions.
    const QColor color(200, 40, 90, 200);
    BusyIndicator indicator;
    indicator.resize(200, 200); // design units are pixels
    indicator.setIndicatorStyle(static_cast<BusyIndicator::IndicatorStyle>(style));
    indicator.setColor(color);
    rotateTimes(indicator, rotations);
    const QImage image = renderWidget(indicator);

    // Centre of the upright spoke in design units.
    const bool rect = style == BusyIndicator::RectStyle;
    const QPointF centre = rect ? QPointF(0, -82.5) : QPointF(5, -85);
    // Rectangle: x -8..8, y -100..-65. Circle: centre (5, -85), radius 15.
    const QVector<QPointF> inside = rect
        ? QVector<QPointF> {{-6, -98}, {6, -98}, {-6, -67}, {6, -67}}
        : QVector<QPointF> {{-8, -85}, {18, -85}, {5, -98}, {5, -72}};
    const QVector<QPointF> outside = rect ? QVector<QPointF> {{-10, -82.5}, {10, -82.5}, {0, -63}}
                                          : QVector<QPointF> {{-12, -85}, {22, -85}, {5, -68}};
    const int angle = rotations * 30;
    for (int k = 0; k < 12; ++k) {
        // k steps clockwise of the lead spoke; k == 11 is the one just counter-clockwise.
        const QPoint p = designPixel(centre.x(), centre.y(), angle + k * 30);
        const QColor pixel = image.pixelColor(p);
        const int expected = k == 0 ? color.alpha() : qRound(255.0 * k / 12);
        QVERIFY2(qAbs(pixel.alpha() - expected) <= 2,
            qPrintable(QStringLiteral("spoke %1 at %2,%3: alpha %4, expected %5")
                           .arg(k)
                           .arg(p.x())
                           .arg(p.y())
                           .arg(pixel.alpha())
                           .arg(expected)));
        // Compare premultiplied, where faint spokes keep their precision.
        const QRgb premultiplied = qPremultiply(image.pixel(p));
        const auto channel = [&](int c) { return qRound(c * pixel.alpha() / 255.0); };
        QVERIFY(qAbs(qRed(premultiplied) - channel(color.red())) <= 2);
        QVERIFY(qAbs(qGreen(premultiplied) - channel(color.green())) <= 2);
        QVERIFY(qAbs(qBlue(premultiplied) - channel(color.blue())) <= 2);
        // Between two spokes there is nothing.
        const QPoint gap = designPixel(0, -82.5, angle + k * 30 + 15);
        QCOMPARE(qAlpha(image.pixel(gap)), 0);
        // The spoke's outline: points 2 units inside its edges are covered,
        // points 2 units outside are not.
        for (const QPointF &in : inside) {
            const int alpha = qAlpha(image.pixel(designPixel(in.x(), in.y(), angle + k * 30)));
            QVERIFY2(qAbs(alpha - expected) <= 2,
                qPrintable(QStringLiteral("spoke %1 inside %2,%3: %4")
                               .arg(k)
                               .arg(in.x())
                               .arg(in.y())
                               .arg(alpha)));
        }
        for (const QPointF &out : outside) {
            const int alpha = qAlpha(image.pixel(designPixel(out.x(), out.y(), angle + k * 30)));
            QVERIFY2(alpha == 0,
                qPrintable(QStringLiteral("spoke %1 outside %2,%3: %4")
                               .arg(k)
                               .arg(out.x())
                               .arg(out.y())
                               .arg(alpha)));
        }
    }
}

void tst_BusyIndicator::ringCoverage_data()
{
    QTest::addColumn<int>("rotations");
    // Angles whose gradient start lies off the frame's axes, so the ring's
    // outer edge at radius 110 is inside the frame there.
    QTest::newRow("30") << 1;
    QTest::newRow("120") << 4;
    QTest::newRow("210") << 7;
}

void tst_BusyIndicator::ringCoverage()
{
    QFETCH(int, rotations);

    BusyIndicator indicator;
    indicator.resize(200, 200);
    indicator.setColor(QColor(10, 120, 30));
    rotateTimes(indicator, rotations);
    const QImage image = renderWidget(indicator);

    // Along the gradient's start, and a little clockwise of it where the end
    // stop's full opacity returns, the ring is opaque.
    const int angle = rotations * 30;
    for (int offset : {0, 4, 8}) {
        const qreal clockwise = angle + offset; // from three o'clock
        auto at
            = [&](qreal radius) { return qAlpha(image.pixel(designPixel(radius, 0, clockwise))); };
        QCOMPARE(at(0), 0);
        QCOMPARE(at(57.5), 0);
        QVERIFY2(at(62.5) > 200, qPrintable(QString::number(at(62.5))));
        QVERIFY2(at(85) > 200, qPrintable(QString::number(at(85))));
        QVERIFY2(at(107.5) > 200, qPrintable(QString::number(at(107.5))));
        QCOMPARE(at(112.5), 0);
    }
}

void tst_BusyIndicator::ringGradientTurns_data()
{
    QTest::addColumn<int>("rotations");
    QTest::addColumn<int>("alpha");
    QTest::newRow("0") << 0 << 255;
    QTest::newRow("30") << 1 << 255;
    QTest::newRow("150") << 5 << 255;
    QTest::newRow("330") << 11 << 255;
    QTest::newRow("translucent-0") << 0 << 100;
    QTest::newRow("translucent-90") << 3 << 100;
}

void tst_BusyIndicator::ringGradientTurns()
{
    QFETCH(int, rotations);
    QFETCH(int, alpha);

    BusyIndicator indicator;
    indicator.resize(200, 200);
    indicator.setColor(QColor(0, 0, 0, alpha));
    rotateTimes(indicator, rotations);
    const QImage image = renderWidget(indicator);

    const int angle = rotations * 30;
    for (int direction = 0; direction < 360; direction += 10) {
        // Screen direction counter-clockwise, so clockwise turn is its negative.
        const QPoint p = designPixel(85, 0, -direction);
        const int expected = expectedRingAlpha(direction, angle, alpha);
        if (expected < 0)
            continue;
        const int actual = qAlpha(image.pixel(p));
        QVERIFY2(qAbs(actual - expected) <= 8,
            qPrintable(QStringLiteral("direction %1: alpha %2, expected %3")
                           .arg(direction)
                           .arg(actual)
                           .arg(expected)));
    }
}

void tst_BusyIndicator::unknownStyleIsTransparentAndCached_data()
{
    QTest::addColumn<int>("style");
    QTest::newRow("3") << 3;
    QTest::newRow("minus-1") << -1;
    QTest::newRow("42") << 42;
}

void tst_BusyIndicator::unknownStyleIsTransparentAndCached()
{
    QFETCH(int, style);

    BusyIndicator indicator;
    indicator.setColor(Qt::black);
    indicator.setIndicatorStyle(static_cast<BusyIndicator::IndicatorStyle>(style));
    QCOMPARE(int(indicator.indicatorStyle()), style);

    const QImage image = renderWidget(indicator);
    QImage transparent(image.size(), image.format());
    transparent.fill(Qt::transparent);
    QCOMPARE(image, transparent);

    QPixmap frame;
    QVERIFY(QPixmapCache::find(frameKey("BusyIndicator", 100, 100, 0, style), &frame));
    QCOMPARE(frame.size(), QSize(100, 100));
    QCOMPARE(frame.toImage().convertToFormat(QImage::Format_ARGB32), transparent);
}

void tst_BusyIndicator::twelveRotationsReturnToZero()
{
    BusyIndicator indicator;
    indicator.setIndicatorStyle(BusyIndicator::RectStyle);
    const QImage start = renderWidget(indicator);

    for (int i = 1; i <= 12; ++i) {
        QPixmapCache::clear();
        rotateTimes(indicator, 1);
        const QImage image = renderWidget(indicator);
        QVERIFY(isCached(frameKey("BusyIndicator", 100, 100, (i * 30) % 360, 0)));
        if (i == 12)
            QVERIFY(!isCached(frameKey("BusyIndicator", 100, 100, 360, 0)));
        QCOMPARE(image == start, i == 12);
    }
}

void tst_BusyIndicator::timerTurnsTheFigure()
{
    // The indicator's own timer drives it without any help: a shown widget
    // repaints itself through a full turn.
    BusyIndicator indicator;
    indicator.show();
    QVERIFY(QTest::qWaitForWindowExposed(&indicator));
    for (int angle = 0; angle < 360; angle += 30)
        QTRY_VERIFY(isCached(frameKey("BusyIndicator", 100, 100, angle, 2)));
}

// On a screen of device pixel ratio 2 (the "hidpi" run, QT_SCALE_FACTOR=2)
// frames are drawn with twice the pixels and cached apart from ratio-1 ones.
void tst_BusyIndicator::highDensityFrames()
{
    BusyIndicator indicator;
    indicator.setIndicatorStyle(BusyIndicator::EllipseStyle);
    indicator.show();
    QVERIFY(QTest::qWaitForWindowExposed(&indicator));
    const qreal ratio = indicator.devicePixelRatioF();
    if (ratio == 1.0)
        QSKIP("needs a high-density screen: run with QT_SCALE_FACTOR=2");
    indicator.repaint();

    QPixmap frame;
    QVERIFY(QPixmapCache::find(frameKey("BusyIndicator", 100, 100, 0, 1) + "@2", &frame));
    QVERIFY(!isCached(frameKey("BusyIndicator", 100, 100, 0, 1)));
    QCOMPARE(frame.size(), QSize(200, 200));
    QCOMPARE(frame.devicePixelRatio(), 2.0);
    // The figure fills the same logical square: the first spoke's circle
    // (design square -10..20 by -100..-70) is opaque at its centre.
    const QImage image = frame.toImage();
    QCOMPARE(qAlpha(image.pixel(105, 15)), 255);
    QCOMPARE(qAlpha(image.pixel(100, 100)), 0);
}

void tst_BusyIndicator::writeDocsImage()
{
    const QString path = qEnvironmentVariable("UPDATER_WRITE_DOCS_PNG");
    if (path.isEmpty())
        QSKIP("set UPDATER_WRITE_DOCS_PNG=path to write the picture of the three styles");

    const int side = 120;
    const int margin = 20;
    QImage image(3 * side + 4 * margin, side + 2 * margin, QImage::Format_ARGB32);
    image.fill(Qt::white);
    const BusyIndicator::IndicatorStyle styles[]
        = {BusyIndicator::RectStyle, BusyIndicator::EllipseStyle, BusyIndicator::ArcStyle};
    for (int i = 0; i < 3; ++i) {
        BusyIndicator indicator;
        indicator.resize(side, side);
        indicator.setColor(QColor(0x1f, 0x5f, 0xbf));
        indicator.setIndicatorStyle(styles[i]);
        QPainter painter(&image);
        indicator.render(&painter, QPoint(margin + i * (side + margin), margin), QRegion(),
            QWidget::RenderFlags());
    }
    QVERIFY2(image.save(path, "PNG"), qPrintable(path));
}

QTEST_MAIN(tst_BusyIndicator)
#include "tst_busyindicator.moc"
