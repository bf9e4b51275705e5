#pragma once
// The network backend of the communications interface: a serial port reached
// through a device server's TCP port, named "tcp://HOST:PORT" (raw: the bytes
// as they are, the line settings fixed on the server) or
// "rfc2217://HOST:PORT" (Telnet with COM-PORT-OPTION: the client sets the
// line and hears of the modem lines). The names are parsed by
// serial/driver/NetPortName.h.
//
// What the programs above the driver may set: the connect time-out.

#include <chrono>

namespace comm::net {

// How long CreateFileA on a network name may take to look the host up and
// connect, when nothing else is set.
inline constexpr std::chrono::milliseconds kDefaultConnectTimeout{5000};

// The connect time-out of every later open, process-wide (any thread). A
// time-out below 1 ms is taken as 1 ms.
void SetConnectTimeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds ConnectTimeout();

} // namespace comm::net
