#include "sign/PortList.h"

#include "serial/driver/PosixPorts.h"

namespace sign {

std::vector<std::string> PortCandidates(const std::string& deviceDir) {
    if (deviceDir.empty() || deviceDir == "/dev")
        return comm::posix::ListSerialPorts("/dev");
    std::vector<std::string> paths = comm::posix::ListSerialPorts(deviceDir);
    for (std::string& name : paths)
        name = deviceDir + "/" + name;
    return paths;
}

} // namespace sign
