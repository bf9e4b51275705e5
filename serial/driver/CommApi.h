#pragma once
// The communications interface the serial component calls: the subset of the
// Windows communications, event and timing API that the component uses, with
// the Windows meaning of every call, argument and result.
//
// Three backends implement it: Win32 (straight to kernel32, built only on
// Windows), POSIX (termios, behaving as a Windows serial driver does) and a
// scriptable fake for tests. The component reaches the current backend through
// comm::Api(); tests swap in another with comm::SetApi(). Beside the one in
// use, the network backend (NetCommApi.h) takes the ports named
// "tcp://HOST:PORT" and "rfc2217://HOST:PORT": comm::Api() sends their open
// and every call on their handles there, and the rest to the backend in use,
// whose events and last error the network ports use too.
//
// No OS header is included here. A backend that includes <windows.h> must
// include this header first: the constant names below are macros there.
//
// Threading: every call may be made from any thread; a handle may be used by
// several threads at once (the event thread waits on the port while the GUI
// thread reads and writes it), as on Windows. GetLastError() is per thread.

#include <cstddef>
#include <cstdint>

namespace comm {

// A port, an event or any other object of the backend. Ports and events share
// one handle space, as on Windows; CloseHandle closes either.
using Handle = std::intptr_t;
inline constexpr Handle INVALID_HANDLE_VALUE = -1;

// ---- CreateFileA arguments -------------------------------------------------
inline constexpr std::uint32_t GENERIC_READ = 0x80000000u;
inline constexpr std::uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr std::uint32_t OPEN_EXISTING = 3;
inline constexpr std::uint32_t FILE_FLAG_OVERLAPPED = 0x40000000u;

// ---- Results and timeouts --------------------------------------------------
inline constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;
inline constexpr std::uint32_t MAXDWORD = 0xFFFFFFFFu;
inline constexpr std::uint32_t WAIT_OBJECT_0 = 0;
inline constexpr std::uint32_t WAIT_TIMEOUT = 258;
inline constexpr std::uint32_t WAIT_FAILED = 0xFFFFFFFFu;

// ---- Error codes (GetLastError) ----------------------------------------------
inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr std::uint32_t ERROR_IO_INCOMPLETE = 996;
inline constexpr std::uint32_t ERROR_IO_PENDING = 997;
inline constexpr std::uint32_t ERROR_TIMEOUT = 1460;
inline constexpr std::uint32_t ERROR_DEVICE_REMOVED = 1617;
inline constexpr std::uint32_t ERROR_BAD_COMMAND = 22;
inline constexpr std::uint32_t ERROR_INVALID_NAME = 123;
// A network port's open (CreateFileA on "tcp://..." or "rfc2217://...")
// fails with the Winsock code of what went wrong, as GetLastError reports it
// on Windows after a socket call.
inline constexpr std::uint32_t WSAENETUNREACH = 10051;    // no route to the network
inline constexpr std::uint32_t WSAECONNRESET = 10054;     // the server reset the connection
inline constexpr std::uint32_t WSAETIMEDOUT = 10060;      // no answer within the connect time-out
inline constexpr std::uint32_t WSAECONNREFUSED = 10061;   // nothing accepts at that port
inline constexpr std::uint32_t WSAEHOSTUNREACH = 10065;   // no route to the host
inline constexpr std::uint32_t WSAHOST_NOT_FOUND = 11001; // the name is not known
inline constexpr std::uint32_t WSATRY_AGAIN = 11002;      // the name server did not answer

// ---- Communication events (SetCommMask, WaitCommEvent) -------------------------
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_RXFLAG = 0x0002;
inline constexpr std::uint32_t EV_TXEMPTY = 0x0004;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_BREAK = 0x0040;
inline constexpr std::uint32_t EV_ERR = 0x0080;
inline constexpr std::uint32_t EV_RING = 0x0100;
inline constexpr std::uint32_t EV_RX80FULL = 0x0400;

// ---- Line errors (ClearCommError) ----------------------------------------------
inline constexpr std::uint32_t CE_RXOVER = 0x0001;
inline constexpr std::uint32_t CE_OVERRUN = 0x0002;
inline constexpr std::uint32_t CE_RXPARITY = 0x0004;
inline constexpr std::uint32_t CE_FRAME = 0x0008;
inline constexpr std::uint32_t CE_BREAK = 0x0010;
inline constexpr std::uint32_t CE_TXFULL = 0x0100;
inline constexpr std::uint32_t CE_IOE = 0x0400;
inline constexpr std::uint32_t CE_MODE = 0x8000;

// ---- Modem status (GetCommModemStatus) -----------------------------------------
inline constexpr std::uint32_t MS_CTS_ON = 0x0010;
inline constexpr std::uint32_t MS_DSR_ON = 0x0020;
inline constexpr std::uint32_t MS_RING_ON = 0x0040;
inline constexpr std::uint32_t MS_RLSD_ON = 0x0080;

// ---- PurgeComm flags -----------------------------------------------------------
inline constexpr std::uint32_t PURGE_TXABORT = 0x0001;
inline constexpr std::uint32_t PURGE_RXABORT = 0x0002;
inline constexpr std::uint32_t PURGE_TXCLEAR = 0x0004;
inline constexpr std::uint32_t PURGE_RXCLEAR = 0x0008;

// ---- DCB flag bits (DCB::Flags) ------------------------------------------------
inline constexpr std::uint32_t DCB_fBinary = 0x0001;
inline constexpr std::uint32_t DCB_fParity = 0x0002;
inline constexpr std::uint32_t DCB_fOutxCtsFlow = 0x0004;
inline constexpr std::uint32_t DCB_fOutxDsrFlow = 0x0008;
inline constexpr std::uint32_t DCB_fDtrControlMask =
    0x0030; // 0 disable, 0x10 enable, 0x20 handshake
inline constexpr std::uint32_t DCB_fDtrControlShift = 4;
inline constexpr std::uint32_t DCB_fDsrSensitivity = 0x0040;
inline constexpr std::uint32_t DCB_fTXContinueOnXoff = 0x0080;
inline constexpr std::uint32_t DCB_fOutX = 0x0100;
inline constexpr std::uint32_t DCB_fInX = 0x0200;
inline constexpr std::uint32_t DCB_fErrorChar = 0x0400;
inline constexpr std::uint32_t DCB_fNull = 0x0800;
inline constexpr std::uint32_t DCB_fRtsControlMask =
    0x3000; // 0 disable, 1 enable, 2 handshake, 3 toggle
inline constexpr std::uint32_t DCB_fRtsControlShift = 12;
inline constexpr std::uint32_t DCB_fAbortOnError = 0x4000;

// The device control block, laid out byte for byte as Windows lays it out
// (28 bytes). The bit fields of Windows are one 32-bit word, Flags.
struct DCB {
    std::uint32_t DCBlength = 0;
    std::uint32_t BaudRate = 0;
    std::uint32_t Flags = 0;
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
};
static_assert(sizeof(DCB) == 28, "DCB must be laid out as on Windows");

// Timeouts in milliseconds, in the Windows order and meaning.
struct COMMTIMEOUTS {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// ClearCommError's status block. Flags holds the Windows status bit field
// (fCtsHold ... fTxim) as one word; the component reads only cbInQue.
struct COMSTAT {
    std::uint32_t Flags = 0;
    std::uint32_t cbInQue = 0;
    std::uint32_t cbOutQue = 0;
};

// The overlapped block of an asynchronous transfer or event wait, laid out as
// Windows' OVERLAPPED. The caller sets hEvent (a manual-reset event) and keeps
// the block alive, at the same address, until the operation has completed,
// exactly as on Windows. The backend resets hEvent when it starts the
// operation, fills Internal (status) and InternalHigh (bytes transferred) and
// signals hEvent when it completes.
struct Overlapped {
    std::uintptr_t Internal = 0;
    std::uintptr_t InternalHigh = 0;
    std::uint32_t Offset = 0;
    std::uint32_t OffsetHigh = 0;
    Handle hEvent = INVALID_HANDLE_VALUE;
};
// Overlapped::Internal while the operation is pending (Windows' STATUS_PENDING).
inline constexpr std::uintptr_t kStatusPending = 0x103;

class ICommApi {
public:
    virtual ~ICommApi() = default;

