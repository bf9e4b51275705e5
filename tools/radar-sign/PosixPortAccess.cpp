#include "tools/radar-sign/PortAccess.h"

#include "serial/driver/PosixPorts.h"
#include "sign/PortName.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>

namespace radarsign {

bool IsConsole(const std::string& port, const std::string& consoleFile) {
    // A network name is no path, whatever the current folder holds.
    if (sign::IsNetworkPortName(port))
        return false;
    return comm::posix::IsSystemConsole(comm::posix::DevicePath(port), consoleFile);
}

std::string SystemConsoleFile() {
    return comm::posix::SystemConsoleFile;
}

void KeepStandardStreams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // open() gives the lowest free descriptor: this one.
        const int opened = ::open("/dev/null", O_RDONLY);
        if (opened >= 0 && opened != fd)
            ::close(opened);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

// Nothing here waits with select(), whose sets end at descriptor 1023.
void RaiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max)
        return;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) == 0)
        return;
    // An unlimited hard limit is above the kernel's own (fs.nr_open): as far
    // as that usual ceiling, or the soft limit stays.
    limit.rlim_cur = 1 << 20;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

std::size_t PortsAtOnce(std::size_t ports) {
    // Descriptors kept for the standard streams, the audit log, the
    // lists read and the system's own libraries.
    constexpr rlim_t Reserved = 16;
    constexpr rlim_t PerPort = 3;
    rlimit limit{};
    std::size_t bound = MaxPortsAtOnce;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const rlim_t fit = limit.rlim_cur > Reserved ? (limit.rlim_cur - Reserved) / PerPort : 0;
        bound = std::min<std::size_t>(bound, static_cast<std::size_t>(fit));
    }
    return std::max<std::size_t>(1, std::min(ports, bound));
}

TPcTime PcTimeNow() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    std::tm t{};
    if (::localtime_r(&now.tv_sec, &t) == nullptr)
        return {};
    return {{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
             t.tm_sec > 59 ? 59 : t.tm_sec},
            static_cast<int>(now.tv_nsec / 1000000)};
}

} // namespace radarsign
