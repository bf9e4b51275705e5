#include "sign/PortName.h"

#include <vector>

namespace sign {

namespace {

// The folder of the devices, which a bare name stands in.
constexpr char DevFolder[] = "dev";

// The parts of a path between slashes, empty ones (doubled slashes) left out.
std::vector<std::string> Parts(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t slash = path.find('/', start);
        if (slash == std::string::npos)
            slash = path.size();
        if (slash > start)
            parts.push_back(path.substr(start, slash - start));
        start = slash + 1;
    }
    return parts;
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

std::string CanonicalPosixPortName(const std::string& name, const std::string& currentFolder) {
    if (name.find('/') == std::string::npos)
        return name;
    std::string absolute = name;
    if (name[0] != '/') {
        absolute = currentFolder;
        absolute += '/';
        absolute += name;
    }
    std::vector<std::string> kept;
    for (const std::string& part : Parts(absolute)) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (!kept.empty())
                kept.pop_back(); // "/.." is "/"
            continue;
        }
        kept.push_back(part);
    }
    std::string path;
    for (const std::string& part : kept) {
        path += '/';
        path += part;
    }
    if (kept.empty())
        return std::string(1, '/');
    const bool finalSlash = absolute.back() == '/';
    if (!finalSlash && kept.size() == 2 && kept[0] == DevFolder)
        return kept[1];
    if (finalSlash)
        path += '/';
    return path;
}

std::string CanonicalWindowsPortName(const std::string& name) {
    std::string rest = name;
    if (rest.size() > 4 && (rest.rfind("\\\\.\\", 0) == 0 || rest.rfind("//./", 0) == 0))
        rest.erase(0, 4);
    if (rest.find_first_of("\\/") != std::string::npos)
        return name;
    for (char& c : rest)
        c = Upper(c);
    return rest;
}

bool IsWindowsSerialPortName(const std::string& name) {
    std::string rest = name;
    if (rest.rfind("\\\\.\\", 0) == 0 || rest.rfind("//./", 0) == 0)
        rest.erase(0, 4);
    // "COM", then 1 to 4 digits, the first not 0.
    if (rest.size() < 4 || rest.size() > 7 || Upper(rest[0]) != 'C' || Upper(rest[1]) != 'O' ||
        Upper(rest[2]) != 'M' || rest[3] == '0')
        return false;
    for (std::size_t i = 3; i < rest.size(); ++i)
        if (rest[i] < '0' || rest[i] > '9')
            return false;
    return true;
}

} // namespace sign
