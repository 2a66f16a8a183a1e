#include "app/PortReturn.h"

#include <utility>

void PortReturn::lose(QString port, std::string identity, QString linkStamp)
{
    port_ = std::move(port);
    identity_ = std::move(identity);
    linkStamp_ = std::move(linkStamp);
}

void PortReturn::awaitAdapter(std::string identity)
{
    lose({}, std::move(identity), {});
}

QString PortReturn::findBack(const std::vector<PortEntry>& ports, const IdentityRoots& roots,
                             const std::function<bool(const QString& port)>& present,
                             const std::function<QString(const QString& port)>& linkStamp) const
{
    QString back;
    if (!identity_.empty()) {
        if (const auto found = findIdentity(ports, identity_, roots))
            back = QString::fromStdString(ports[*found].portName);
    } else if (present(port_)) {
        back = port_;
    }
    if (!back.isEmpty() && back == port_ && !linkStamp_.isEmpty() && linkStamp(back) == linkStamp_)
        return {};
    return back;
}