    // Opens a port. fileName is "\\.\" followed by the port name, as Windows
    // takes it; a POSIX backend maps the name to a device (see its header).
    // The component passes GENERIC_READ|GENERIC_WRITE, share 0, OPEN_EXISTING,
    // FILE_FLAG_OVERLAPPED. Returns INVALID_HANDLE_VALUE with the last error
    // set when the port is absent, busy or refused.
    virtual Handle CreateFileA(const char* fileName, std::uint32_t desiredAccess,
                               std::uint32_t shareMode, std::uint32_t creationDisposition,
                               std::uint32_t flagsAndAttributes) = 0;
    virtual bool CloseHandle(Handle object) = 0;

    virtual bool SetupComm(Handle port, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    virtual bool SetCommState(Handle port, const DCB* dcb) = 0;
    virtual bool GetCommState(Handle port, DCB* dcb) = 0;
    virtual bool SetCommTimeouts(Handle port, const COMMTIMEOUTS* timeouts) = 0;
    virtual bool GetCommTimeouts(Handle port, COMMTIMEOUTS* timeouts) = 0;
    // Reports and clears the line error flags (CE_*); fills stat when given.
    virtual bool ClearCommError(Handle port, std::uint32_t* errors, COMSTAT* stat) = 0;
    // A driver without modem lines may fail it with ERROR_NOT_SUPPORTED, and
    // then also refuses (same code, at once) every WaitCommEvent whose mask
    // holds EV_CTS, EV_DSR, EV_RING or EV_RLSD, though SetCommMask took it.
    virtual bool GetCommModemStatus(Handle port, std::uint32_t* modemStatus) = 0;
    virtual bool PurgeComm(Handle port, std::uint32_t flags) = 0;
    // A mask of 0 (or any new mask) ends a pending WaitCommEvent with a mask of 0.
    virtual bool SetCommMask(Handle port, std::uint32_t eventMask) = 0;
    virtual bool GetCommMask(Handle port, std::uint32_t* eventMask) = 0;

    // Overlapped operations: true when done at once (count/mask filled);
    // false with GetLastError() == ERROR_IO_PENDING when started and pending,
    // completing on overlapped->hEvent; false with another error when refused.
    virtual bool WaitCommEvent(Handle port, std::uint32_t* eventMask, Overlapped* overlapped) = 0;
    virtual bool ReadFile(Handle port, void* buffer, std::uint32_t count, std::uint32_t* read,
                          Overlapped* overlapped) = 0;
    virtual bool WriteFile(Handle port, const void* buffer, std::uint32_t count,
                           std::uint32_t* written, Overlapped* overlapped) = 0;
    // The result of a completed overlapped operation: true and the count when
    // it succeeded; false with its error when it failed; with wait false and
    // the operation still pending, false with ERROR_IO_INCOMPLETE.
    virtual bool GetOverlappedResult(Handle port, Overlapped* overlapped,
                                     std::uint32_t* transferred, bool wait) = 0;

    virtual Handle CreateEventA(bool manualReset, bool initialState) = 0;
    virtual bool SetEvent(Handle event) = 0;
    virtual bool ResetEvent(Handle event) = 0;
    // WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED.
    virtual std::uint32_t WaitForSingleObject(Handle object, std::uint32_t milliseconds) = 0;
    // WAIT_OBJECT_0 + index of the (first) signalled object, WAIT_TIMEOUT or WAIT_FAILED.
    virtual std::uint32_t WaitForMultipleObjects(std::uint32_t count, const Handle* objects,
                                                 bool waitAll, std::uint32_t milliseconds) = 0;

    // The target of the MS-DOS device name deviceName ("COM5", without
    // "\\.\"): the device's path in targetPath, a list of strings ending
    // with an empty one, at most max characters. Returns the characters
    // stored, or 0 with the last error set: ERROR_FILE_NOT_FOUND when no
    // device has that name (a pulled USB adapter takes its COM name with
    // it, while a handle opened on it stays), ERROR_INSUFFICIENT_BUFFER when
    // the target does not fit. A POSIX backend answers for the device node
    // that CreateFileA would open under that name (see its header).
    virtual std::uint32_t QueryDosDeviceA(const char* deviceName, char* targetPath,
                                          std::uint32_t max) = 0;

    virtual std::uint32_t GetLastError() = 0;
    virtual void SetLastError(std::uint32_t error) = 0;
    // Milliseconds since an arbitrary start, wrapping at 2^32.
    virtual std::uint32_t GetTickCount() = 0;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// Whether a port's name still names a device, asked of the backend in use:
// QueryDosDeviceA, and where that finds nothing, an open of the name that
// asks for no access (a port that is there opens or is refused as busy).
// A network name is never opened to find out: the network backend's
// QueryDosDeviceA alone answers (absent while a port of that name is open
// and its connection gone).
// Wine's COM names are links in the prefix's dosdevices folder, outside the
// namespace that QueryDosDeviceA reads. The name is the port's as the
// component takes it ("COM5", "ttyUSB0"), "\\.\" in front or not.
// npUnknown when the backend could not tell (another error): no caller may
// take that for gone.
enum class TNamePresence { npPresent, npAbsent, npUnknown };
TNamePresence PortNamePresence(const char* portName);

// The backend in use: the platform's own (Win32 on Windows, POSIX elsewhere)
// unless a test has set another.
ICommApi& Api();
// Makes api the backend in use (nullptr: the platform's own again) and returns
// the previous one. Not thread-safe: call it while no port is open.
ICommApi* SetApi(ICommApi* api);

} // namespace comm
