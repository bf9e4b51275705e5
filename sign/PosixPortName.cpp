// Port names on POSIX: the path's lexical form, and the device by stat().
#include "sign/PortName.h"

#include "serial/driver/PosixPorts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace sign {

namespace {

// The process's current folder; "/" when it cannot be told (removed, or too
// deep), which makes a relative name absolute as best it can.
std::string CurrentFolder() {
    std::vector<char> buffer(4096);
    for (int i = 0; i < 8; ++i) {
        if (::getcwd(buffer.data(), buffer.size()) != nullptr)
            return buffer.data();
        if (errno != ERANGE)
            break;
        buffer.resize(buffer.size() * 2);
    }
    return "/";
}

} // namespace

std::string CanonicalPortName(const std::string& name) {
    if (IsNetworkPortName(name))
        return CanonicalNetPortName(name);
    return CanonicalPosixPortName(name, name.find('/') == std::string::npos || name[0] == '/'
                                            ? std::string("/")
                                            : CurrentFolder());
}

// Any path may lead to a terminal: what it opens tells.
bool CanNameASerialPort(const std::string&) {
    return true;
}

std::string PortDeviceKey(const std::string& name) {
    if (IsNetworkPortName(name)) {
        const std::string key = NetPortKey(name);
        return key.empty() ? "name " + name : key;
    }
    const std::string canonical = CanonicalPortName(name);
    const std::string path = comm::posix::DevicePath(canonical);
    // A character device is the same port under any node that names it;
    // anything else is no port, and is told so under each of its names.
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return "name " + canonical;
    return "device " + std::to_string(static_cast<unsigned long long>(st.st_rdev));
}

} // namespace sign
