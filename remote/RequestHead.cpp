#include "remote/RequestHead.h"

#include <QUrl>
#include <algorithm>
#include <cstring>

namespace {

// ASCII alone, whatever the locale says.
bool isAlnum(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isTokenChar(char c)
{
    return isAlnum(c) || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// A byte a head may never hold: controls other than tab (the line ends are checked apart).
bool isControl(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return (b < 0x20 && b != '\t') || b == 0x7F;
}

// The origin form of RFC 9112 alone: a path from the root and a query, in the characters RFC
// 3986 allows there, every % followed by two hex digits. A fragment, a space or a raw byte
// above ASCII would be read apart by URL parsers; a path starting "//" reads as a host.
bool isOriginForm(const QByteArray& target)
{
    if (!target.startsWith('/') || target.startsWith("//"))
        return false;
    for (qsizetype i = 0; i < target.size(); ++i) {
        const char c = target[i];
        if (c == '%') {
            if (i + 2 >= target.size() || !isHex(target[i + 1]) || !isHex(target[i + 2]))
                return false;
            i += 2;
        } else if (!isAlnum(c) && (c == 0 || std::strchr("-._~!$&'()*+,;=:@/?", c) == nullptr)) {
            return false;
        }
    }
    return true;
}

// A host and an optional port as a URL reads them: the WebSocket handshake and the origin
// check read the Host header so, and one that reads as nothing (an empty label, a user, a
// path) would pass here and fail there.
bool isHost(const QByteArray& value)
{
    if (value.isEmpty()
        || !std::all_of(value.cbegin(), value.cend(), [](char c) {
               return isAlnum(c) || (c != 0 && std::strchr("-._~!$&'()*+,;=:[]%", c) != nullptr);
           }))
        return false;
    const QUrl url(QStringLiteral("http://") + QString::fromLatin1(value), QUrl::StrictMode);
    return url.isValid() && !url.host().isEmpty() && url.userInfo().isEmpty() && url.path().isEmpty()
           && !url.hasQuery() && !url.hasFragment();
}

// Bytes of a head still arriving that no complete head could mend; empty when none so far.
QString badStart(const QByteArray& bytes)
{
    if (bytes.startsWith('\r') || bytes.startsWith('\n'))
        return QStringLiteral("Żądanie zaczyna się od pustego wiersza");
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\n' && (i == 0 || bytes[i - 1] != '\r'))
            return QStringLiteral("Wiersz nagłówka nie kończy się znakami CR LF");
        if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] != '\n')
            return QStringLiteral("Znak CR bez LF w nagłówkach");
        if (c != '\r' && c != '\n' && isControl(c))
            return QStringLiteral("Znak sterujący w nagłówkach");
    }
    return {};
}

