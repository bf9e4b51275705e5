#pragma once
// The network backend of the communications interface: a serial port reached
// through a device server's TCP port, named "tcp://HOST:PORT" (raw: the bytes
// as they are, the line settings fixed on the server) or
// "rfc2217://HOST:PORT" (Telnet with COM-PORT-OPTION: the client sets the
// line and hears of the modem lines). The names are parsed by
// serial/driver/NetPortName.h.
//
// It behaves towards the serial component as the Windows serial driver
// does, through the driver's rules written once (DriverRules.h), as the
// POSIX backend does (PosixCommApi.h); what differs is told here. The one OS
// file is NetSocket's (PosixNetSocket.cpp, Win32NetSocket.cpp: Winsock).
//
// ---- Routing and handles -----------------------------------------------------------
// comm::Api() is the one entry: CreateFileA and QueryDosDeviceA of a name
// that IsNetPortName takes (after an optional "\\.\") come here, and so
// does every call on a network port's handle; the rest goes to the backend
// in use (the platform's, or the one a test set). Network port handles end
// in the bits 01 (the others' are multiples of 4), are never reused in a
// process, and are told apart by value, without a lock. The callers' events
// (Overlapped.hEvent) are the backend in use's: a completion signals them
// there, and waits go there. GetLastError reports this backend's errors on
// the calling thread (set through the backend in use).
//
// ---- CreateFileA ---------------------------------------------------------------------
// Parses the name (NetPortName.h): malformed → ERROR_INVALID_NAME, nothing
// looked up. An IPv4 or IPv6 address is never looked up; a host name is,
// on a thread of its own, and the open waits for it at most until the
// connect time-out (a late answer is thrown away). Each address is then
// tried in turn within what is left of it. Errors: WSAHOST_NOT_FOUND (no
// such name), WSATRY_AGAIN (the name server did not answer, or not in
// time), WSAECONNREFUSED, WSAENETUNREACH, WSAEHOSTUNREACH, WSAETIMEDOUT (the
// connect, or the RFC 2217 negotiation, not done in time), ERROR_GEN_FAILURE
// (no descriptor left: on POSIX comm::posix::ErrnoBehind tells EMFILE or
// ENFILE). The error of the last address tried is reported. A name that a
// port of this process has open (or is opening) already: ERROR_ACCESS_DENIED
// at once, nothing connected, as a COM port in use answers (the name as
// FormatNetPortName writes it; another name of the same server is not
// known for the same).
// rfc2217://: the client asks for BINARY and SUPPRESS-GO-AHEAD both ways
// and COM-PORT-OPTION (TTelnetClient), and waits, within what is left of
// the connect time-out, for the server to accept COM-PORT-OPTION: refused →
// ERROR_NOT_SUPPORTED; no answer → WSAETIMEDOUT; the server closing →
// WSAECONNRESET. A server that floods option commands or garbage costs
// bounded memory (the parser's; answers it does not read stop the input at
// 64 KiB) and ends the open at the time-out. Once accepted, the client asks
// for every modem line's state and change (SET-MODEMSTATE-MASK 255) and for
// the line's errors and breaks (SET-LINESTATE-MASK 0x1E).
// Per open port: the socket, one wake-up object (an eventfd on Linux) and
// one I/O thread, which never wakes while the port is idle.
//
// ---- Data --------------------------------------------------------------------------------
// tcp://: the bytes as they are. rfc2217://: through the Telnet codec, IAC
// doubled on the way out and undone on the way in; a notification among
// the data takes effect between the bytes before and after it.
// The I/O thread reads the socket whether or not anyone reads, into the
// input queue by the driver's rules (SetupComm's size, at most 64 MiB, the
// 80 % mark, fNull, EvtChar). Without input flow control in the DCB (RTS or
// DTR handshake, fInX) bytes beyond the queue are dropped with CE_RXOVER;
// with it, the socket is no longer read until the queue has room, and TCP
// holds the server. No parity marks come over the network: line errors
// come from NOTIFY-LINESTATE.
// WriteFile is pending until the socket took its bytes, handed to it in
// chunks of 4 KiB (each escaped whole, so that a command never splits an
// escape); the write time-out ends it with success and the bytes handed to
// the socket so far. FLOWCONTROL-SUSPEND from the server holds the data
// (commands still go) until FLOWCONTROL-RESUME. EV_TXEMPTY: every written
// byte handed to the socket. ClearCommError's cbOutQue: the bytes not yet
// handed to it.
//
// ---- SetCommState, GetCommState -------------------------------------------------------
// Validated as the Windows driver does (ByteSize 5-8, Parity 0-4, StopBits
// 0-2, BaudRate not 0, XonChar != XoffChar with XON/XOFF):
// ERROR_INVALID_PARAMETER, nothing sent. tcp://: kept and reported back,
// nothing applied. rfc2217://: sends SET-CONTROL DTR (off when disabled,
// else on: the server has no DTR handshake) and SET-CONTROL RTS (off, on;
// with handshake the flow control drives it; toggle has no command and
// leaves RTS as it is), then SET-BAUDRATE, SET-DATASIZE, SET-PARITY (none,
// odd, even, mark, space), SET-STOPSIZE (1, 1.5, 2) and SET-CONTROL flow
// (hardware with fOutxCtsFlow or RTS handshake, else XON/XOFF with fOutX or
// fInX, else none), and returns once the server has answered the last five.
// A server answers in order: DTR and RTS still unanswered then are lines
// its device does not have (a pseudo-terminal behind it), taken as the
// POSIX backend takes a port without modem lines. An answer with another
// value than asked means the device could not take it:
// ERROR_INVALID_PARAMETER, and what the server did take stays there (the
// DCB reported back is still the previous one). No answer within the
// connect time-out: ERROR_TIMEOUT. Either way nothing is reported as set
// that the server did not confirm. A server whose input is held (the queue
// full under input flow control) cannot be heard: that
// SetCommState times out. GetCommState: the last DCB set, before the first
// one 9600 8N1.
//
// ---- Modem and line state ------------------------------------------------------------
// GetCommModemStatus: tcp:// all lines off (as a pseudo-terminal);
// rfc2217:// the lines of the server's last NOTIFY-MODEMSTATE (all off
// before the first). Its changes (or its delta bits) raise EV_CTS, EV_DSR,
// EV_RLSD, and EV_RING when RI rises or on its trailing-edge bit.
// NOTIFY-LINESTATE: overrun, parity and framing errors add CE_OVERRUN,
// CE_RXPARITY, CE_FRAME and raise EV_ERR; a break adds CE_BREAK and raises
// EV_BREAK.
//
// ---- PurgeComm ---------------------------------------------------------------------------
// The driver's rules (aborts, the input queue cleared); on rfc2217://
// PURGE_RXCLEAR and PURGE_TXCLEAR also send PURGE-DATA for the server's
// receive buffer, transmit buffer, or both, and PurgeComm returns once the
// server has answered it: a server purges its device's buffers before it
// answers, so that bytes the far end sends after PurgeComm returned are
// kept, as on Windows. With PURGE_RXCLEAR, what the server sends before
// its answer was in the device's input or on its way, and is dropped too.
// No answer within the connect time-out (as SetCommState's bound): the
// port's own purge is done, the server's is not known to be, and
// PurgeComm fails with ERROR_TIMEOUT; input is kept again from then on,
// and later purges of that port send PURGE-DATA without waiting (a server
// that leaves one unanswered answers none). A connection gone meanwhile:
// success, the port's purge done. Bytes already handed to the socket go on.
// A server whose input is held (the queue full under input flow control,
// with PURGE_TXCLEAR alone) cannot be heard: that purge times out.
//
// ---- A device that goes away -------------------------------------------------------------
// A connection the server closes or resets (or that fails) is the device
// gone, as PosixCommApi.h has it: ERROR_DEVICE_REMOVED on pending and later
// transfers (a pending read that holds bytes ends with them), on
// SetCommState and GetCommModemStatus; CE_IOE; queued bytes stay readable.
//
// ---- QueryDosDeviceA ------------------------------------------------------------------------
// A network name's target is the name itself, except while a port of that
// name is open here and its connection is gone: ERROR_FILE_NOT_FOUND. A
// malformed name: ERROR_FILE_NOT_FOUND. Nothing is ever connected to
// answer, and comm::PortNamePresence opens no network name.
//
// ---- CloseHandle ------------------------------------------------------------------------------
// Ends pending transfers and the wait with ERROR_OPERATION_ABORTED, stops
// and joins the I/O thread, closes the connection (bytes already handed to
// the socket are still delivered by TCP).
//
// ---- Stopping: AbortOpens ---------------------------------------------------------------
// A process that is stopping calls AbortOpens (any thread; not from a
// signal handler): every network open under way (the name's look-up, the
// connect, the RFC 2217 negotiation) ends within a few milliseconds with
// ERROR_OPERATION_ABORTED, and every later one fails the same way at once
// (a malformed name is still ERROR_INVALID_NAME). Each open waits on its
// own wake-up (the socket's, or the look-up's), which AbortOpens wakes: no
// polling. Ports already open go on; their transfers end as their callers
// end them. A look-up left behind ends on its own thread, its answer thrown
// away.
//
// ---- What the programs above the driver may set: the connect time-out, the stop. ----

#include <chrono>

namespace comm::net {

// How long CreateFileA on a network name may take to look the host up and
// connect, when nothing else is set.
inline constexpr std::chrono::milliseconds kDefaultConnectTimeout{5000};

// The connect time-out of every later open, process-wide (any thread). A
// time-out below 1 ms is taken as 1 ms.
void SetConnectTimeout(std::chrono::milliseconds timeout);
std::chrono::milliseconds ConnectTimeout();

// Ends every network open under way, and fails every later one, with
// ERROR_OPERATION_ABORTED (see above). Once called, for the rest of the
// process.
void AbortOpens();
bool OpensAborted();

} // namespace comm::net
