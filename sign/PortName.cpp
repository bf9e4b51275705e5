#include "sign/PortName.h"

#include "serial/driver/NetPortName.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
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

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The name after the device prefix "\\.\" or "//./", if it has one.
std::string_view WithoutDevicePrefix(std::string_view name) {
    if (name.rfind("\\\\.\\", 0) == 0 || name.rfind("//./", 0) == 0)
        name.remove_prefix(4);
    return name;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = Lower(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The groups of a colon-separated run of an IPv6 address ("fe80:1" or
// "ffff:192.0.2.1", an IPv4 address allowed last); none when malformed.
std::optional<std::vector<std::uint16_t>> Ipv6Run(std::string_view run) {
    std::vector<std::uint16_t> groups;
    if (run.empty())
        return groups;
    for (;;) {
        const std::size_t colon = run.find(':');
        const std::string_view group = run.substr(0, colon);
        if (group.find('.') != std::string_view::npos) {
            if (colon != std::string_view::npos)
                return std::nullopt;
            unsigned octets[4] = {};
            std::size_t n = 0;
            for (std::size_t start = 0; n < 4; ++n) {
                const std::size_t dot = group.find('.', start);
                const std::string_view part = group.substr(start, dot - start);
                if (part.empty() || part.size() > 3)
                    return std::nullopt;
                for (const char c : part) {
                    if (c < '0' || c > '9')
                        return std::nullopt;
                    octets[n] = octets[n] * 10 + static_cast<unsigned>(c - '0');
                }
                if (octets[n] > 255 || (dot == std::string_view::npos) != (n == 3))
                    return std::nullopt;
                start = dot + 1;
            }
            groups.push_back(static_cast<std::uint16_t>(octets[0] << 8 | octets[1]));
            groups.push_back(static_cast<std::uint16_t>(octets[2] << 8 | octets[3]));
            return groups;
        }
        if (group.empty() || group.size() > 4)
            return std::nullopt;
        unsigned value = 0;
        for (const char c : group) {
            const int d = HexDigit(c);
            if (d < 0)
                return std::nullopt;
            value = value * 16 + static_cast<unsigned>(d);
        }
        groups.push_back(static_cast<std::uint16_t>(value));
        if (colon == std::string_view::npos)
            return groups;
        run.remove_prefix(colon + 1);
    }
}

// An IPv6 address (without brackets) in full: eight groups of four hex
// digits; none when it is not one.
std::optional<std::string> FullIpv6(std::string_view text) {
    const std::size_t gap = text.find("::");
    const auto head = Ipv6Run(text.substr(0, gap));
    const auto tail = gap == std::string_view::npos
                          ? std::optional<std::vector<std::uint16_t>>{std::vector<std::uint16_t>{}}
                          : Ipv6Run(text.substr(gap + 2));
    if (!head || !tail || head->size() + tail->size() > 8 ||
        (gap == std::string_view::npos && head->size() != 8) ||
        (gap != std::string_view::npos && head->size() + tail->size() == 8))
        return std::nullopt;
    std::vector<std::uint16_t> all = *head;
    all.resize(8 - tail->size(), 0);
    all.insert(all.end(), tail->begin(), tail->end());
    static const char digits[] = "0123456789abcdef";
    std::string full;
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (i != 0)
            full += ':';
        for (int shift = 12; shift >= 0; shift -= 4)
            full += digits[(all[i] >> shift) & 0xF];
    }
    return full;
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

bool IsNetworkPortName(const std::string& name) {
    return comm::net::IsNetPortName(WithoutDevicePrefix(name));
}

std::string CanonicalNetPortName(const std::string& name) {
    const comm::net::TNetPortNameResult parsed =
        comm::net::ParseNetPortName(WithoutDevicePrefix(name));
    return parsed.Name ? comm::net::FormatNetPortName(*parsed.Name) : name;
}

std::string NetPortKey(const std::string& name) {
    const comm::net::TNetPortNameResult parsed =
        comm::net::ParseNetPortName(WithoutDevicePrefix(name));
    if (!parsed.Name)
        return {};
    std::string host = parsed.Name->Host;
    switch (parsed.Name->HostKind) {
    case comm::net::THostKind::hkName:
        for (char& c : host)
            c = Lower(c);
        break;
    case comm::net::THostKind::hkIpv6:
        host = "[" + FullIpv6(host).value_or(host) + "]";
        break;
    case comm::net::THostKind::hkIpv4:
        break;
    }
    return "net " + host + ":" + std::to_string(parsed.Name->Port);
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
