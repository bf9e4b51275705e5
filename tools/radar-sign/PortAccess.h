#pragma once
// What radar-sign asks of the system about ports and its own streams, beyond
// the serial component and configurator/PortFailure.h: whether a port is the
// system console, and standard streams that no port may take the place of.
// One file per system (PosixPortAccess.cpp, Win32PortAccess.cpp), chosen in
// CMake. Nothing here opens a port.

#include <cstdint>
#include <string>

namespace radarsign {

// Whether `port` is the system console, by the devices that consoleFile names
// (as /sys/class/tty/console/active does: "tty0 ttyS0"; tty0 stands for
// whichever virtual console is current, so every virtual console is taken
// for it), or /dev/console itself. Compared by device number, so a symlink or
// a full path to the console is found too. A missing console file names no
// console. Opens nothing. Always false on Windows.
bool IsConsole(const std::string& port, const std::string& consoleFile);

// The console file of the system ("" where there is none).
std::string SystemConsoleFile();

// Makes sure that standard input, output and error are open descriptors, so
// that no port opened later takes the place of one (the result lines would
// then go to the sign): a closed one is opened on /dev/null, read-only, so
// that writing to it still fails as writing to a closed one does. Call first
// in main. Nothing to do on Windows.
void KeepStandardStreams();

} // namespace radarsign
