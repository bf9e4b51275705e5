// Why a port did not open, as far as a POSIX system tells: the node's kind
// and permissions, and whether the process has descriptors left.
#include "configurator/PortFailure.h"

#include "serial/driver/PosixCommApi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sign {

namespace {

std::string PathOf(const std::string& port) {
    return comm::posix::DevicePath(("\\\\.\\" + port).c_str());
}

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
    const std::string path = PathOf(port);
    return !path.empty() && ::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
}

TPortFacts PortFacts(const std::string& port, std::uint32_t) {
    TPortFacts facts;
    const std::string path = PathOf(port);
    struct stat st {};
    facts.NotADevice = !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode);
    facts.NoAccess = NoAccess(port);
    facts.OutOfFiles = OutOfDescriptors();
    return facts;
}

} // namespace sign
