#pragma once
// Qt HTTP Server changed its subclassing API after 6.4 (Debian 12) and before 6.8 (Debian 13):
// the request handlers no longer get the socket, the responder writes a whole answer in one
// call, the headers are a QHttpHeaders, and WebSocket upgrades are decided by a verifier. This
// base class takes the difference, so the server above it reads the same on both.
#include <QAbstractHttpServer>
#include <QByteArray>
#include <QList>

class QHostAddress;
class QHttpServerRequest;
class QHttpServerResponder;
class QTcpSocket;

class HttpServerShim : public QAbstractHttpServer {
    Q_OBJECT
public:
    explicit HttpServerShim(QObject* parent = nullptr);

    struct Header {
        QByteArray name;
        QByteArray value;
    };

    // The first header of that name, compared without case; empty when there is none.
    static QByteArray headerValue(const QHttpServerRequest& request, const QByteArray& name);
    // Every header as Qt read it (on 6.4 one of each name, in no particular order).
    static QList<Header> headers(const QHttpServerRequest& request);
    // A whole answer: the status line, these headers (Content-Length among them) and the body;
    // the answer to a HEAD (head set) goes without its body, the body's length still named.
    static void write(QHttpServerResponder& responder, QTcpSocket* socket, int status, const QList<Header>& headers,
                      const QByteArray& body, bool head = false);
    // The request names a WebSocket upgrade (which Qt may or may not take as one).
    static bool asksUpgrade(const QHttpServerRequest& request);
    // Ends the connection once the answer being written has gone out: gently (FIN), or cut
    // (RST) for a refusal. Qt 6.8 writes an answer after its handler has returned.
    static void closeAfterAnswer(QTcpSocket* socket, bool cut = false);
    // Qt 6.8 answers "Expect: 100-continue" itself; before it, the guard must.
    static constexpr bool answersContinue = QT_VERSION >= QT_VERSION_CHECK(6, 8, 0);

protected:
    // The connection a request came on, while it is open, known by its peer (Qt 6.8 no longer
    // hands the socket over).
    virtual QTcpSocket* connectionOf(const QHostAddress& peer, quint16 peerPort) const = 0;
    // Every request that is not to become a WebSocket.
    virtual void serveRequest(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket* socket) = 0;
    // Whether an upgrade may go ahead; when it may, the connection is a WebSocket's from now.
    virtual bool admitUpgrade(const QHttpServerRequest& request, QTcpSocket* socket) = 0;
    // An upgrade that may not go ahead (or that Qt did not take as one): answered and cut.
    virtual void refuseUpgrade(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket* socket) = 0;

private:
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QTcpSocket* connectionOf(const QHttpServerRequest& request) const;
#endif
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    bool handleRequest(const QHttpServerRequest& request, QHttpServerResponder& responder) override;
    void missingHandler(const QHttpServerRequest& request, QHttpServerResponder& responder) override;
#else
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;
#endif
};
