#include "tools/radar-sign/PortAccess.h"

#include "serial/os/PosixCommApi.h"

#include <cerrno>

#include <unistd.h>

namespace radarsign {

bool NoAccess(const std::string& port) {
    const std::string path = comm::posix::DevicePath(("\\\\.\\" + port).c_str());
    return !path.empty() && ::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
}

} // namespace radarsign