HeadCheck checkHead(const QByteArray& head, int maxHeaderLines, HeadReading* reading)
{
    HeadCheck out;
    const auto refuse = [&out](int status, const char* code, const QString& why) {
        out.status = status;
        out.code = code;
        out.why = why;
        return out;
    };
    // `head` ends with the empty line; it holds no bare CR or LF and no control byte.
    QList<QByteArray> lines = head.left(head.size() - 2).split('\n');
    lines.removeLast();   // after the last line's end
    for (QByteArray& l : lines)
        l.chop(1);        // the CR
    if (lines.size() - 1 > maxHeaderLines)
        return refuse(431, "headers_too_large", QStringLiteral("Nagłówki żądania są za duże albo jest ich za wiele"));
    const QList<QByteArray> requestLine = lines[0].split(' ');
    if (requestLine.size() != 3 || requestLine[0].isEmpty() || requestLine[1].isEmpty()
        || !std::all_of(requestLine[0].cbegin(), requestLine[0].cend(), isTokenChar)
        || (requestLine[2] != "HTTP/1.1" && requestLine[2] != "HTTP/1.0"))
        return refuse(400, "bad_request", QStringLiteral("Nieprawidłowy wiersz żądania"));
    const bool http10 = requestLine[2] == "HTTP/1.0";
    if (!isOriginForm(requestLine[1]))
        return refuse(400, "bad_request", QStringLiteral("Nieprawidłowy adres w wierszu żądania"));
    // A method Qt does not know it reads as another ("unknown"); CONNECT names no path.
    static const QList<QByteArray> methods{"GET", "HEAD", "POST", "PUT", "DELETE", "OPTIONS", "PATCH", "TRACE"};
    if (!methods.contains(requestLine[0]))
        return refuse(501, "not_implemented", QStringLiteral("Nieznana metoda żądania"));
    if (reading) {
        reading->method = requestLine[0];
        reading->target = requestLine[1];
    }

    int lengths = 0, hosts = 0, upgrades = 0, keys = 0, versions = 0;
    bool askedKeepAlive = false, askedClose = false, askedUpgrade = false, websocket = false, version13 = false;
    bool goodKey = false;
    QList<QByteArray> names;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines[i];
        if (line.startsWith(' ') || line.startsWith('\t'))
            return refuse(400, "bad_header", QStringLiteral("Nagłówek zawinięty na kilka wierszy"));
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !std::all_of(line.cbegin(), line.cbegin() + colon, isTokenChar))
            return refuse(400, "bad_header", QStringLiteral("Nieprawidłowa nazwa nagłówka"));
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (reading)
            reading->headers.append({line.left(colon), value});
        // Qt 6.4 keeps one header of a name and Qt 6.8 all of them, and the WebSocket's
        // handshake reads yet another: a name given twice is read apart. The framing and the
        // upgrade's own say so in their own words below.
        if (name != "content-length" && name != "host" && name != "upgrade") {
            if (names.contains(name)) {
                const QString given = QString::fromLatin1(line.left(colon));
                return refuse(400, "bad_header", QStringLiteral("Nagłówek %1 podany więcej niż raz").arg(given));
            }
            names.append(name);
        }
        if (name == "content-length") {
            bool digits = !value.isEmpty() && value.size() <= 12
                          && std::all_of(value.cbegin(), value.cend(), [](char c) { return c >= '0' && c <= '9'; });
            if (!digits || ++lengths > 1)
                return refuse(400, "bad_framing", QStringLiteral("Długość treści żądania jest niejednoznaczna"));
            out.bodyBytes = value.toLongLong();
        } else if (name == "transfer-encoding") {
            // The API takes small JSON bodies with their length; chunks are one more framing.
            return refuse(400, "bad_framing", QStringLiteral("Długość treści żądania jest niejednoznaczna"));
        } else if (name == "host") {
            if (++hosts > 1)
                return refuse(400, "bad_header", QStringLiteral("Nagłówek Host podany więcej niż raz"));
            if (!isHost(value))
                return refuse(400, "bad_header", QStringLiteral("Nieprawidłowy nagłówek Host"));
        } else if (name == "connection") {
            for (const QByteArray& token : value.toLower().split(',')) {
                askedKeepAlive |= token.trimmed() == "keep-alive";
                askedClose |= token.trimmed() == "close";
                askedUpgrade |= token.trimmed() == "upgrade";
            }
        } else if (name == "upgrade") {
            ++upgrades;
            websocket = value.compare("websocket", Qt::CaseInsensitive) == 0;
        } else if (name == "sec-websocket-key") {
            ++keys;
            goodKey = QByteArray::fromBase64Encoding(value, QByteArray::AbortOnBase64DecodingErrors).decoded.size() == 16;
        } else if (name == "sec-websocket-version") {
            ++versions;
            version13 = value == "13";
        } else if (name == "user-agent") {
            if (out.userAgent.isEmpty())
                out.userAgent = value;
        } else if (name == "expect") {
            out.expectContinue = value.compare("100-continue", Qt::CaseInsensitive) == 0;
        }
    }
    if (!http10 && hosts == 0)
        return refuse(400, "bad_header", QStringLiteral("Brak nagłówka Host"));
    if (upgrades > 0 || askedUpgrade) {
        // Qt takes some half upgrades as plain requests and others as upgrades; only the
        // whole one passes, and nothing else may name one.
        out.upgrade = upgrades == 1 && websocket && askedUpgrade && requestLine[0] == "GET" && !http10 && keys == 1
                      && goodKey && versions == 1 && version13 && lengths == 0;
        if (!out.upgrade)
            return refuse(400, "bad_upgrade", QStringLiteral("Niepełna prośba o połączenie WebSocket"));
    }
    out.keepAlive = http10 ? askedKeepAlive && !askedClose : !askedClose;
    return out;
}

} // namespace

HeadCheck readHead(const QByteArray& stream, qint64 maxHeadBytes, int maxHeaderLines, HeadReading* reading)
{
    const qsizetype end = stream.indexOf("\r\n\r\n");
    const QString bad = badStart(end < 0 ? stream : stream.left(end + 4));
    HeadCheck out;
    if (!bad.isEmpty()) {
        out.status = 400;
        out.code = "bad_request";
        out.why = bad;
    } else if (end < 0 ? stream.size() > maxHeadBytes : end + 4 > maxHeadBytes) {
        out.status = 431;
        out.code = "headers_too_large";
        out.why = QStringLiteral("Nagłówki żądania są za duże albo jest ich za wiele");
    } else if (end >= 0) {
        out = checkHead(stream.left(end + 4), maxHeaderLines, reading);
        if (out.status == 0)
            out.length = end + 4;
    }
    return out;
}
