#pragma once
// The bus traffic as the main window sees it, as signals any number of watchers connect to:
// every frame written, every chunk read, every assembler run, each right after the event.
// A watcher only looks: it must not throw, write to the port or service events, so that the
// wire and its timing stay as they are with it.
#include <QHash>
#include <QList>
#include <QObject>

#include "base/Bytes.h"
#include "link/Frame.h"
#include "link/LinkObserver.h"
#include "link/Reply.h"

class LinkTraffic : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // A plain watcher's three calls, connected until unwatch or until context is destroyed
    // (by default: this).
    void watch(LinkObserver* observer, QObject* context = nullptr);
    void unwatch(LinkObserver* observer);
    // Receivers of the frames written: who watches now.
    int watchers() const;

signals:
    // A frame has been written. `accounting` is SendFrame's reply accounting; null for the
    // time broadcast, which bypasses it.
    void frameSent(const ByteString& frame, const FrameAccounting* accounting);
    // A reception's bytes, as read from the port, before they are assembled.
    void bytesReceived(const ByteString& chunk);
    // What the assembler made of the receive buffer after that reception.
    void replyAssembled(const AssembleReport& report);

private:
    QHash<LinkObserver*, QList<QMetaObject::Connection>> watched_;
};
