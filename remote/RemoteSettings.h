#pragma once
// The remote operation's own settings, kept beside the window's settings file in a file of
// their own ("zdalne.json"): on or off, the TCP port and the access token.
#include <QByteArray>
#include <QString>

struct RemoteSettings {
    static constexpr quint16 DefaultPort = 8480;
    bool enabled = false;
    quint16 port = DefaultPort;
    QByteArray token;           // URL-safe base64 of 32 random bytes

    // Missing or unreadable file: the defaults with a fresh token (not yet saved).
    static RemoteSettings load(const QString& path);
    // Written whole or not at all, readable by the owner only (it holds the token).
    // Returns an empty string or the reason it failed.
    QString save(const QString& path) const;
};

// 256 bits from the system's random source, URL-safe base64 without padding (43 characters).
QByteArray newAccessToken();
// Compares in time that depends only on the lengths, not on where the texts differ.
bool sameToken(const QByteArray& given, const QByteArray& expected);
