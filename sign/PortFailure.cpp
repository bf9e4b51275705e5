#include "sign/PortFailure.h"

#include "serial/driver/CommApi.h"
#include "serial/driver/NetCommApi.h"
#include "serial/driver/NetPortName.h"
#include "sign/PortName.h"

#include <cstdio>

namespace sign {

namespace {

// Windows error codes of an open that the serial component's table does not
// name (serial/driver/CommApi.h).
constexpr std::uint32_t ErrorPathNotFound = 3;
constexpr std::uint32_t ErrorTooManyOpenFiles = 4;
constexpr std::uint32_t ErrorSemTimeout = 121;
constexpr std::uint32_t ErrorInvalidName = 123;
constexpr std::uint32_t ErrorNoSystemResources = 1450;

// "5 s", "0.5 s", "1.25 s".
std::string SecondsText(std::chrono::milliseconds time) {
    const long long ms = time.count();
    std::string text = std::to_string(ms / 1000);
    if (ms % 1000 != 0) {
        char fraction[8];
        std::snprintf(fraction, sizeof fraction, ".%03lld", ms % 1000);
        std::string f = fraction;
        while (f.back() == '0')
            f.pop_back();
        text += f;
    }
    return text + " s";
}

// The words for a network port's failure; empty for a code that is not one
// of a network's (the serial words then serve).
std::string NetFailureText(std::uint32_t osError, const TPortFacts& facts,
                           const std::string& code) {
    const std::string address = facts.NetAddress.empty() ? "the server" : facts.NetAddress;
    const std::string host = facts.NetHost.empty() ? "the server's host" : facts.NetHost;
    switch (osError) {
    case comm::WSAECONNREFUSED:
        return "nothing accepts connections at " + address + code;
    case comm::WSAHOST_NOT_FOUND:
        return "host " + host + " not found" + code;
    case comm::WSATRY_AGAIN:
        return "the name server did not answer for " + host + code;
    case comm::WSAENETUNREACH:
        return "no route to the network of " + host + code;
    case comm::WSAEHOSTUNREACH:
        return "no route to host " + host + code;
    case comm::WSAETIMEDOUT:
        return "timed out connecting to " + address +
               (facts.ConnectTimeout.count() > 0
                    ? " (connect time-out " + SecondsText(facts.ConnectTimeout) + ")"
                    : std::string()) +
               code;
    case comm::WSAECONNRESET:
        return "the connection to " + address + " was reset" + code;
    default:
        break;
    }
    if (facts.NetAddress.empty())
        return {};
    // Only a network port's open gives these for these reasons.
    if (osError == comm::ERROR_NOT_SUPPORTED)
        return address + " does not speak RFC 2217 (a raw TCP port is named tcp://)" + code;
    if (osError == comm::ERROR_DEVICE_REMOVED)
        return "the device server at " + address + " closed the connection";
    return {};
}

} // namespace

TPortFacts NameFacts(const std::string& port) {
    TPortFacts facts;
    if (!IsNetworkPortName(port))
        return facts;
    const comm::net::TNetPortNameResult parsed =
        comm::net::ParseNetPortName(CanonicalNetPortName(port));
    if (!parsed.Name)
        return facts;
    const comm::net::TNetPortName& name = *parsed.Name;
    facts.NetHost =
        name.HostKind == comm::net::THostKind::hkIpv6 ? "[" + name.Host + "]" : name.Host;
    facts.NetAddress = facts.NetHost + ":" + std::to_string(name.Port);
    facts.ConnectTimeout = comm::net::ConnectTimeout();
    return facts;
}

std::string WinsockErrorName(std::uint32_t osError) {
    switch (osError) {
    case comm::WSAECONNREFUSED:
        return "WSAECONNREFUSED";
    case comm::WSAHOST_NOT_FOUND:
        return "WSAHOST_NOT_FOUND";
    case comm::WSATRY_AGAIN:
        return "WSATRY_AGAIN";
    case comm::WSAENETUNREACH:
        return "WSAENETUNREACH";
    case comm::WSAEHOSTUNREACH:
        return "WSAEHOSTUNREACH";
    case comm::WSAETIMEDOUT:
        return "WSAETIMEDOUT";
    case comm::WSAECONNRESET:
        return "WSAECONNRESET";
    default:
        return {};
    }
}

std::string OpenFailureText(std::uint32_t osError, const TPortFacts& facts) {
    const std::string code =
        " (" + (facts.ErrorName.empty() ? "OS error " + std::to_string(osError) : facts.ErrorName) +
        ")";
    if (std::string net = NetFailureText(osError, facts, code); !net.empty())
        return net;
    // The component answers "file not found" for whatever is not a device.
    if (facts.NotADevice)
        return "not a serial port";
    switch (osError) {
    case comm::ERROR_FILE_NOT_FOUND:
    case ErrorPathNotFound:
        return "no such port";
    case comm::ERROR_ACCESS_DENIED:
    case comm::ERROR_SHARING_VIOLATION:
        return facts.NoAccess ? "permission denied: add yourself to the dialout group"
                              : "in use by another program";
    case comm::ERROR_INVALID_PARAMETER:
        return "not a serial port";
    case comm::ERROR_DEVICE_REMOVED:
        return "the device has gone";
    case ErrorInvalidName:
        return "not a valid port name";
    case ErrorTooManyOpenFiles:
        return "too many open files" + code;
    case comm::ERROR_NOT_ENOUGH_MEMORY:
    case ErrorNoSystemResources:
        return facts.OutOfFiles ? "too many open files" + code
                                : "not enough memory or system resources" + code;
    case ErrorSemTimeout:
        return "the device does not respond" + code;
    case comm::ERROR_OPERATION_ABORTED:
        return "the open was interrupted" + code;
    default:
        break;
    }
    // The POSIX backend gives "general failure" for every system error it
    // does not name, running out of file descriptors among them.
    if (facts.OutOfFiles)
        return "too many open files" + code;
    if (!facts.SystemText.empty())
        return "cannot be opened: " + facts.SystemText + code;
    if (osError == comm::ERROR_GEN_FAILURE)
        return "the device does not work" + code;
    return "cannot be opened for an unknown reason" + code;
}

std::string OpenFailureText(std::uint32_t osError, const std::string& port) {
    return OpenFailureText(osError, PortFacts(port, osError));
}

} // namespace sign
