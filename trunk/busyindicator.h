#ifndef BUSYINDICATOR_H
#define BUSYINDICATOR_H

#include <QColor>
#include <QTimer>
#include <QWidget>

class QPainter;
class QPixmap;

// A self-animating spinner: turns its figure by 30 degrees every 50 ms and
// draws each distinct frame once into the process-wide pixmap cache.
class BusyIndicator : public QWidget
{
    Q_OBJECT

public:
    enum IndicatorStyle : int { RectStyle, EllipseStyle, ArcStyle };

    explicit BusyIndicator(QWidget *parent = nullptr);
    ~BusyIndicator() override;

    void setIndicatorStyle(IndicatorStyle style);
    IndicatorStyle indicatorStyle() const;
    // Takes effect with the next frame that is not already cached.
    void setColor(const QColor &color);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private slots:
    void rotate();

private:
    // Renders the current figure into a transparent pixmap of side logical
    // pixels at the given device pixel ratio, scaled from a 200-unit design
    // square centred on the origin.
    QPixmap generatePixmap(int side, qreal ratio) const;
    void drawRectStyle(QPainter *painter) const;
    void drawEllipseStyle(QPainter *painter) const;
    void drawArcStyle(QPainter *painter) const;
    // Twelve fading spokes; drawSpoke paints one spoke pointing up.
    template <typename DrawSpoke> void drawSpokes(QPainter *painter, DrawSpoke drawSpoke) const;

    QTimer timer;
    int rotationAngle; // degrees, one of 0, 30, ..., 330
    IndicatorStyle currentStyle; // stored unchanged, also when outside the enum
    QColor fillColor;
};

#endif // BUSYINDICATOR_H
