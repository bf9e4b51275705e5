#pragma once
// Why a port did not open, in words a technician can act on: from the open's
// OS error (as the serial component reports it, Windows codes) and what the
// system tells of the port afterwards. The window's audit log and radar-sign
// say the same. One file per system looks the facts up (PosixPortFailure.cpp,
// Win32PortFailure.cpp), chosen in CMake. Nothing here opens a port.

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
};

// The reason in words for a port that did not open, from the OS error of the
// open and the facts looked up after it; the OS error follows in parentheses
// where the words are not the whole story ("the device does not work (OS
// error 31)", or with facts.ErrorName "too many open files (EMFILE, errno
// 24)").
std::string OpenFailureText(std::uint32_t osError, const TPortFacts& facts);

// True when the device of `port` (as the serial component names it) exists
// and this process may not read and write it. The OS gives "access denied"
// both for a port held by another program and for a device without read and
// write permission, and only the second is helped by joining the dialout
// group. Windows has no permission bits on COM ports: always false there.
bool NoAccess(const std::string& port);

// What the system tells of `port` after its open failed with `osError`
// (GetLastError of the open): see TPortFacts. Looks the path up and, for
// OutOfFiles, opens /dev/null a few times; opens no port. Thread-safe. On
// POSIX ErrorName comes from the errno behind the open's failure, which only
// the thread that opened knows, until its next call of the serial component:
// call it there, right after the open (the Opened hook of
// sign/SignTransaction.h).
TPortFacts PortFacts(const std::string& port, std::uint32_t osError);

// OpenFailureText with the facts looked up now.
std::string OpenFailureText(std::uint32_t osError, const std::string& port);

} // namespace sign
