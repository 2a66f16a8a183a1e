#include "serial/PortBackend.h"

#include "serial/NetLink.h"
#include "serial/NetworkBackend.h"
#include "serial/TtyBackend.h"

std::unique_ptr<PortBackend> makePortBackend(const std::string& portName, bool& deviceLost)
{
    if (net::isNetworkName(portName))
        return std::make_unique<NetworkBackend>(portName, deviceLost);
    return std::make_unique<TtyBackend>(portName, deviceLost);
}
