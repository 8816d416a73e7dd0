#include "busyindicator.h"

#include <QConicalGradient>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>

namespace {
// Every figure is drawn in a square from -100 to 100 on each axis.
constexpr qreal designSide = 200.0;
constexpr int spokeCount = 12;
constexpr int spokeStep = 360 / spokeCount;
} // namespace

BusyIndicator::BusyIndicator(QWidget *parent)
    : QWidget(parent)
    , timer()
    , rotationAngle(0)
    , currentStyle(ArcStyle)
    , fillColor()
{
    setGeometry(x(), y(), 100, 100);

    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed, QSizePolicy::DefaultType);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);

    fillColor = palette().brush(palette().currentColorGroup(), QPalette::WindowText).color();

    timer.setInterval(50);
    connect(&timer, SIGNAL(timeout()), this, SLOT(rotate()));
    timer.start();
}

BusyIndicator::~BusyIndicator() = default;

void BusyIndicator::setIndicatorStyle(IndicatorStyle style)
{
    currentStyle = style;
    update();
}

BusyIndicator::IndicatorStyle BusyIndicator::indicatorStyle() const
{
    return currentStyle;
}

void BusyIndicator::setColor(const QColor &color)
{
    // No repaint here: the colour is not part of the frame key, so a frame
    // already cached keeps its old colour until a frame is drawn anew.
    fillColor = color;
}

QSize BusyIndicator::sizeHint() const
{
    return QSize(60, 60);
}

QSize BusyIndicator::minimumSizeHint() const
{
    return QSize(20, 20);
}

void BusyIndicator::rotate()
{
    rotationAngle = (rotationAngle + spokeStep) % 360;
    update();
}

void BusyIndicator::paintEvent(QPaintEvent *)
{
    // The class name keeps frames of subclasses, which may draw differently,
    // apart from ours; the colour is deliberately left out so that indicators
    // differing only in colour share their frames. A high-density screen gets
    // frames of its own, drawn with its device pixels.
    const qreal ratio = devicePixelRatioF();
    QString key = QStringLiteral("%1:%2:%3:%4:%5")
                      .arg(QString::fromLatin1(metaObject()->className()))
                      .arg(width())
                      .arg(height())
                      .arg(rotationAngle)
                      .arg(static_cast<int>(currentStyle));
    if (ratio != 1.0)
        key += QStringLiteral("@%1").arg(ratio);

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing, true);

    const int side = qMin(width(), height());

    QPixmap pixmap;
    if (!QPixmapCache::find(key, &pixmap)) {
        pixmap = generatePixmap(side, ratio);
        QPixmapCache::insert(key, pixmap);
    }

    painter.translate(width() / 2 - side / 2, height() / 2 - side / 2);
    painter.drawPixmap(QRect(0, 0, side, side), pixmap, pixmap.rect());
}

QPixmap BusyIndicator::generatePixmap(int side, qreal ratio) const
{
    const int pixels = qRound(side * ratio);
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(QColor(255, 255, 255, 0));
    if (pixmap.isNull())
        return pixmap; // nothing to draw into; avoids painting on a null device

    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing, true);
    // Drawn in device pixels: the figure is scaled to the pixmap's own size
    // (at ratio 1 centred on the side's half in integer arithmetic, the
    // figure's rule on an ordinary screen).
    if (ratio == 1.0)
        painter.translate(side / 2, side / 2);
    else
        painter.translate(pixels / 2.0, pixels / 2.0);
    painter.scale(pixels / designSide, pixels / designSide);

    switch (currentStyle) {
    case RectStyle:
        drawRectStyle(&painter);
        break;
    case EllipseStyle:
        drawEllipseStyle(&painter);
        break;
    case ArcStyle:
        drawArcStyle(&painter);
        break;
    default:
        // Unknown styles leave the frame transparent.
        break;
    }
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

template <typename DrawSpoke>
void BusyIndicator::drawSpokes(QPainter *painter, DrawSpoke drawSpoke) const
{
    QColor color = fillColor;
    QBrush brush(color);
    painter->setPen(Qt::NoPen);
    painter->rotate(rotationAngle);

    // The first spoke keeps the colour's own alpha; each following one,
    // further clockwise, is more opaque, so the trail fades counter-clockwise.
    float alpha = 0.0f;
    for (int i = 0; i < spokeCount; ++i) {
        painter->setBrush(brush);
        drawSpoke(painter);
        painter->rotate(spokeStep);
        alpha += spokeStep;
        color.setAlphaF(alpha / 360.0f);
        brush.setColor(color);
    }
}

void BusyIndicator::drawRectStyle(QPainter *painter) const
{
    drawSpokes(painter, [](QPainter *p) { p->drawRect(QRect(-8, -100, 16, 35)); });
}

void BusyIndicator::drawEllipseStyle(QPainter *painter) const
{
    drawSpokes(painter, [](QPainter *p) { p->drawEllipse(QRect(-10, -100, 30, 30)); });
}

void BusyIndicator::drawArcStyle(QPainter *painter) const
{
    const QColor color = fillColor;
    // The painter stays unrotated: the gradient's start angle carries the
    // rotation (negated, since gradient angles run counter-clockwise).
    QConicalGradient gradient(0, 0, -rotationAngle);
    QColor transparent = color;
    transparent.setAlpha(0);
    QColor opaque = color;
    opaque.setAlpha(255);
    gradient.setColorAt(0, color);
    gradient.setColorAt(0.8, transparent);
    gradient.setColorAt(1, opaque);

    QPen pen;
    pen.setWidth(50);
    pen.setBrush(QBrush(gradient));
    painter->setPen(pen);
    painter->drawArc(QRectF(-85, -85, 170, 170), 0, 5760);
}
