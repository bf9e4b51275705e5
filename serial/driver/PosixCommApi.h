#pragma once
// The POSIX backend of the communications interface: a serial driver over
// termios that behaves, towards its caller, as the Windows serial driver does.
// This header tells how each call of ICommApi (serial/driver/CommApi.h) behaves on
// Linux; the interface itself is there. Built for every Unix; the build picks
// it by file name (Posix*.cpp). What the Windows driver decides (read plans,
// deadlines, the input queue and its mark, the event latch, purge, error
// flags) comes from serial/driver/DriverRules.h, which the test fake follows too;
// this backend adds the tty, the I/O thread and the real clock.
//
// ---- Objects and handles ----------------------------------------------------
// Ports and events share one handle space; CloseHandle closes either. Handles
// are multiples of 4 and are never reused in a process, so a stale handle is
// refused with ERROR_INVALID_HANDLE instead of reaching another object. Ports
// are not waitable objects: WaitForSingleObject/WaitForMultipleObjects take
// events only (ERROR_INVALID_HANDLE otherwise).
//
// ---- CreateFileA -------------------------------------------------------------
// Takes "\\.\" + port name as on Windows; the prefix is optional. A name
// without "/" means /dev/<name> ("ttyUSB0"); a name with "/" is a path (a
// symlink to a device is followed). desiredAccess, shareMode, creation and
// flags are accepted as the component passes them and otherwise ignored:
// every port is opened read-write, overlapped and exclusive.
// The device is opened with O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC and
// taken for exclusive use with flock(LOCK_EX | LOCK_NB) and TIOCEXCL (given
// back with TIOCNXCL at close). flock also stops a second opener running as
// root, which TIOCEXCL alone does not; a second handle in this process is
// refused before the device is opened again (so the open does not disturb
// the modem lines of the port that is in use).
// Errors: absent name or device, or a path that is no character device →
// ERROR_FILE_NOT_FOUND; port held by another
// process or handle, or no permission → ERROR_ACCESS_DENIED (what Windows
// answers for a busy COM port); not a terminal → ERROR_INVALID_PARAMETER.
// At open: DTR and RTS are lowered at once (Linux raises both when a tty is
// opened) and held low until SetCommState says otherwise; HUPCL is cleared;
// the line is put in raw mode at its current speed; ASYNC_LOW_LATENCY is asked
// for where the driver has it (TIOCSSERIAL), silently going on where not.
// Every open port has one I/O thread of its own (see below; its name is
// "rc-port-io") and, besides
// the device, a pipe to wake it; a thread that has waited on a port's
// event keeps one eventfd until it ends.
//
// ---- The I/O thread and the input queue ---------------------------------------
// Per open port one thread blocks in poll() on the device and on a wake-up
// pipe. It moves received bytes into the port's input queue whether or not
// anyone reads, hands queued output to the device, completes transfers whose
// timeouts expire, and records communication events. It never wakes up
// periodically while the port is idle: the poll timeout is infinite unless a
// transfer timeout runs, output is draining (TIOCOUTQ looked at again when
// the queued bytes should be out, 1 to 100 ms later), or modem-line events are asked for on a port
// whose driver has modem lines (TIOCMGET every 10 ms while they are in the
// event mask; pseudo-terminals have no lines and are never polled).
// The input queue holds SetupComm's input size (4096 bytes before the first
// SetupComm). ClearCommError's cbInQue counts it. When it is full:
//  - without input flow control (neither RTS handshake, DTR handshake nor
//    fInX), the thread keeps reading the device so that the peer is never held
//    up by the kernel, and drops the bytes that do not fit: CE_RXOVER. This is
//    what the Windows driver does without handshake.
//  - with input flow control, the thread stops reading until the queue has
//    room again; the kernel's buffer then fills and its handshake (RTS low or
//    XOFF) holds the peer. Nothing is lost. On a pseudo-terminal the writer at
//    the other end simply blocks.
// Bytes received while a read is pending go straight on to that read.
// A thread that blocks in WaitForSingleObject/WaitForMultipleObjects (any)
// on the event of a pending ReadFile or WaitCommEvent of a port does that
// port's input work itself while it waits: it polls the device (and an
// eventfd of its own, so that SetEvent still wakes it), moves what arrives
// into the queue and completes what it can. The I/O thread stays off the
// device meanwhile. It takes the device back 2 ms after it left it if the
// wait has ended by then, and otherwise at the next call on the port. Until
// it does, every call (ReadFile, ClearCommError and WaitCommEvent) first
// reads what the tty holds, so each sees every byte that the Windows driver
// would have queued; an OnRxChar handler that queries the count and reads
// it so gets in one batch what came while its batch was handed over. Bytes
// that come after a long wait and before the next call wait in the tty's
// own buffer meanwhile. A received byte thus costs one wake-up on its way
// to the waiter, as with a plain poll()+read() loop, instead of two in a
// row (I/O thread, then waiter).
// Whoever reads the device reads it again at once after a read of 1 KiB or
// more (up to four reads in a row): a streaming tty refills its 4 KiB line
// buffer while it is read, so a batch is not cut at 4 KiB.
// Nothing changes for the caller: the same events, bytes and order.
// Input processing (in this order): parity-error marks (with fParity the line
// runs with INPCK and PARMRK; a byte with a parity or framing error becomes
// ErrorChar when fErrorChar is set, else it is kept as received; a marked
// break adds no byte and raises CE_BREAK/EV_BREAK), fNull drops 0 bytes,
// EvtChar raises EV_RXFLAG.
// Line errors (CE_FRAME, CE_OVERRUN, CE_RXPARITY, CE_BREAK with EV_ERR and
// EV_BREAK) come from the driver's counters (TIOCGICOUNT), read after each
// batch of input, where the driver keeps them; pseudo-terminals do not, and
// then no line errors occur except those marked in the input.
//
// ---- SetupComm ------------------------------------------------------------------
// Resizes the input queue (1 byte to 64 MiB, else ERROR_INVALID_PARAMETER);
// bytes beyond a smaller size are dropped with CE_RXOVER. The output size is
// accepted and not used: output goes straight to the kernel's buffer.
//
// ---- SetCommState / GetCommState --------------------------------------------------
// Validates like Windows (ByteSize 5-8, Parity 0-4, StopBits 0-2, BaudRate
// not 0, XonChar != XoffChar with XON/XOFF): else ERROR_INVALID_PARAMETER.
// Then termios: any baud rate (standard rates with cfsetspeed, others with
// termios2/BOTHER where the system has it); data bits; parity none, odd,
// even, mark and space (CMSPAR); 1 or 2 stop bits - one and a half stop bits
// are set as 2, termios has no 1.5; RTS/CTS handshake as CRTSCTS (set when
// fOutxCtsFlow or RTS handshake is asked: termios has one switch for both);
// XON/XOFF out (fOutX → IXON) and in (fInX → IXOFF) with XonChar/XoffChar
// as VSTART/VSTOP; parity checking (fParity → INPCK, PARMRK); raw mode
// otherwise, CLOCAL and CREAD on. DTR: disable → low, enable and handshake →
// high (Linux has no DTR/DSR handshake; fOutxDsrFlow and fDsrSensitivity are
// not applied). RTS: disable → low, enable → high, handshake → driven by the
// kernel (CRTSCTS), toggle → the driver's RS-485 mode (TIOCSRS485, RTS on
// while sending) where it has one, else raised by this backend while output
// is pending and lowered once it has drained. fTXContinueOnXoff, XonLim,
// XoffLim, EofChar are kept in the DCB and not applied.
// The settings are read back; if the driver refused them (tcsetattr failed,
// or speed, data bits, parity, stop bits or flow control read back otherwise)
// the previous settings are restored and SetCommState returns false with the
// driver's error or ERROR_INVALID_PARAMETER. A pseudo-terminal has no wire
// and always runs 8 data bits without parity: on a port without modem lines
// those two are not compared, and where the kernel refuses 6 or 7 data bits
// on it outright the line is set with 8 (RequestedTermios still tells what
// was asked). GetCommState returns the last DCB set, or before the first
// SetCommState one derived from the current termios.
//
// ---- SetCommTimeouts (the Windows meaning, in milliseconds) ------------------------
// Read: ReadIntervalTimeout MAXDWORD with both totals 0 → return at once with
// what is queued (even nothing). ReadIntervalTimeout MAXDWORD with a constant
// below MAXDWORD → return as soon as any byte is there, or when the total
// (multiplier × count + constant; the constant alone when the multiplier is
// MAXDWORD) expires. MAXDWORD for all three is refused
// (ERROR_INVALID_PARAMETER). Otherwise: the total timeout, when a total is set,
// runs from the start of the read; the interval timeout, when set, runs
// between bytes once the first byte has arrived; with all 0 the read waits
// until every requested byte is there. A read that times out completes with
// success and the bytes received so far. Write: multiplier × count + constant
// (both 0: no timeout); a write that times out completes with success and the
// count handed to the device so far.
//
// ---- Overlapped ReadFile, WriteFile, WaitCommEvent, GetOverlappedResult -------------
// A transfer starts by setting Overlapped.Internal to 0x103 (pending) and
// resetting hEvent. Done at once: returns true, *read/*written (or the mask)
// filled, Internal 0, InternalHigh the count, hEvent signalled. Pending:
// false with ERROR_IO_PENDING; when it completes, on the I/O thread or on the
// thread whose call completed it, Internal becomes 0 (success) or the Windows
// error code, InternalHigh the count, then hEvent is signalled. The caller's
// Overlapped, buffer and mask must stay valid at the same address until then,
// as on Windows. hEvent may be 0 or INVALID_HANDLE_VALUE: then only
// GetOverlappedResult tells the completion. A null Overlapped makes the call
// synchronous: it blocks until the transfer completes.
// Refused at once: ReadFile/WriteFile return false with the error and signal
// hEvent (Internal = error, InternalHigh 0), so that a caller waiting on the
// event goes on at once; WaitCommEvent returns false with the error and
// leaves hEvent reset, as Windows leaves the event of a request that fails
// synchronously, so an event thread that waits again on it blocks instead of
// spinning. A call with a handle that is not an open port fails with
// ERROR_INVALID_HANDLE and touches neither the Overlapped nor its event (so
// an event created signalled stays signalled, as on Windows); so does a
// transfer on an Overlapped that still has one pending
// (ERROR_INVALID_PARAMETER).
// Reads and writes queue in order; several may be pending at once. Writes are
// handed to the device at once where it takes them (returning true), else
// pending. EV_TXEMPTY is raised when, after a write, the device's output
// queue (TIOCOUTQ) is empty; on a pseudo-terminal that is as soon as the
// bytes are written.
// WaitCommEvent: completes with the events of the current mask that have
// happened since the last wait; if any happened while no wait was pending it
// returns true at once with them. One wait at a time (a second one:
// ERROR_INVALID_PARAMETER); a mask of 0 refuses the wait
// (ERROR_INVALID_PARAMETER). Events: EV_RXCHAR (bytes put in the queue or in
// a pending read), EV_RXFLAG, EV_TXEMPTY, EV_CTS, EV_DSR, EV_RLSD, EV_RING
// (rising edge), EV_BREAK, EV_ERR (CE_FRAME, CE_OVERRUN, CE_RXPARITY),
// EV_RX80FULL (what pending reads leave in the queue reaches 80 % of it;
// once, until the queue has been below the mark). Modem-line changes are seen within
// 20 ms where the driver has lines.
// GetOverlappedResult: with wait false and the transfer pending →
// ERROR_IO_INCOMPLETE; with wait true it blocks until the transfer completes.
// On a failed transfer it returns false with its error and still reports
// the count transferred before the failure.
//
// ---- SetCommMask, PurgeComm, ClearCommError, GetCommModemStatus --------------------
// SetCommMask (any value) completes a pending wait with success and mask 0,
// and forgets recorded events outside the new mask. PurgeComm: PURGE_TXABORT
// and PURGE_RXABORT complete pending writes and reads with
// ERROR_OPERATION_ABORTED (with the count done so far); PURGE_TXCLEAR
// discards the device's output buffer (tcflush), PURGE_RXCLEAR the input
// queue and the device's input buffer. No flag or unknown flags:
// ERROR_INVALID_PARAMETER. ClearCommError reports and clears the CE_* flags;
// COMSTAT: cbInQue, cbOutQue (pending write bytes plus TIOCOUTQ), Flags 0.
// GetCommModemStatus: TIOCMGET where the driver has modem lines; on a port
// without (a pseudo-terminal) it succeeds with all lines off.
//
// ---- A device that goes away ------------------------------------------------------
// When the device hangs up (USB adapter pulled, pseudo-terminal master
// closed: POLLHUP, or EIO from a read or write; an end-of-input read is
// checked with a zero-length write), the port stops polling it; pending
// writes and the pending event wait complete with ERROR_DEVICE_REMOVED, and
// pending reads too unless bytes had reached them (then they complete with
// those bytes); CE_IOE is flagged. ERROR_DEVICE_REMOVED is chosen over the
// ERROR_ACCESS_DENIED or ERROR_GEN_FAILURE that Windows drivers of removed
// USB adapters give: it says what happened, and ERROR_ACCESS_DENIED already
// means "busy" at open. Later writes, waits, SetCommState and GetCommModemStatus fail with
// ERROR_DEVICE_REMOVED; ReadFile still returns bytes that were queued before
// (then fails once the queue is empty). ClearCommError, SetCommMask,
// PurgeComm, SetupComm and CloseHandle go on working. Nothing spins.
//
// ---- QueryDosDeviceA ---------------------------------------------------------------
// The name maps to a path as for CreateFileA; the answer is that path when
// something exists there (stat, following a symlink), else 0 with
// ERROR_FILE_NOT_FOUND. A pulled USB adapter's node goes, and so does a
// pseudo-terminal's once its far end has closed; an open handle keeps neither.
//
// ---- CloseHandle on a port -----------------------------------------------------------
// Completes pending transfers and the pending wait with
// ERROR_OPERATION_ABORTED, stops and joins the I/O thread, lowers DTR and RTS
// (as the Windows driver does at close), gives back TIOCEXCL, closes the
// device. Calls made on other threads at the same time with the old handle
// fail with ERROR_INVALID_HANDLE.
//
// ---- Events and waits ---------------------------------------------------------------
// CreateEventA makes a manual- or auto-reset event. WaitForSingleObject and
// WaitForMultipleObjects (1 to 64 events, any or all, timeout in ms or
// INFINITE) block on a condition variable per waiting thread, notified by
// SetEvent; no polling. An auto-reset event releases one waiter and resets.
// WaitForMultipleObjects with the same event twice and waitAll:
// ERROR_INVALID_PARAMETER.
// GetLastError/SetLastError are per thread; calls set the error only when
// they fail (and ERROR_IO_PENDING for a pending transfer). GetTickCount is
// CLOCK_MONOTONIC in ms, wrapping at 2^32. Sleep(0) yields.
//
// ---- Threading -------------------------------------------------------------------------
// Every call is thread-safe; a port may be used from several threads at once
// (one waiting for events, others reading and writing). Each port has one
// mutex; calls hold it only for non-blocking work. Blocking happens only in
// GetOverlappedResult(wait true), synchronous transfers, the waits, Sleep and
// CloseHandle (joining the port's thread, which takes microseconds).

