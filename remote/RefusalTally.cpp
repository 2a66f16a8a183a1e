#include "remote/RefusalTally.h"

RefusalTally::RefusalTally(std::function<void(const QString&)> write, int intervalMs, QObject* parent)
    : QObject(parent), write_(std::move(write))
{
    interval_.setInterval(intervalMs);
    connect(&interval_, &QTimer::timeout, this, [this] { flush(); });
}

RefusalTally::~RefusalTally()
{
    flush();
}

void RefusalTally::count(const QString& sender)
{
    if (!counts_.contains(sender))
        order_.append(sender);
    ++counts_[sender];
    // The interval starts with the first refusal, so a lone one is not held for long.
    if (!interval_.isActive())
        interval_.start();
}

void RefusalTally::flush()
{
    interval_.stop();
    for (const QString& sender : std::as_const(order_))
        write_(line(counts_.value(sender), sender));
    counts_.clear();
    order_.clear();
}

QString RefusalTally::line(int count, const QString& sender)
{
    const int tens = count % 100, ones = count % 10;
    const QString what = count == 1                                          ? QStringLiteral("odrzucone żądanie")
                         : ones >= 2 && ones <= 4 && (tens < 12 || tens > 14) ? QStringLiteral("odrzucone żądania")
                                                                              : QStringLiteral("odrzuconych żądań");
    return QStringLiteral("%1 %2 z %3 w ciągu minuty").arg(count).arg(what, sender);
}
