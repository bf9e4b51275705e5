#include "serial/driver/PosixPorts.h"

#include <algorithm>
#include <cstdint>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace comm::posix {

namespace {

constexpr const char* kPrefixes[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA", "rfcomm"};

// Linux's fixed device numbers: /dev/console, and the virtual consoles tty0
// (the current one) to tty63.
constexpr unsigned kConsoleMajor = 5;
constexpr unsigned kConsoleMinor = 1;
constexpr unsigned kVirtualConsoleMajor = 4;
constexpr unsigned kVirtualConsoleCount = 64;

// The prefix index and number of a port name, or false for other names.
bool Parse(const std::string& name, std::size_t* prefix, std::uint64_t* number) {
    for (std::size_t i = 0; i < std::size(kPrefixes); ++i) {
        const std::string p = kPrefixes[i];
        if (name.size() <= p.size() || name.compare(0, p.size(), p) != 0)
            continue;
        const std::string digits = name.substr(p.size());
        if (digits.size() > 9 ||
            !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        *prefix = i;
        *number = std::stoull(digits);
        return true;
    }
    return false;
}

// The device number of the character device at path (links followed).
bool CharDevice(const std::string& path, dev_t* device) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    *device = st.st_rdev;
    return true;
}

bool IsVirtualConsole(dev_t device) {
    return major(device) == kVirtualConsoleMajor && minor(device) < kVirtualConsoleCount;
}

// tty0 to tty63 by name, for a system without their nodes.
bool IsVirtualConsoleName(const std::string& name) {
    const std::string digits = name.substr(std::min<std::size_t>(3, name.size()));
    return name.compare(0, 3, "tty") == 0 && !digits.empty() && digits.size() <= 2 &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
           std::stoul(digits) < kVirtualConsoleCount;
}

// The system console's devices, read once from its console file.
class TConsoles {
public:
    explicit TConsoles(const std::string& consoleFile) {
        std::ifstream in(consoleFile);
        for (std::string name; in >> name;) {
            names_.push_back(name);
            virtual_ = virtual_ || IsVirtualConsoleName(name);
            dev_t device{};
            if (CharDevice("/dev/" + name, &device)) {
                devices_.push_back(device);
                virtual_ = virtual_ || IsVirtualConsole(device);
            }
        }
    }

    bool Named(const std::string& name) const {
        return std::find(names_.begin(), names_.end(), name) != names_.end();
    }

    bool Holds(const std::string& path) const {
        dev_t device{};
        if (CharDevice(path, &device)) {
            if (major(device) == kConsoleMajor && minor(device) == kConsoleMinor)
                return true;
            if (std::find(devices_.begin(), devices_.end(), device) != devices_.end())
                return true;
            if (virtual_ && IsVirtualConsole(device))
                return true;
        }
        const std::string prefix = "/dev/";
        return path.compare(0, prefix.size(), prefix) == 0 && Named(path.substr(prefix.size()));
    }

private:
    std::vector<std::string> names_;
    std::vector<dev_t> devices_;
    bool virtual_ = false; // one of the devices is a virtual console
};

// Whether the serial core says that no UART is behind the device at path.
bool WithoutUart(const std::string& path, const std::string& sysCharDir) {
    dev_t device{};
    if (!CharDevice(path, &device))
        return false;
    std::ifstream in(sysCharDir + "/" + std::to_string(major(device)) + ":" +
                     std::to_string(minor(device)) + "/type");
    std::string type;
    return in >> type && type == "0";
}

} // namespace

std::string DevicePath(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos)
        return name;
    return "/dev/" + name;
}

bool IsSystemConsole(const std::string& path, const std::string& consoleFile) {
    return TConsoles(consoleFile).Holds(path);
}

std::vector<std::string> ListSerialPorts(const std::string& devDir, const std::string& consoleFile,
                                         const std::string& sysCharDir) {
    struct Entry {
        std::size_t prefix;
        std::uint64_t number;
        std::string name;
    };
    std::vector<Entry> entries;
    DIR* dir = ::opendir(devDir.c_str());
    if (dir == nullptr)
        return {};
    const TConsoles consoles(consoleFile);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        std::size_t prefix = 0;
        std::uint64_t number = 0;
        if (!Parse(name, &prefix, &number) || consoles.Named(name))
            continue;
        // Device nodes and symlinks (to anything), not folders.
        const std::string path = devDir + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode))
            continue;
        if (consoles.Holds(path) || WithoutUart(path, sysCharDir))
            continue;
        entries.push_back({prefix, number, name});
    }
    ::closedir(dir);
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.prefix != b.prefix)
            return a.prefix < b.prefix;
        if (a.number != b.number)
            return a.number < b.number;
        return a.name < b.name; // ttyS01 and ttyS1
    });
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const Entry& e : entries)
        names.push_back(e.name);
    return names;
}

} // namespace comm::posix
