#pragma once
// What a browser's cookie holds in place of a secret: a random value the server gave it when it
// showed the token (or the viewer key) in the page's link. Kept in memory only, a bounded
// number of each kind, the oldest dropped first; a new token or key ends all of its kind.
#include <QByteArray>
#include <QHash>
#include <QList>

// What a request's credentials allow: the operator's token everything, the viewer key the
// view page and the state alone.
enum class RemoteAccess { None, Viewer, Operator };

class RemoteSessions {
public:
    explicit RemoteSessions(int perKind = 64) : perKind_(perKind) {}

    // A fresh value for one browser (URL-safe base64 of 256 bits from the system's source).
    QByteArray open(RemoteAccess access);
    // The access a value was opened with; None for a value unknown, dropped or revoked.
    RemoteAccess find(const QByteArray& value) const;
    // Every session of that kind ends.
    void revoke(RemoteAccess access);
    int count(RemoteAccess access) const;

private:
    // Digests of the values, so that a lookup's time tells nothing of a value held.
    QHash<QByteArray, RemoteAccess> held_;
    QList<QByteArray> order_;   // digests, oldest first
    int perKind_;
};
