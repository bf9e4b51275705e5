#pragma once
// Network port names: a serial port reached through a device server's TCP
// port, written `tcp://HOST:PORT` (the bytes as they are) or
// `rfc2217://HOST:PORT` (Telnet with the COM Port Control option, through
// which the line settings and the modem lines are set and reported).
//
// HOST is a DNS name (ASCII letters, digits and '-', in dot-separated labels
// of 1 to 63 characters that neither start nor end with '-', at most 253
// characters in all, no trailing dot), an IPv4 address in dotted-quad form
// (four decimal numbers 0-255 without leading zeros), or an IPv6 address in
// brackets (`[fe80::1]`, `[::ffff:192.0.2.1]`). Zone ids (`[fe80::1%25eth0]`)
// are refused: a zone names an interface of one machine, and a port name is
// kept in settings files that travel between machines. PORT is 1 to 65535 in
// decimal digits. Nothing may follow the port: no path, query, fragment, and
// no user information before the host.
//
// Pure text work: no name is resolved and nothing is opened. Thread: any;
// nothing here keeps state.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace comm::net {

enum class TNetScheme {
    nsTcp,     // tcp://: the bytes as they are
    nsRfc2217, // rfc2217://: Telnet with COM-PORT-OPTION (RFC 2217)
};

enum class THostKind { hkName, hkIpv4, hkIpv6 };

struct TNetPortName {
    TNetScheme Scheme = TNetScheme::nsTcp;
    // As written (a DNS name keeps its case); an IPv6 address without its
    // brackets.
    std::string Host;
    THostKind HostKind = THostKind::hkName;
    std::uint16_t Port = 0;
};

// A parsed name, or why the text is not one, in words a user can act on.
// The reason quotes the name as it came, cut to a few hundred bytes: control
// characters and bytes outside ASCII are left for the caller to show (every
// message of the programs passes through their one escaping of text).
struct TNetPortNameResult {
    std::optional<TNetPortName> Name;
    std::string Error;
};

// Whether `name` is meant as a network port name: it starts with `tcp://`
// or `rfc2217://`, in any case. Such a name is parsed here and, when
// malformed, reported as bad input; it never goes to a serial device's open.
bool IsNetPortName(std::string_view name);

// Parses a network port name. A name IsNetPortName refuses gets the reason
// "not a network port name ...".
TNetPortNameResult ParseNetPortName(std::string_view name);

// The name written back: scheme in lower case, an IPv6 host in brackets.
std::string FormatNetPortName(const TNetPortName& name);

} // namespace comm::net
