#pragma once
// The link gauge of a clock panel: a horizontal bar 0..100 that climbs with every decoded reply
// and drops with every unanswered frame. The fill is green; the track takes the gauge's Color,
// which turns red once a frame went unanswered and is never set back.
#include <QColor>
#include <QWidget>

class LinkGauge : public QWidget {
    Q_OBJECT
public:
    explicit LinkGauge(QWidget* parent = nullptr);

    int Progress() const { return progress_; }
    void SetProgress(int value);          // kept within 0..100
    QColor Color() const { return color_; }
    void SetColor(const QColor& color);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int progress_ = 0;
    QColor color_;
};
