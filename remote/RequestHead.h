#pragma once
// What the raw head of a request says, read before the HTTP server parses it. Qt's parser is
// more forgiving than the grammar (it skips leading empty lines, takes bare LF and folded
// lines), so whatever two readers could read apart is refused here: what passes reads the
// same to both, on every Qt version. A pure function of the bytes, so that it can be set
// beside Qt's own reading of them.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

struct HeadCheck {
    int status = 0;             // 0: the head is fine (or not yet whole); else 400, 431 or 501
    QByteArray code;            // the refusal's error code
    QString why;                // and its message
    qsizetype length = 0;       // the head's bytes, its empty line included; 0 while still arriving
    bool keepAlive = true;
    bool expectContinue = false;
    bool upgrade = false;       // a complete WebSocket upgrade: what follows is the WebSocket's
    qint64 bodyBytes = 0;       // from Content-Length
    QByteArray userAgent;       // as sent: Qt 6.8 drops a header it does not like
};

// The head as the guard read it, for whoever compares it with another reading.
struct HeadReading {
    QByteArray method;
    QByteArray target;
    QList<QPair<QByteArray, QByteArray>> headers;   // names as sent, values without the spaces around
};

// The verdict on the request that starts `stream`: a refusal, a head that passed (length > 0),
// or bytes that no whole head has come of yet but that could still start one.
HeadCheck readHead(const QByteArray& stream, qint64 maxHeadBytes, int maxHeaderLines, HeadReading* reading = nullptr);
