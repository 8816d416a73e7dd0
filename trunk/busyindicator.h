#ifndef BUSYINDICATOR_H
#define BUSYINDICATOR_H

#include <QColor>
#include <QTimer>
#include <QWidget>

// A self-animating spinner: turns its figure by 30 degrees every 50 ms and
// draws each distinct frame once into the process-wide pixmap cache.
class BusyIndicator : public QWidget
{
    Q_OBJECT

public:
    enum IndicatorStyle { RectStyle, EllipseStyle, ArcStyle };

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
    // Private members are the implementation's to choose.
    QTimer timer;
};

#endif // BUSYINDICATOR_H
