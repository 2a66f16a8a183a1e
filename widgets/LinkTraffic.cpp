#include "widgets/LinkTraffic.h"

void LinkTraffic::watch(LinkObserver* observer, QObject* context)
{
    if (!context)
        context = this;
    QList<QMetaObject::Connection>& c = watched_[observer];
    c << connect(this, &LinkTraffic::frameSent, context,
                 [observer](const ByteString& frame, const FrameAccounting* accounting) {
                     observer->frameSent(frame, accounting);
                 });
    c << connect(this, &LinkTraffic::bytesReceived, context,
                 [observer](const ByteString& chunk) { observer->bytesReceived(chunk); });
    c << connect(this, &LinkTraffic::replyAssembled, context,
                 [observer](const AssembleReport& report) { observer->replyAssembled(report); });
    if (context != this)
        connect(context, &QObject::destroyed, this, [this, observer] { watched_.remove(observer); });
}

void LinkTraffic::unwatch(LinkObserver* observer)
{
    for (const QMetaObject::Connection& c : watched_.take(observer))
        disconnect(c);
}

int LinkTraffic::watchers() const
{
    return receivers(SIGNAL(frameSent(ByteString, const FrameAccounting*)));
}