#include "serial/driver/CommApi.h"

#include <cstdint>
#include <string>

struct termios;

namespace comm {

// The POSIX backend (one instance per process).
ICommApi& NativeApi();

namespace posix {

// The Windows error code for an errno value: the one place where the backend
// turns system errors into the codes GetLastError reports.
std::uint32_t ErrorFromErrno(int error);

// The errno behind `error`: the one that this thread's last ErrorFromErrno
// turned into it; 0 when that call gave another code, or when none came from
// an errno since this thread's last CreateFileA began. Read right after the
// failed call (a port's open: "too many open files" is EMFILE or ENFILE,
// both ERROR_GEN_FAILURE).
int ErrnoBehind(std::uint32_t error);

// The device path that CreateFileA opens for fileName: Windows' device
// prefix "\\.\" dropped, the rest a port's name as DevicePath
// (PosixPorts.h) takes it ("\\.\ttyUSB0" -> "/dev/ttyUSB0",
// "\\.\/tmp/port" -> "/tmp/port"); empty for an empty or null name.
std::string FileNamePath(const char* fileName);

// The speed the driver of fd runs at, in bits per second (any rate). For
// tests and diagnostics. Returns 0 or an errno value.
int ReadDriverBaud(int fd, std::uint32_t* baud);

// The termios that the last SetCommState asked the driver for (a driver may
// hold less: a pseudo-terminal keeps 8 data bits without parity). For tests.
// False with ERROR_INVALID_HANDLE when port is not an open port.
bool RequestedTermios(Handle port, termios* out);

} // namespace posix
} // namespace comm
