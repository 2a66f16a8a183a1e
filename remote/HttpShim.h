#pragma once
// Qt HTTP Server changed its subclassing API after 6.4 (Debian 12) and before 6.8 (Debian 13):
// the request handlers no longer get the socket, the responder writes a whole answer in one
// call, the headers are a QHttpHeaders, WebSocket upgrades are decided by a verifier, and the
// router's rules are handed the responder instead of the socket and need a context object.
// This base class and the router below take the difference, so the server above them reads
// the same on both.
#include <QAbstractHttpServer>
#include <QByteArray>
#include <QHttpServerRequest>
#include <QHttpServerRouter>
#include <QHttpServerRouterRule>
#include <QList>
#include <QRegularExpression>
#include <QStringList>
#include <functional>
#include <memory>
#include <utility>

class QHostAddress;
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

// Qt's own router (QHttpServerRouter), read the same on both versions. A rule's handler is
// handed what the caller passed to handleRequest (its Context: the request, where the answer
// goes) and the path's captured segments; Qt's own third argument (the socket on 6.4, the
// responder on 6.8) stays in here.
template <typename Context>
class HttpRouterShim {
public:
    using Handler = std::function<void(Context& context, const QStringList& captured)>;

    explicit HttpRouterShim(QAbstractHttpServer* server)
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
        : router_(server), context_(server)
#endif
    {
        Q_UNUSED(server)
    }

    // A rule for a path as OpenAPI writes it (see pathPattern), for these methods. False when Qt
    // refused it.
    bool addRule(const QString& path, QHttpServerRequest::Methods methods, Handler handler)
    {
        const QString pattern = pathPattern(path);
        auto run = [this, handler = std::move(handler)](const QRegularExpressionMatch& match, const QHttpServerRequest&,
                                                        QtArgument) {
            handler(*current_, match.capturedTexts().mid(1));
        };
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
        auto rule = std::make_unique<QHttpServerRouterRule>(pattern, methods, context_, std::move(run));
#else
        auto rule = std::make_unique<QHttpServerRouterRule>(pattern, methods, std::move(run));
#endif
        // The handler takes no typed arguments: the segments come from the match itself.
        return static_cast<bool>(router_.template addRule<void (*)()>(std::move(rule)));
    }

    // Each "{name}" segment of a path matches one segment and is handed to the handler, in order;
    // the rest is matched as it stands (Qt would read it as a regular expression, where "/app.js"
    // also matches "/app_js").
    static QString pathPattern(const QString& path)
    {
        QStringList parts = path.split(QLatin1Char('/'));
        for (QString& part : parts)
            part = part.startsWith(QLatin1Char('{')) && part.endsWith(QLatin1Char('}'))
                ? QStringLiteral("([^/]+)")
                : QRegularExpression::escape(part);
        return parts.join(QLatin1Char('/'));
    }
    // Whether a request's path is one of that path's, whatever the method (Qt's rules match no
    // method it does not know).
    static bool pathMatches(const QString& path, const QString& requestPath)
    {
        return QRegularExpression(QRegularExpression::anchoredPattern(pathPattern(path))).match(requestPath).hasMatch();
    }

    // The first rule whose path and method match answers, and true; false when none does.
    bool handleRequest(const QHttpServerRequest& request, QHttpServerResponder& responder, QTcpSocket* socket,
                       Context& context) const
    {
        Context* outer = std::exchange(current_, &context);
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
        Q_UNUSED(socket)
        const bool taken = router_.handleRequest(request, responder);
#else
        Q_UNUSED(responder)
        const bool taken = router_.handleRequest(request, socket);
#endif
        current_ = outer;
        return taken;
    }

private:
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    using QtArgument = QHttpServerResponder&;
#else
    using QtArgument = QTcpSocket*;
#endif
    QHttpServerRouter router_;
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QObject* context_;  // the server: a rule is dropped with its context
#endif
    mutable Context* current_ = nullptr;
};
