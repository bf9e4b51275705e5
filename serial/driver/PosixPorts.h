#pragma once
// Serial port names on a POSIX system, written once for every user: the
// device path a name stands for, whether a device is the system console, and
// the port scan. The backend (CreateFileA, QueryDosDeviceA), the sign core's
// platform files and radar-sign's all ask here. Nothing here opens a device:
// each answer comes from names, stat() and sysfs, so it is safe to ask with
// the console's own port present. Thread-safe; blocks only for the file
// system.

#include <string>
#include <vector>

namespace comm::posix {

// The file that names the system console's devices on Linux.
inline constexpr const char* SystemConsoleFile = "/sys/class/tty/console/active";

// The device path of a port's name: a bare name lives in /dev ("ttyUSB0" ->
// "/dev/ttyUSB0"); a name with a '/' is a path already and stays as it is
// ("/dev/pts/3", "../pts/3"); empty for an empty name. Windows' device
// prefix "\\.\" is CreateFileA's business, not a name's: it is not removed
// here.
std::string DevicePath(const std::string& name);

// Whether the device at `path` (a DevicePath) is the system console, so that
// no command may be written to it:
// - /dev/console itself (5:1), by its device number;
// - a device that consoleFile names, blank-separated ("tty0 ttyS0", as
//   /sys/class/tty/console/active does), by the device number of its node in
//   /dev, so that a symlink, a full path or another node of the console's
//   device is found too; and by the path /dev/<name> itself, for a console
//   whose node this system lacks;
// - any virtual console (tty0 to tty63), when one of the console's devices is
//   one: tty0 stands for whichever of them is current.
// A missing or unreadable console file names no device. A path that does not
// lead to a character device is the console only by its path.
bool IsSystemConsole(const std::string& path, const std::string& consoleFile = SystemConsoleFile);

// The port scan: the names (not paths) of the devices under devDir named
// ttyS<n>, ttyUSB<n>, ttyACM<n>, ttyAMA<n> and rfcomm<n>, n up to nine
// decimal digits, in that order of prefixes and, within a prefix, by n
// ascending (numerically: ttyS2 before ttyS10). Symlinks with such names are
// listed too, whatever they point to; folders are not. Left out:
// - the system console (IsSystemConsole, with consoleFile), and an entry
//   named as one of the console's devices (devDir stands for /dev);
// - a port of the kernel's serial core that has no UART behind it (its
//   device's type in sysCharDir/<major>:<minor>/type is 0: the ttyS<n> nodes
//   that the kernel makes for every possible port of a PC).
// A listed port may still be busy, or gone, by the time it is opened. An
// unreadable devDir gives an empty list.
std::vector<std::string> ListSerialPorts(const std::string& devDir = "/dev",
                                         const std::string& consoleFile = SystemConsoleFile,
                                         const std::string& sysCharDir = "/sys/dev/char");

} // namespace comm::posix
