// Why a port did not open, as far as a POSIX system tells: the node's kind
// and permissions, whether the process has descriptors left, and the errno
// behind the serial component's code by its name.
#include "sign/PortFailure.h"

#include "serial/driver/PosixCommApi.h"
#include "serial/driver/PosixPorts.h"
#include "sign/PortName.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <string.h> // strerrorname_np, a GNU extension

namespace sign {

namespace {

// Whether the process could get the descriptors a port's open takes (the
// device and the two ends of the wake-up pipe of its I/O thread).
bool OutOfDescriptors() {
    int fds[3];
    int got = 0;
    bool out = false;
    for (; got < 3; ++got) {
        fds[got] = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fds[got] < 0) {
            out = errno == EMFILE || errno == ENFILE;
            break;
        }
    }
    for (int i = 0; i < got; ++i)
        ::close(fds[i]);
    return out;
}

} // namespace

bool NoAccess(const std::string& port) {
    if (IsNetworkPortName(port))
        return false;
    const std::string path = comm::posix::DevicePath(port);
    return !path.empty() && ::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
}

TPortFacts PortFacts(const std::string& port, std::uint32_t osError) {
    TPortFacts facts = NameFacts(port);
    // A network open's own codes are named as on Windows: the interface's.
    if (const std::string winsock = WinsockErrorName(osError); !winsock.empty()) {
        facts.ErrorName = winsock + ", OS error " + std::to_string(osError);
    } else if (const int error = comm::posix::ErrnoBehind(osError); error != 0) {
        // The C library's own name of the errno ("EMFILE"), where it has one.
        const char* name = ::strerrorname_np(error);
        facts.ErrorName =
            (name != nullptr ? std::string(name) + ", " : "") + "errno " + std::to_string(error);
    }
    facts.OutOfFiles = OutOfDescriptors();
    // A network name is no path: a file that happens to be called so in the
    // current folder is not looked at.
    if (IsNetworkPortName(port))
        return facts;
    const std::string path = comm::posix::DevicePath(port);
    struct stat st {};
    facts.NotADevice = !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode);
    facts.NoAccess = NoAccess(port);
    return facts;
}

} // namespace sign
