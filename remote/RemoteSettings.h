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
    // Why the file that is there could not be taken (Polish, one sentence naming it); empty
    // when it was read or is missing. Such a file is left as it is and the server stays off,
    // so that a slip of the hand does not cost the token and the links given out.
    QString damage;

    // Missing file: the defaults with a fresh token and key (not yet saved). A file that cannot
    // be read, does not parse or holds a value of the wrong type: the same, server off, and
    // `damage` says why.
    static RemoteSettings load(const QString& path);
    // Written whole or not at all, readable by the owner only (it holds the token).
    // Returns an empty string or the reason it failed, naming the file.
    QString save(const QString& path) const;
};

// 256 bits from the system's random source, URL-safe base64 without padding (43 characters).
QByteArray newAccessToken();
// Compares in time that depends only on the lengths, not on where the texts differ.
bool sameToken(const QByteArray& given, const QByteArray& expected);
