#include "serial/driver/NetPortName.h"

#include <array>
#include <cstddef>

namespace comm::net {

namespace {

constexpr std::string_view kTcp = "tcp://";
constexpr std::string_view kRfc2217 = "rfc2217://";
constexpr std::size_t kMaxNameLength = 253;
constexpr std::size_t kMaxLabelLength = 63;
// Longer texts are cut in a reason: a whole name, a port, a part of a host.
constexpr std::size_t kMaxShown = 280;
constexpr std::size_t kMaxPortShown = 12;
constexpr std::size_t kMaxPartShown = 12;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// At most `most` bytes of `text`, with "..." when cut: a reason stays
// readable however long the name.
std::string Cut(std::string_view text, std::size_t most) {
    return std::string(text.substr(0, most)) + (text.size() > most ? "..." : "");
}

std::string Quoted(std::string_view text) {
    return "\"" + Cut(text, kMaxShown) + "\"";
}

// One character as the reason names it: 'x' when printable; otherwise the
// byte alone, which the caller's escaping shows as its code.
std::string Shown(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x20 && byte < 0x7F ? std::string{'\'', c, '\''} : std::string(1, c);
}

// The first character of `text` that no host form allows, if any. Letters,
// digits, '-', '.', ':' (IPv6) and the brackets pass; each form then checks
// its own.
std::optional<char> ForeignCharacter(std::string_view text) {
    for (char c : text) {
        if (!(IsLetter(c) || IsDigit(c) || c == '-' || c == '.' || c == ':' || c == '[' ||
              c == ']'))
            return c;
    }
    return std::nullopt;
}

// An IPv4 address in dotted-quad form; empty when it is one, else why not.
std::string Ipv4Error(std::string_view text) {
    std::size_t parts = 0;
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find('.', start);
        const std::string_view part = text.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        ++parts;
        if (parts > 4)
            return "has more than four numbers";
        if (part.empty())
            return "has an empty number";
        for (char c : part) {
            if (!IsDigit(c))
                return "holds " + Shown(c) + " (only digits and dots)";
        }
        if (part.size() > 1 && part[0] == '0')
            return "has a number with a leading zero (" + Cut(part, kMaxPartShown) + ")";
        if (part.size() > 3 || std::stoi(std::string(part)) > 255)
            return "has a number over 255 (" + Cut(part, kMaxPartShown) + ")";
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    if (parts != 4)
        return "has " + std::to_string(parts) + (parts == 1 ? " number" : " numbers") +
               ", not four";
    return {};
}

// The ':'-separated groups of one side of an IPv6 address; `ipv4Last`
// admits a dotted quad as the last group, which counts as two. Returns why
// not, or empty with `groups` counted.
std::string Ipv6GroupsError(std::string_view side, bool ipv4Last, int& groups) {
    groups = 0;
    if (side.empty())
        return {};
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = side.find(':', start);
        const std::string_view group = side.substr(
            start, colon == std::string_view::npos ? std::string_view::npos : colon - start);
        if (group.empty())
            return "has an empty group (a single ':' at the start or end, or ':::')";
        if (colon == std::string_view::npos && ipv4Last && group.find('.') != group.npos) {
            const std::string error = Ipv4Error(group);
            if (!error.empty())
                return "ends in an IPv4 address that " + error;
            groups += 2;
            return {};
        }
        for (char c : group) {
            if (!IsHexDigit(c))
                return "holds " + Shown(c) + " (only hex digits, ':' and a final IPv4 address)";
        }
        if (group.size() > 4)
            return "has a group of more than four hex digits (" + Cut(group, kMaxPartShown) + ")";
        ++groups;
        if (colon == std::string_view::npos)
            return {};
        start = colon + 1;
    }
}

std::string Ipv6Error(std::string_view text) {
    if (text.empty())
        return "is empty";
    if (text.find('%') != text.npos)
        return "has a zone id ('%'), which is not accepted: a zone names an interface of "
               "this machine only; use a global or unique-local address";
    const std::size_t gap = text.find("::");
    int left = 0;
    int right = 0;
    if (gap == text.npos) {
        const std::string error = Ipv6GroupsError(text, true, left);
        if (!error.empty())
            return error;
        if (left != 8)
            return "has " + std::to_string(left) + " groups, not eight (or use '::')";
        return {};
    }
    if (text.find("::", gap + 1) != text.npos)
        return "has '::' more than once";
    std::string error = Ipv6GroupsError(text.substr(0, gap), false, left);
    if (error.empty())
        error = Ipv6GroupsError(text.substr(gap + 2), true, right);
    if (!error.empty())
        return error;
    if (left + right > 7)
        return "has too many groups for '::' (" + std::to_string(left + right) + ")";
    return {};
}

// A DNS name after RFC 1123; empty when it is one, else why not.
std::string DnsNameError(std::string_view text) {
    if (text.size() > kMaxNameLength)
        return "is " + std::to_string(text.size()) + " characters long (at most " +
               std::to_string(kMaxNameLength) + ")";
    std::size_t start = 0;
    while (true) {
        const std::size_t dot = text.find('.', start);
        const std::string_view label = text.substr(
            start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
        if (label.empty())
            return "has an empty label (two dots in a row, or a dot at the start or end)";
        if (label.size() > kMaxLabelLength)
            return "has a label of " + std::to_string(label.size()) + " characters (at most " +
                   std::to_string(kMaxLabelLength) + ")";
        for (char c : label) {
            if (!(IsLetter(c) || IsDigit(c) || c == '-'))
                return "holds " + Shown(c) + " (only letters, digits, '-' and '.')";
        }
        if (label.front() == '-' || label.back() == '-')
            return "has a label that starts or ends with '-' (" + Cut(label, kMaxPartShown) + ")";
        if (dot == std::string_view::npos)
            return {};
        start = dot + 1;
    }
}

TNetPortNameResult Fail(std::string reason) {
    return TNetPortNameResult{std::nullopt, std::move(reason)};
}

} // namespace

bool IsNetPortName(std::string_view name) {
    return StartsWithNoCase(name, kTcp) || StartsWithNoCase(name, kRfc2217);
}

TNetPortNameResult ParseNetPortName(std::string_view name) {
    TNetPortName result;
    std::string_view rest;
    if (StartsWithNoCase(name, kTcp)) {
        result.Scheme = TNetScheme::nsTcp;
        rest = name.substr(kTcp.size());
    } else if (StartsWithNoCase(name, kRfc2217)) {
        result.Scheme = TNetScheme::nsRfc2217;
        rest = name.substr(kRfc2217.size());
    } else {
        return Fail("not a network port name (it does not start with tcp:// or rfc2217://): " +
                    Quoted(name));
    }
    const std::string_view scheme = name.substr(0, name.size() - rest.size());

    // What a URL may carry and a device server's port has no use for.
    const std::size_t extra = rest.find_first_of("/?#");
    if (extra != rest.npos)
        return Fail("nothing may follow the port, but " + Quoted(name) + " goes on with " +
                    Quoted(rest.substr(extra)) + "; write " + std::string(scheme) + "HOST:PORT");
    if (rest.find('@') != rest.npos)
        return Fail("user information (\"user@\") is not accepted in " + Quoted(name) + "; write " +
                    std::string(scheme) + "HOST:PORT");

    std::string_view host;
    std::string_view afterHost;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == rest.npos)
            return Fail("the IPv6 address in " + Quoted(name) + " has no closing ']'");
        host = rest.substr(1, close - 1);
        afterHost = rest.substr(close + 1);
        result.HostKind = THostKind::hkIpv6;
    } else {
        const std::size_t colon = rest.rfind(':');
        host = colon == rest.npos ? rest : rest.substr(0, colon);
        afterHost = colon == rest.npos ? std::string_view() : rest.substr(colon);
        if (host.find(':') != host.npos)
            return Fail("an IPv6 address must be written in brackets: " + std::string(scheme) +
                        "[" + Cut(host, kMaxShown) + "]:PORT");
    }

    if (afterHost.empty()) {
        if (host.empty() && result.HostKind != THostKind::hkIpv6)
            return Fail("the host and the port are missing in " + Quoted(name) + "; write " +
                        std::string(scheme) + "HOST:PORT");
        return Fail("no port in " + Quoted(name) +
                    ": add \":PORT\" (the device server's TCP "
                    "port, 1-65535)");
    }
    if (afterHost.front() != ':')
        return Fail("after the IPv6 address in " + Quoted(name) + " comes " + Quoted(afterHost) +
                    ", not \":PORT\"");
    if (host.empty())
        return Fail("the host is empty in " + Quoted(name));

    const std::string_view port = afterHost.substr(1);
    if (port.empty())
        return Fail("the port after ':' is empty in " + Quoted(name) + " (1-65535)");
    for (char c : port) {
        if (!IsDigit(c))
            return Fail("the port \"" + Cut(port, kMaxPortShown) + "\"" +
                        " is not a decimal number (it holds " + Shown(c) + ")");
    }
    std::uint32_t value = 0;
    for (char c : port) {
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535)
            break;
    }
    if (value < 1 || value > 65535) {
        return Fail("port " + Cut(port, kMaxPortShown) + " is out of range (1-65535)");
    }
    result.Port = static_cast<std::uint16_t>(value);

    if (result.HostKind == THostKind::hkIpv6) {
        const std::string error = Ipv6Error(host);
        if (!error.empty())
            return Fail("the IPv6 address " + Quoted(host) + " " + error);
        result.Host = std::string(host);
        return TNetPortNameResult{result, {}};
    }
    if (const std::optional<char> c = ForeignCharacter(host))
        return Fail("the host " + Quoted(host) + " holds " + Shown(*c) +
                    "; a host is a name of letters, digits, '-' and '.', an IPv4 address, or "
                    "an IPv6 address in brackets");
    // A name whose last label is all digits is no DNS name (RFC 1123 2.1):
    // such a host is meant as an IPv4 address and is judged as one.
    const std::size_t lastDot = host.rfind('.');
    const std::string_view last = lastDot == host.npos ? host : host.substr(lastDot + 1);
    bool numeric = !last.empty();
    for (char c : last)
        numeric = numeric && IsDigit(c);
    if (numeric) {
        const std::string error = Ipv4Error(host);
        if (!error.empty())
            return Fail("the IPv4 address " + Quoted(host) + " " + error);
        result.HostKind = THostKind::hkIpv4;
    } else {
        const std::string error = DnsNameError(host);
        if (!error.empty())
            return Fail("the host name " + Quoted(host) + " " + error);
        result.HostKind = THostKind::hkName;
    }
    result.Host = std::string(host);
    return TNetPortNameResult{result, {}};
}

std::string FormatNetPortName(const TNetPortName& name) {
    std::string out(name.Scheme == TNetScheme::nsTcp ? kTcp : kRfc2217);
    if (name.HostKind == THostKind::hkIpv6)
        out += "[" + name.Host + "]";
    else
        out += name.Host;
    return out + ":" + std::to_string(name.Port);
}

} // namespace comm::net
