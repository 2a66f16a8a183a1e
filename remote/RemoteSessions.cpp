#include "remote/RemoteSessions.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <array>

namespace {

QByteArray digest(const QByteArray& value)
{
    return QCryptographicHash::hash(value, QCryptographicHash::Sha256);
}

} // namespace

QByteArray RemoteSessions::open(RemoteAccess access)
{
    if (access == RemoteAccess::None)
        return {};
    std::array<quint32, 8> bits{};
    QRandomGenerator::system()->fillRange(bits.data(), bits.size());
    const QByteArray value = QByteArray(reinterpret_cast<const char*>(bits.data()), sizeof bits)
                                 .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    // Over the cap, the oldest of this kind goes: viewers never push an operator's out.
    if (count(access) >= perKind_) {
        for (qsizetype i = 0; i < order_.size(); ++i) {
            if (held_.value(order_[i]) == access) {
                held_.remove(order_.takeAt(i));
                break;
            }
        }
    }
    const QByteArray key = digest(value);
    held_.insert(key, access);
    order_.append(key);
    return value;
}

RemoteAccess RemoteSessions::find(const QByteArray& value) const
{
    if (value.isEmpty())
        return RemoteAccess::None;
    return held_.value(digest(value), RemoteAccess::None);
}

void RemoteSessions::revoke(RemoteAccess access)
{
    for (qsizetype i = order_.size() - 1; i >= 0; --i)
        if (held_.value(order_[i]) == access)
            held_.remove(order_.takeAt(i));
}

int RemoteSessions::count(RemoteAccess access) const
{
    int n = 0;
    for (const RemoteAccess a : held_)
        n += a == access;
    return n;
}
