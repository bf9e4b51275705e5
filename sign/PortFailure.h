#pragma once
// Why a port did not open, in words a technician can act on: from the open's
// OS error (as the serial component reports it, Windows codes, Winsock's for
// a network port) and what the system tells of the port afterwards. The window's audit log and
// radar-sign say the same. One file per system looks the facts up (PosixPortFailure.cpp,
// Win32PortFailure.cpp), chosen in CMake. Nothing here opens a port.

#include <chrono>
#include <cstdint>
#include <string>

namespace sign {

// What the system tells of a port that did not open, beyond the open's OS
// error (PortFacts looks it up).
struct TPortFacts {
    // The device exists and this user may not read and write it (told apart
    // from "in use", which the OS reports with the same code).
    bool NoAccess = false;
    // The name leads to no serial port: on POSIX a path that exists but is
    // no device (a regular file, a directory), which the serial component
    // reports as "file not found"; on Windows any name but a COM port's
    // (sign::IsWindowsSerialPortName: a folder, a file, "CON"), whatever the
    // open said.
    bool NotADevice = false;
    // The process or the system has no file descriptor left.
    bool OutOfFiles = false;
    // The system's own message for the OS error, where it has one; empty
    // otherwise.
    std::string SystemText;
    // The OS error as its own system names and numbers it, for the
    // parentheses after the words: "EMFILE, errno 24" on POSIX (the errno
    // behind the backend's code), "ERROR_GEN_FAILURE, OS error 31" on
    // Windows. Empty: "OS error N" of the code given.
    std::string ErrorName;
    // A network port (sign::IsNetworkPortName): its server's address as the
    // name gives it ("sign-4.example:4001", "[2001:db8::1]:4001"), the host
    // alone, and the connect time-out in force (comm::net::ConnectTimeout).
    // Empty (0) for a serial port.
    std::string NetAddress;
    std::string NetHost;
    std::chrono::milliseconds ConnectTimeout{0};
};

// What a port's name alone tells: for a well-formed network name its
// address, host and the connect time-out now in force; nothing for another
// name. Looks nothing up (no name is resolved). Thread-safe.
TPortFacts NameFacts(const std::string& port);

// The name of a Winsock error that a network port's open fails with, as
// winsock2.h spells it ("WSAECONNREFUSED"); empty for another code.
std::string WinsockErrorName(std::uint32_t osError);

// The reason in words for a port that did not open, from the OS error of the
// open and the facts looked up after it; the OS error follows in parentheses
// where the words are not the whole story ("the device does not work (OS
// error 31)", or with facts.ErrorName "too many open files (EMFILE, errno
// 24)"). A network port's reasons name its server ("nothing accepts
// connections at sign-4:4001 (WSAECONNREFUSED, OS error 10061)"), and its
// connection closed by the server (ERROR_DEVICE_REMOVED) is said as that,
// not as a device that has gone.
std::string OpenFailureText(std::uint32_t osError, const TPortFacts& facts);

// True when the device of `port` (as the serial component names it) exists
// and this process may not read and write it. The OS gives "access denied"
// both for a port held by another program and for a device without read and
// write permission, and only the second is helped by joining the dialout
// group. Windows has no permission bits on COM ports: always false there.
bool NoAccess(const std::string& port);

// What the system tells of `port` after its open failed with `osError`
// (GetLastError of the open): see TPortFacts. Looks the path up and, for
// OutOfFiles, opens /dev/null a few times; opens no port. A network name's
// facts are NameFacts's, with OutOfFiles and ErrorName: no path is looked up
// for it. Thread-safe. On
// POSIX ErrorName comes from the errno behind the open's failure, which only
// the thread that opened knows, until its next call of the serial component:
// call it there, right after the open (the Opened hook of
// sign/SignTransaction.h).
TPortFacts PortFacts(const std::string& port, std::uint32_t osError);

// OpenFailureText with the facts looked up now.
std::string OpenFailureText(std::uint32_t osError, const std::string& port);

} // namespace sign
