#include "app/StatusLine.h"

#include <QPainter>
#include <QStyle>
#include <QStyleOption>

StatusLine::StatusLine(QWidget* parent) : QLabel(parent) {}

void StatusLine::setPortMessage(const QString& before, const QString& port, const QString& after)
{
    before_ = before;
    port_ = port;
    after_ = after;
    setText(before + port + after);
    parts_ = true;
    setToolTip(text());
    update();
}

QString StatusLine::shownText() const
{
    const QString whole = text();
    // A plain setText() since (any other message) leaves the parts behind.
    if (!parts_ || whole != before_ + port_ + after_)
        return fontMetrics().elidedText(whole, Qt::ElideRight, contentsRect().width());
    const QFontMetrics fm = fontMetrics();
    const int room = contentsRect().width() - fm.horizontalAdvance(before_ + after_);
    if (fm.horizontalAdvance(port_) <= room)
        return whole;
    const QString port = fm.elidedText(port_, Qt::ElideMiddle, std::max(room, fm.horizontalAdvance(QStringLiteral("…"))));
    return fm.elidedText(before_ + port + after_, Qt::ElideRight, contentsRect().width());
}

void StatusLine::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    QStyleOption option;
    option.initFrom(this);
    style()->drawItemText(&painter, contentsRect(), static_cast<int>(alignment()), option.palette, isEnabled(),
                          shownText(), foregroundRole());
}
