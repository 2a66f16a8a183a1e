#include "widgets/LinkGauge.h"

#include <QAccessible>
#include <QPainter>
#include <QPainterPath>
#include <algorithm>

LinkGauge::LinkGauge(QWidget* parent) : QWidget(parent), color_(palette().color(QPalette::Button))
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void LinkGauge::SetProgress(int value)
{
    value = std::clamp(value, 0, 100);
    if (value == progress_)
        return;
    progress_ = value;
    update();
    QAccessibleValueChangeEvent changed(this, value);
    QAccessible::updateAccessibility(&changed);
}

void LinkGauge::SetColor(const QColor& color)
{
    if (color == color_)
        return;
    color_ = color;
    update();
}

QSize LinkGauge::sizeHint() const
{
    return {160, fontMetrics().height() + 6};
}

QSize LinkGauge::minimumSizeHint() const
{
    return {60, fontMetrics().height() + 6};
}

void LinkGauge::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath outline;
    outline.addRoundedRect(frame, 3, 3);

    p.fillPath(outline, color_);
    if (progress_ > 0) {
        QRectF filled = frame;
        filled.setWidth(frame.width() * progress_ / 100.0);
        p.save();
        p.setClipPath(outline);
        p.fillRect(filled, QColor(0x00, 0xB0, 0x00));
        p.restore();
    }
    p.setPen(palette().color(QPalette::Dark));
    p.drawPath(outline);

    // The figure is white over the green fill and over a red track, dark over a light track.
    QFont f = font();
    f.setBold(true);
    p.setFont(f);
    const QString text = QString::number(progress_) + QStringLiteral(" %");
    const qreal split = frame.left() + frame.width() * progress_ / 100.0;
    const bool darkTrack = color_.lightnessF() < 0.6;
    p.save();
    p.setClipRect(QRectF(split, 0, width() - split, height()));
    p.setPen(darkTrack ? QColor(Qt::white) : palette().color(QPalette::WindowText));
    p.drawText(rect(), Qt::AlignCenter, text);
    p.restore();
    p.setClipRect(QRectF(0, 0, split, height()));
    p.setPen(Qt::white);
    p.drawText(rect(), Qt::AlignCenter, text);
}
