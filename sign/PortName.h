#pragma once
// One name for one port: the form in which radar-sign (and whatever else
// records a port) shows and logs a port name however it was typed, and what
// tells two names of the same device apart. The rules of both systems are
// here as plain text functions, so that either can be checked anywhere;
// CanonicalPortName and PortDeviceKey apply the rule of the system built for
// (PosixPortName.cpp, Win32PortName.cpp, chosen in CMake). Nothing here opens
// a port.

#include <string>

namespace sign {

// A POSIX port name's canonical form. A name without a slash is a device
// under /dev and stays as it is ("ttyUSB90"). A path is made absolute
// against `currentFolder` when relative, and normalised lexically: "."
// dropped, ".." taking the folder before it away (as a shell's cd does, not
// following symlinks), doubled slashes made one; then a device directly
// under /dev is given by its bare name, as the port scan lists it
// ("/dev/../dev/ttyUSB90" -> "ttyUSB90"), and any other path in full
// ("/dev/pts/../pts/0" -> "/dev/pts/0"). A final slash is kept (it makes the
// open fail, as typed). The canonical form opens what it names.
std::string CanonicalPosixPortName(const std::string& name, const std::string& currentFolder);

// A Windows port name's canonical form: without the "\\.\" device prefix
// (or "//./"), and a device name (no slash or backslash) in upper case:
// "\\.\COM3", "com3" -> "COM3". Any other name stays as it is.
std::string CanonicalWindowsPortName(const std::string& name);

// Whether `name` names a Windows serial port: "COM" and a number from 1 to
// 9999 without leading zeros, in any case, bare or after the device prefix
// "\\.\" (or "//./"): "COM3", "com12", "\\.\COM3". Anything else is not
// one, whatever it would open: another device ("CON", "NUL", "LPT1",
// "\\.\PhysicalDrive0", "COM0"), a path with a backslash, a slash or a
// drive letter ("C:\windows", "Z:\dev\ttyS0", which Wine opens as the
// host's device), a name with anything after the number ("COM3:", "COM3.").
bool IsWindowsSerialPortName(const std::string& name);

// Whether `name` can name a serial port on this system, before anything is
// opened: on Windows IsWindowsSerialPortName; on POSIX any name (a path is
// told by what it opens).
bool CanNameASerialPort(const std::string& name);

// The canonical form of a port name on this system (on POSIX against the
// process's current folder).
std::string CanonicalPortName(const std::string& name);

// What tells the device behind a port name: two names with the same key are
// one port. On POSIX the character device that the name opens (stat,
// following symlinks: a symlink and its target, or two device nodes of one
// device, have the same key); a name that leads to no character device (none
// at all, a file, a folder) has its canonical form for key. On Windows the
// canonical name. Thread-safe.
std::string PortDeviceKey(const std::string& name);

} // namespace sign
