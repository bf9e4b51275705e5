#pragma once
// One name for one port: the form in which radar-sign (and whatever else
// records a port) shows and logs a port name however it was typed, and what
// tells two names of the same device apart. The rules of both systems are
// here as plain text functions, so that either can be checked anywhere;
// CanonicalPortName and PortDeviceKey apply the rule of the system built for
// (PosixPortName.cpp, Win32PortName.cpp, chosen in CMake). Nothing here opens
// a port, and nothing resolves a host name.
//
// A network port name (`tcp://HOST:PORT`, `rfc2217://HOST:PORT`,
// serial/driver/NetPortName.h) is a port name on every system, with its own
// canonical form and key (below); the device prefix "\\.\" (or "//./") may
// stand before it, as before a COM name.

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

// Whether `name` (after an optional device prefix) is meant as a network
// port name: it starts with "tcp://" or "rfc2217://", in any case. Such a
// name is never a path or a device: a malformed one is bad input.
bool IsNetworkPortName(const std::string& name);

// A network port name's canonical form: the scheme in lower case, the host
// as written (an IPv6 address in brackets), the port without leading zeros
// ("Tcp://Sign-4:023" -> "tcp://Sign-4:23"). A name that is no well-formed
// network name stays as it is.
std::string CanonicalNetPortName(const std::string& name);

// What tells the server port behind a network name, by the text alone:
// "net HOST:PORT" with a host name in lower case (host names are
// case-blind), an IPv6 address in its full form ("[::1]" and
// "[0:0:0:0:0:0:0:1]" are one), and the scheme left out (tcp:// and
// rfc2217:// to one address reach one serial line). A host name and its
// address are not known to be one, and have two keys. Empty for a name that
// is no well-formed network name.
std::string NetPortKey(const std::string& name);

// Whether `name` can name a serial port on this system, before anything is
// opened: a well-formed network name anywhere; otherwise on Windows
// IsWindowsSerialPortName, on POSIX any name (a path is told by what it
// opens).
bool CanNameASerialPort(const std::string& name);

// The canonical form of a port name on this system (on POSIX against the
// process's current folder); a network name's is CanonicalNetPortName.
std::string CanonicalPortName(const std::string& name);

// What tells the device behind a port name: two names with the same key are
// one port. On POSIX the character device that the name opens (stat,
// following symlinks: a symlink and its target, or two device nodes of one
// device, have the same key); a name that leads to no character device (none
// at all, a file, a folder) has its canonical form for key. On Windows the
// canonical name. A network name's key is NetPortKey (a malformed one's its
// text): no path is looked up for it. Thread-safe.
std::string PortDeviceKey(const std::string& name);

} // namespace sign
