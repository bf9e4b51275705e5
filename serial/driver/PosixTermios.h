#pragma once
// Internal to the POSIX backend: the device control block in termios terms.

#include "serial/driver/CommApi.h"

#include <cstdint>

struct termios;

namespace comm::posix {

// Checks the DCB the way the Windows driver does before touching the line:
// ERROR_SUCCESS or ERROR_INVALID_PARAMETER.
std::uint32_t ValidateDcb(const DCB& dcb);

// Fills t (which holds the port's current settings) from the DCB: raw mode,
// CLOCAL and CREAD, data bits, parity, stop bits, RTS/CTS and XON/XOFF flow
// control, parity checking. The speed is set when it is a standard one; for
// any other *anyBaud is set and the caller sets it with SetAnyBaud after
// tcsetattr. Returns ERROR_SUCCESS or ERROR_INVALID_PARAMETER (mark or space
// parity where the system has no CMSPAR; a rate the system cannot express).
std::uint32_t DcbToTermios(const DCB& dcb, termios* t, bool* anyBaud);

// True when the settings that define the line (speed, data bits, parity, stop
// bits, hardware flow control, XON/XOFF, parity checking) read back as asked.
// A pseudo-terminal always reads back 8 data bits without parity: on a port
// without modem lines (lineless true) those two are not compared.
bool EssentialsMatch(const termios& wanted, const termios& got, bool lineless);

// A DCB describing what termios holds (for GetCommState before any
// SetCommState); baud is the port's speed in bits per second.
DCB DcbFromTermios(const termios& t, std::uint32_t baud);

// The termios speed constant for a rate, or 0 when it has none.
unsigned SpeedConstant(std::uint32_t baud);
// The rate of a termios speed constant, 0 for unknown.
std::uint32_t SpeedValue(unsigned speed);

// termios2 (PosixBaud.cpp): any rate. Return 0 or an errno value.
bool HasAnyBaud();
int SetAnyBaud(int fd, std::uint32_t baud);
int GetAnyBaud(int fd, std::uint32_t* baud);

} // namespace comm::posix
