#pragma once
// What radar-sign asks of the system about ports, its own streams and the
// clock, beyond the serial component and sign/PortFailure.h: whether
// a port is the system console, standard streams that no port may take the
// place of, and the PC's local time to the millisecond. One file per system
// (PosixPortAccess.cpp, Win32PortAccess.cpp), chosen in CMake. Nothing here
// opens a port.

#include "sign/SignLink.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace radarsign {

// Whether `port` (a name as typed, or a candidate of the scan) is the system
// console, with consoleFile naming its devices as
// /sys/class/tty/console/active does ("tty0 ttyS0"). On POSIX this is
// comm::posix::IsSystemConsole on the port's device path: by device number,
// so that a symlink, a full path or another node of the console is found
// too, /dev/console and every virtual console (when tty0 is named) included.
// Opens nothing. Always false on Windows.
bool IsConsole(const std::string& port, const std::string& consoleFile);

// The console file of the system ("" where there is none).
std::string SystemConsoleFile();

// Makes sure that standard input, output and error are open descriptors, so
// that no port opened later takes the place of one (the result lines would
// then go to the sign): a closed one is opened on /dev/null, read-only, so
// that writing to it still fails as writing to a closed one does. Call first
// in main. And a reader of standard output that has gone (a closed pipe:
// `radar-sign read-time A B | head -1`) makes a write fail with EPIPE
// instead of ending the process: SIGPIPE is ignored, so that every port's
// command still runs to its end and is logged. Nothing to do on Windows.
void KeepStandardStreams();

// Raises the soft limit of open files to the hard limit: a fleet of network
// ports takes a few descriptors each (the socket, the wake-ups of the
// port's threads), a thousand of them more than the usual soft limit of
// 1024. A port that still finds none says "too many open files". Nothing to
// do on Windows.
void RaiseOpenFileLimit();

// How many of `ports` ports run at once: all of them up to a bound set by
// the open-file limit (a port holds up to three descriptors: the device or
// socket and its I/O thread's wake-up) and by the threads a process may run
// (a port has three or four), and at least one.
std::size_t PortsAtOnce(std::size_t ports);
// The bound on every system: 1024 ports at once, some 4000 threads.
inline constexpr std::size_t MaxPortsAtOnce = 1024;

// The PC's local time now, read once: the calendar time and the
// milliseconds past its second (0..999). Thread-safe.
struct TPcTime {
    sign::TSignClock Clock;
    int Millis = 0;
};
TPcTime PcTimeNow();

} // namespace radarsign
