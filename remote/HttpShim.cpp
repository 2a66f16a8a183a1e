#include "remote/HttpShim.h"

#include <QHash>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpSocket>
#include <QTimer>

#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
#include <QHttpHeaders>
#include <QHttpServerWebSocketUpgradeResponse>
#endif

using Status = QHttpServerResponder::StatusCode;

QList<HttpServerShim::Header> HttpServerShim::headers(const QHttpServerRequest& request)
{
    QList<Header> all;
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    for (const auto& h : request.headers().toListOfPairs())
        all.append({h.first, h.second});
#else
    for (const auto& h : request.headers())
        all.append({h.first, h.second});
#endif
    return all;
}

bool HttpServerShim::asksUpgrade(const QHttpServerRequest& request)
{
    return request.value("upgrade").compare("websocket", Qt::CaseInsensitive) == 0;
}

void HttpServerShim::closeAfterAnswer(QTcpSocket* socket, bool cut)
{
    if (!socket)
        return;
    const auto close = [socket, cut] {
        if (cut) {
            socket->flush();
            socket->abort();
        } else {
            socket->disconnectFromHost();
        }
    };
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QTimer::singleShot(0, socket, close);
#else
    close();
#endif
}

#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)

QTcpSocket* HttpServerShim::connectionOf(const QHttpServerRequest& request) const
{
    return connectionOf(request.remoteAddress(), request.remotePort());
}

HttpServerShim::HttpServerShim(QObject* parent) : QAbstractHttpServer(parent)
{
    // Qt asks before it upgrades; a refusal passes on to missingHandler, which answers it.
    addWebSocketUpgradeVerifier(this, [this](const QHttpServerRequest& request) {
        return admitUpgrade(request, connectionOf(request)) ? QHttpServerWebSocketUpgradeResponse::accept()
                                                            : QHttpServerWebSocketUpgradeResponse::passToNext();
    });
}

void HttpServerShim::write(QHttpServerResponder& responder, QTcpSocket* socket, int status,
                           const QList<Header>& headers, const QByteArray& body, bool head)
{
    // Qt 6.8 names the length of what it is given and sends the body even to a HEAD, so a HEAD
    // answer (the GET's length, no body) is written to the socket as it stands.
    if (head && socket) {
        static const QHash<int, QByteArray> reasons{{200, "OK"}, {303, "See Other"}, {401, "Unauthorized"},
                                                    {403, "Forbidden"}, {404, "Not Found"},
                                                    {405, "Method Not Allowed"}};
        QByteArray raw = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasons.value(status) + "\r\n";
        for (const Header& h : headers)
            raw += h.name + ": " + h.value + "\r\n";
        socket->write(raw + "\r\n");
        return;
    }
    // A length from us as well as Qt's would make the head ambiguous.
    QHttpHeaders all;
    for (const Header& h : headers) {
        if (h.name.compare("Content-Length", Qt::CaseInsensitive) != 0)
            all.append(h.name, h.value);
    }
    responder.write(body, all, static_cast<Status>(status));
}

bool HttpServerShim::handleRequest(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    QTcpSocket* socket = connectionOf(request);
    // An upgrade Qt did not take as one would otherwise hang as a WebSocket that never comes.
    if (asksUpgrade(request))
        refuseUpgrade(request, responder, socket);
    else
        serveRequest(request, responder, socket);
    return true;
}

void HttpServerShim::missingHandler(const QHttpServerRequest& request, QHttpServerResponder& responder)
{
    refuseUpgrade(request, responder, connectionOf(request));
}

#else

HttpServerShim::HttpServerShim(QObject* parent) : QAbstractHttpServer(parent) {}

void HttpServerShim::write(QHttpServerResponder& responder, QTcpSocket* /*socket*/, int status,
                           const QList<Header>& headers, const QByteArray& body, bool head)
{
    responder.writeStatusLine(static_cast<Status>(status));
    for (const Header& h : headers)
        responder.writeHeader(h.name, h.value);
    responder.writeBody(head ? QByteArray() : body);
}

bool HttpServerShim::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    if (asksUpgrade(request)) {
        // Qt upgrades the connection itself once this returns, unless it was cut.
        if (!admitUpgrade(request, socket)) {
            QHttpServerResponder responder = makeResponder(request, socket);
            refuseUpgrade(request, responder, socket);
        }
        return true;
    }
    QHttpServerResponder responder = makeResponder(request, socket);
    serveRequest(request, responder, socket);
    return true;
}

void HttpServerShim::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    serveRequest(request, responder, socket);
}

#endif
