#include "tools/radar-sign/PortAccess.h"

#include "serial/driver/PosixCommApi.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

namespace radarsign {

namespace {

// The Linux character devices of the virtual consoles (tty0 to tty63) and
// of /dev/console.
constexpr unsigned VirtualConsoleMajor = 4;
constexpr unsigned VirtualConsoleCount = 64;
constexpr unsigned ConsoleMajor = 5;
constexpr unsigned ConsoleMinor = 1;

std::string PathOf(const std::string& port) {
    return comm::posix::DevicePath(("\\\\.\\" + port).c_str());
}

// The device number of a character device at path.
bool CharDevice(const std::string& path, dev_t* device) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    *device = st.st_rdev;
    return true;
}

bool IsVirtualConsole(dev_t device) {
    return major(device) == VirtualConsoleMajor && minor(device) < VirtualConsoleCount;
}

} // namespace

bool IsConsole(const std::string& port, const std::string& consoleFile) {
    const std::string path = PathOf(port);
    dev_t device{};
    const bool isDevice = CharDevice(path, &device);
    if (isDevice && major(device) == ConsoleMajor && minor(device) == ConsoleMinor)
        return true;
    std::ifstream in(consoleFile);
    std::istringstream names(std::string(std::istreambuf_iterator<char>(in), {}));
    for (std::string name; names >> name;) {
        const std::string consolePath = "/dev/" + name;
        if (path == consolePath)
            return true;
        dev_t console{};
        if (!isDevice || !CharDevice(consolePath, &console))
            continue;
        if (device == console || (IsVirtualConsole(console) && IsVirtualConsole(device)))
            return true;
    }
    return false;
}

std::string SystemConsoleFile() {
    return "/sys/class/tty/console/active";
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
