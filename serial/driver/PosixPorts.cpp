#include "serial/driver/PosixPorts.h"

#include <algorithm>
#include <cstdint>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <set>
#include <sys/stat.h>

namespace comm::posix {

namespace {

constexpr const char* kPrefixes[] = {"ttyS", "ttyUSB", "ttyACM", "ttyAMA", "rfcomm"};

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

std::set<std::string> Consoles(const std::string& consoleFile) {
    std::set<std::string> names;
    std::ifstream in(consoleFile);
    std::string name;
    while (in >> name)
        names.insert(name);
    return names;
}

} // namespace

std::vector<std::string> ListSerialPorts(const std::string& devDir,
                                         const std::string& consoleFile) {
    struct Entry {
        std::size_t prefix;
        std::uint64_t number;
        std::string name;
    };
    std::vector<Entry> entries;
    DIR* dir = ::opendir(devDir.c_str());
    if (dir == nullptr)
        return {};
    const std::set<std::string> consoles = Consoles(consoleFile);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        std::size_t prefix = 0;
        std::uint64_t number = 0;
        if (!Parse(name, &prefix, &number) || consoles.count(name) != 0)
            continue;
        // Device nodes and symlinks (to anything), not folders.
        struct stat st {};
        if (::lstat((devDir + "/" + name).c_str(), &st) != 0 || S_ISDIR(st.st_mode))
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
