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

#include "serial/CPortErrors.h"
#include "sign/SignLink.h"

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
// the time, then block until the next message, the deadline or AckPoll,
// and again (ready may turn true without a message: a port's device that
// goes). Answers ready(). Without a message loop binding it only waits.
inline constexpr std::chrono::milliseconds AckPoll{100};
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
    // the link's acknowledgement, Cancelled or the device gone (DeviceGone).
    // A wait of the caller's may end early when DeviceGone says so.
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
    // Transfers and event waits of the port that its driver did not end, not
    // even cancelled, and that were given up on (cport::TComTransfer).
    std::uint32_t GivenUp = 0;
};

// Whether the open port's device has gone (a pulled USB adapter), by the
// port's rule (cport::TCustomComPort::DeviceGone): a failure on the port
// that is not its own doing, or a wait for the answer that timed out
// (waitTimedOut), and the port's name no longer there. Cheap without a
// suspicion (nothing is asked), so a wait may call it often. Any thread.
bool DeviceGone(cport::TCustomComPort& port, bool waitTimedOut = false);

// Runs a transaction for the request that link holds (TSignLink::BeginRequest
// first). After each write, and after each wait without the acknowledgement
// (as a wait that timed out), it asks DeviceGone; a device gone ends the
// transaction there, the port closed at once. The port's OnRxChar must feed
// the bytes to link.Receive. Raises
// what OpenWithSettings raises (EComPort), with the port left as Open leaves
// it, unless hooks.OpenRaised takes it; nothing else. A port that cannot be
// opened is written to anyway, as the window does (the writes do nothing and
// each wait runs its course), unless hooks.Opened ends the transaction.
TTransactionResult RunTransaction(cport::TCustomComPort& port, TSignLink& link,
                                  const std::string& portName,
                                  const TTransactionTiming& timing = {},
                                  const TTransactionHooks& hooks = {});

} // namespace sign
