#pragma once
// The serial ports of a Linux machine, for the port scan.
//
// ListSerialPorts lists the names (not paths) of the devices under devDir
// named ttyS<n>, ttyUSB<n>, ttyACM<n>, ttyAMA<n> and rfcomm<n>, n decimal
// digits, in that order of prefixes and, within a prefix, by n ascending
// (numerically: ttyS2 before ttyS10). Symlinks with such names are listed
// too, whatever they point to. Devices that are the system console are left
// out: consoleFile lists them, separated by blanks ("tty0 ttyS0"); a missing
// or unreadable console file leaves nothing out. Each name passes unchanged
// to CreateFileA as "\\.\" + name.
//
// Nothing is opened: the list comes from the directory alone, so it is safe
// to call with the console's own port present, and a listed port may still be
// busy or absent by the time it is opened. Blocks only for the directory
// read; thread-safe. An unreadable devDir gives an empty list.

#include <string>
#include <vector>

namespace comm::posix {

std::vector<std::string>
ListSerialPorts(const std::string& devDir = "/dev",
                const std::string& consoleFile = "/sys/class/tty/console/active");

} // namespace comm::posix
