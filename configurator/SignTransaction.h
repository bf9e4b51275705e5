#pragma once
// The sign transaction and the port list, without GUI: what the main window's
// commands and the command-line tool share.
//
// One transaction: set the port's name, open it at 9600 8N1, pause 10 ms,
// clear the acknowledgement, then up to three times write the same frame and
// wait up to 1000 ms for the acknowledgement, processing the GUI thread's
// messages meanwhile (the port's received-character handler, bound by the
// caller to TSignLink::Receive, runs inside that processing); no write after
// the acknowledgement; close the port.
//
// GUI thread only (the thread of the installed message loop binding,
// host/MessageLoop.h). The waits block between messages: an idle wait costs
// no CPU. They are measured on a monotonic clock.

#include "configurator/SignLink.h"
#include "serial/CPortErrors.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cport {
class TCustomComPort;
}

namespace sign {

using Clock = std::chrono::steady_clock;

// A source of the current time for WaitForAck; empty means Clock::now.
using TTimeSource = std::function<Clock::time_point()>;

// Processes the GUI thread's messages until ready() is true or timeout has
// passed since the call: process every waiting message, check ready, check
// the time, then block until the next message or the deadline, and again.
// Answers ready(). Without a message loop binding it only waits.
bool WaitForAck(const std::function<bool()>& ready, std::chrono::milliseconds timeout,
                const TTimeSource& now = {});

// The line settings of every command.
inline constexpr const char* LineSettings = "9600,N,8,1";

// Sets a port up as the sign link needs it: 9600 baud, no parity, one stop
// bit, eight data bits, all ten events, no flow control, DTR and RTS held
// off. Other settings (SyncMethod, handlers) are left as they are.
void ConfigureSignPort(cport::TCustomComPort& port);

struct TTransactionTiming {
    int Tries = 3;                           // writes at most
    std::chrono::milliseconds Wait{1000};    // after each write
    std::chrono::milliseconds OpenPause{10}; // between opening and the first write
};

struct TTransactionHooks {
    // Checked in every wait and before every write: true ends the
    // transaction at once (no further write, the port is closed).
    std::function<bool()> Cancelled;
    // The wait after each write, given the time-out; empty: WaitForAck until
    // the link's acknowledgement or Cancelled.
    std::function<void(std::chrono::milliseconds timeout)> Wait;
    // Called right before each write, on the calling thread (the moment a
    // request may first reach the sign).
    std::function<void()> Writing;
    // Called after each write with the frame and the bytes the port took.
    std::function<void(const std::string& frame, std::int32_t written)> Written;
    // Called once right after the open, on the calling thread, with whether
    // the port is open; comm::Api().GetLastError() still holds the open's OS
    // error. False ends the transaction there: nothing is written, no pause
    // is made, the port is closed. Empty: the transaction goes on either way
    // (the window writes into a port that did not open, as it always has).
    std::function<bool(bool opened)> Opened;
    // Called when the open raised after the port was open (what Open's
    // after-open reporting raises, as code 11 from a driver that fails the
    // modem query), on the calling thread, before Opened. True
    // goes on with the open port as if the open had succeeded. Empty or
    // false: the exception leaves RunTransaction, the port left open.
    std::function<bool(const cport::EComPort& raised)> OpenRaised;
};

struct TTransactionResult {
    bool Opened = false;       // the port was open after OpenWithSettings
    bool Acknowledged = false; // the link's AckReceived at the end
    int Writes = 0;            // writes made
    bool DeviceGone = false;   // the port's device went away (no more writes were made)
};

// Whether the driver says that the open port's device has gone (a pulled USB
// adapter): the modem query fails with the device-gone error. Its other
// refusals are a driver's without modem lines, which the open let pass; the
// input-queue query cannot tell, as the bytes that came before stay
// readable. A pulled adapter sends no event, so a wait asks this.
bool DeviceGone(cport::TCustomComPort& port);

// Runs a transaction for the request that link holds (TSignLink::BeginRequest
// first). After a wait without the acknowledgement it asks DeviceGone, and a
// device gone ends the transaction. The port's OnRxChar must feed the bytes to link.Receive. Raises
// what OpenWithSettings raises (EComPort), with the port left as Open leaves
// it, unless hooks.OpenRaised takes it; nothing else. A port that cannot be
// opened is written to anyway, as the window does (the writes do nothing and
// each wait runs its course), unless hooks.Opened ends the transaction.
TTransactionResult RunTransaction(cport::TCustomComPort& port, TSignLink& link,
                                  const std::string& portName,
                                  const TTransactionTiming& timing = {},
                                  const TTransactionHooks& hooks = {});

// The names the port scan probes, in order. On Windows COM1 ... COM255. On
// other systems the serial devices under `deviceDir` (empty: /dev) as
// comm::posix::ListSerialPorts lists them, the console left out: bare names
// ("ttyUSB0") for /dev, full paths for another folder, so that each opens as
// it is given.
std::vector<std::string> PortCandidates(const std::string& deviceDir = {});

// The candidates that the port can open now (PortExists), in order; a port
// held open by another program is left out. Leaves the port closed.
std::vector<std::string> ScanPorts(cport::TCustomComPort& port,
                                   const std::vector<std::string>& candidates);

} // namespace sign
