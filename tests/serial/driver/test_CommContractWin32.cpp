// The driver's rules (CommContract.h) on the Win32 backend, on the COM port
// named by RC_TEST_COM_PORT (for instance COM42), whose far end sends back
// every byte it receives: scripts/test-windows maps such a name to a
// pseudo-terminal whose far end is tests/support/pty_echo; on Windows a port
// with a loopback plug does as well. Bytes "from the far end" are written and
// come back. Built only for Windows.

#include "tests/serial/driver/CommContract.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace contract {
namespace {

std::string PortUnderTest() {
    const char* name = std::getenv("RC_TEST_COM_PORT");
    return name != nullptr ? name : "";
}

class Win32Backend : public RealTimeBackend {
public:
    comm::ICommApi& Api() override { return comm::Api(); }
    Handle Open() override {
        const std::string file = "\\\\.\\" + PortUnderTest();
        const Handle port =
            Api().CreateFileA(file.c_str(), comm::GENERIC_READ | comm::GENERIC_WRITE, 0,
                              comm::OPEN_EXISTING, comm::FILE_FLAG_OVERLAPPED);
        if (port == comm::INVALID_HANDLE_VALUE || !SetUpPort(Api(), port)) {
            return comm::INVALID_HANDLE_VALUE;
        }
        // Echoes of an earlier test may still be on their way.
        Api().Sleep(50);
        Api().PurgeComm(port, comm::PURGE_RXCLEAR);
        return port;
    }
    // The far end sends back what is written.
    void Send(Handle port, const std::string& bytes) override {
        Transfer write(Api());
        std::uint32_t n = 0;
        if (!Api().WriteFile(port, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &n,
                             &write.ov)) {
            ASSERT_EQ(Api().GetLastError(), comm::ERROR_IO_PENDING);
            ASSERT_TRUE(Api().GetOverlappedResult(port, &write.ov, &n, true));
        }
        ASSERT_EQ(n, bytes.size());
    }
    // What the far end received comes back: read it.
    std::string Received(Handle port, std::size_t n) override {
        comm::COMMTIMEOUTS before;
        Api().GetCommTimeouts(port, &before);
        comm::COMMTIMEOUTS t;
        t.ReadTotalTimeoutConstant = 10000;
        Api().SetCommTimeouts(port, &t);
        std::string got(n, '\0');
        Transfer read(Api());
        std::uint32_t count = 0;
        if (!Api().ReadFile(port, got.data(), static_cast<std::uint32_t>(n), &count, &read.ov)) {
            Api().GetOverlappedResult(port, &read.ov, &count, true);
        }
        got.resize(count);
        Api().SetCommTimeouts(port, &before);
        return got;
    }
    std::string Lacks(Need need) const override {
        switch (need) {
        case Need::kPort:
            return PortUnderTest().empty()
                       ? "RC_TEST_COM_PORT names no port with an echoing far end"
                       : "";
        case Need::kStalledWrite:
            return "the far end echoes every byte: it cannot be made to stop reading";
        case Need::kRefusesAllMax:
            return "Wine takes read time-outs of MAXDWORD/MAXDWORD/MAXDWORD, which Windows refuses";
        case Need::kReadAtOnce:
            return "Wine: a read that Windows ends at once returns ERROR_IO_PENDING and is done "
                   "a moment later";
        case Need::kEmptyReadAtOnce:
            return "Wine leaves a MAXDWORD/0/0 read with nothing queued pending, where Windows "
                   "returns at once with nothing";
        case Need::kFirstByte:
            return "Wine does not end a read with interval MAXDWORD and a total time-out at the "
                   "first byte, nor at once with bytes queued: it waits";
        case Need::kRxAbort:
            return "Wine's PurgeComm(PURGE_RXABORT) leaves a pending overlapped read waiting";
        case Need::kInputSize:
            return "Wine does not bound the input queue by SetupComm's size: no CE_RXOVER";
        case Need::kDiscardNull:
            return "Wine keeps zero bytes though the DCB's fNull is set";
        case Need::kPendingCommWait:
            return "Wine ends a pending WaitCommEvent with ERROR_OPERATION_ABORTED a few "
                   "milliseconds after it started, whatever comes";
        case Need::kEventLatch:
            return "Wine keeps no events between waits: it reports EV_RXCHAR to a wait that "
                   "starts while bytes are queued, and nothing once they are read";
        case Need::kTxEmptyEvent:
            return "Wine does not report EV_TXEMPTY to a wait after a write";
        case Need::kRefusesNothing:
            return "Wine takes PurgeComm(0) and leaves a WaitCommEvent without a mask pending, "
                   "where Windows' driver refuses both with ERROR_INVALID_PARAMETER";
        case Need::kUnplug:
            return "the echoing far end is shared by every test program: it is not taken away";
        case Need::kTimeoutSucceeds:
            return "Wine ends a read at its total time-out with ERROR_TIMEOUT, where Windows "
                   "succeeds with the bytes that came";
        default:
            return "";
        }
    }
};

const BackendInfo kWin32{"Win32", [] { return std::make_unique<Win32Backend>(); }};

RC_COMM_CONTRACT(Win32, kWin32);

} // namespace
} // namespace contract
