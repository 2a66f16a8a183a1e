#pragma once
// Which port the window waits for after a loss (or at start, for the adapter the settings
// name), and where it is once back. It works on the device map's entries, not on what the
// port selector happens to show; the window selects the port and opens it.
#include <QString>

#include <functional>
#include <string>
#include <vector>

#include "serial/DeviceMap.h"
#include "serial/PortIdentity.h"

class PortReturn {
public:
    // A port lost: its name, its adapter's identity (empty when unknown) and, for a virtual
    // port, its link as it stood at the loss.
    void lose(QString port, std::string identity, QString linkStamp);
    // An adapter awaited by its identity alone.
    void awaitAdapter(std::string identity);

    const QString& port() const { return port_; }
    const std::string& identity() const { return identity_; }

    // The name the awaited port is back at, or empty. With an identity: the same adapter,
    // wherever the kernel has put it now, and never another one at its old path. Without: the
    // old name, once present. A virtual port whose link is the dead one (its terminal's number
    // now someone else's) is not back.
    QString findBack(const std::vector<PortEntry>& ports, const IdentityRoots& roots,
                     const std::function<bool(const QString& port)>& present,
                     const std::function<QString(const QString& port)>& linkStamp) const;

private:
    QString port_;
    std::string identity_;
    QString linkStamp_;
};
