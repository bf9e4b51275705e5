#pragma once
// Whether the network backend can set the line of an rfc2217:// port on
// ser2net in front of a pseudo-terminal: ser2net answers the baud rate, data
// size, parity, stop size and flow control, but never a DTR or RTS setting
// when its device has no modem lines (a pty's TIOCMSET fails, and the answer
// is dropped). A client that waits for every answer cannot set the line
// there. Tests of rfc2217:// on ser2net ask this once and skip with the
// reason when it is so, rather than fail on the server's departure.

#include <string>

namespace rc_test {

// "" when SetCommState (9600 8N1, DTR and RTS on, as the serial component
// sets them) succeeds on a fresh ser2net's rfc2217:// port; otherwise why
// not. Asked once per process, on a server and pty of its own (so that the
// test's server is not left busy closing the probe's connection).
const std::string& Rfc2217LineUnsettable();

} // namespace rc_test
