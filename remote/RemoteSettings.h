#pragma once
// The remote operation's own settings, kept beside the window's settings file in a file of
// their own ("zdalne.json"): on or off, the TCP port, the operator's access token and the view
// page's own key, which shows the clocks and can send nothing.
#include <QByteArray>
#include <QString>

struct RemoteSettings {
    static constexpr quint16 DefaultPort = 8480;
    bool enabled = false;
    quint16 port = DefaultPort;
    QByteArray token;           // URL-safe base64 of 32 random bytes
    QByteArray viewerKey;       // the same kind, never equal to the token
    // The file was read but its viewer key had to be made (missing, short or the token's twin):
    // the caller saves it so that links given out keep working. Not itself saved.
    bool viewerKeyMade = false;

    // Missing or unreadable file (not a regular file, 64 KiB or more): the defaults with a fresh
    // token and key (not yet saved).
    static RemoteSettings load(const QString& path);
    // Written whole or not at all, readable by the owner only (it holds the token).
    // Returns an empty string or the reason it failed, naming the file.
    QString save(const QString& path) const;
};

// 256 bits from the system's random source, URL-safe base64 without padding (43 characters).
QByteArray newAccessToken();
// Compares in time that depends only on the lengths, not on where the texts differ.
bool sameToken(const QByteArray& given, const QByteArray& expected);
