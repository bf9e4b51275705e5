#include "sign/PortList.h"

#include "serial/CPort.h"

namespace sign {

std::vector<std::string> ScanPorts(cport::TCustomComPort& port,
                                   const std::vector<std::string>& candidates) {
    std::vector<std::string> found;
    for (const std::string& name : candidates)
        if (port.PortExists(name))
            found.push_back(name);
    return found;
}

} // namespace sign
