// Why a port did not open, as far as a POSIX system tells: the node's kind
// and permissions, whether the process has descriptors left, and the errno
// behind the serial component's code by its name.
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

// The symbolic name of an errno that an open, a lock or a terminal call can
// give; empty for another.
const char* ErrnoName(int error) {
    switch (error) {
    case EPERM:
        return "EPERM";
    case ENOENT:
        return "ENOENT";
    case EINTR:
        return "EINTR";
    case EIO:
        return "EIO";
    case ENXIO:
        return "ENXIO";
    case EBADF:
        return "EBADF";
    case EAGAIN:
        return "EAGAIN";
    case ENOMEM:
        return "ENOMEM";
    case EACCES:
        return "EACCES";
    case EBUSY:
        return "EBUSY";
    case ENODEV:
        return "ENODEV";
    case ENOTDIR:
        return "ENOTDIR";
    case EISDIR:
        return "EISDIR";
    case EINVAL:
        return "EINVAL";
    case ENFILE:
        return "ENFILE";
    case EMFILE:
        return "EMFILE";
    case ENOTTY:
        return "ENOTTY";
    case ETXTBSY:
        return "ETXTBSY";
    case ENOSPC:
        return "ENOSPC";
    case EROFS:
        return "EROFS";
    case EPIPE:
        return "EPIPE";
    case ERANGE:
        return "ERANGE";
    case ENAMETOOLONG:
        return "ENAMETOOLONG";
    case ENOLCK:
        return "ENOLCK";
    case ELOOP:
        return "ELOOP";
    case EOPNOTSUPP:
        return "EOPNOTSUPP";
    case ENOBUFS:
        return "ENOBUFS";
    case ETIMEDOUT:
        return "ETIMEDOUT";
    case ECANCELED:
        return "ECANCELED";
    case EOVERFLOW:
        return "EOVERFLOW";
    default:
        return "";
    }
}

} // namespace

bool NoAccess(const std::string& port) {
    const std::string path = PathOf(port);
    return !path.empty() && ::access(path.c_str(), R_OK | W_OK) != 0 && errno == EACCES;
}

TPortFacts PortFacts(const std::string& port, std::uint32_t osError) {
    TPortFacts facts;
    if (const int error = comm::posix::ErrnoBehind(osError); error != 0) {
        const std::string name = ErrnoName(error);
        facts.ErrorName = (name.empty() ? "" : name + ", ") + "errno " + std::to_string(error);
    }
    const std::string path = PathOf(port);
    struct stat st {};
    facts.NotADevice = !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode);
    facts.NoAccess = NoAccess(port);
    facts.OutOfFiles = OutOfDescriptors();
    return facts;
}

} // namespace sign
