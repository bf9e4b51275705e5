// The driver's rules (CommContract.h) on the network backend as Windows
// builds it (Winsock), against ser2net: RC_TEST_NET_RFC2217 and
// RC_TEST_NET_RAW name its two accepters (rfc2217://127.0.0.1:P,
// tcp://127.0.0.1:Q), in front of a pseudo-terminal whose far end sends back
// every byte it receives (scripts/test-windows starts both natively:
// tests/support/pty_echo and tests/support/ser2net_front; Wine's sockets are
// the host's). Bytes "from the far end" are written and come back. Built only
// for Windows.

#include "tests/serial/driver/CommContract.h"

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

namespace contract {
namespace {

std::string Named(const char* variable) {
    const char* name = std::getenv(variable);
    return name != nullptr ? name : "";
}

class NetWin32Backend : public RealTimeBackend {
public:
    explicit NetWin32Backend(const char* variable) : name_(Named(variable)), variable_(variable) {}
    comm::ICommApi& Api() override { return comm::Api(); }
    Handle Open() override {
        const Handle port =
            Api().CreateFileA(File().c_str(), comm::GENERIC_READ | comm::GENERIC_WRITE, 0,
                              comm::OPEN_EXISTING, comm::FILE_FLAG_OVERLAPPED);
        if (port == comm::INVALID_HANDLE_VALUE) {
            ADD_FAILURE() << name_ << " did not open: error " << Api().GetLastError();
            return port;
        }
        if (!SetUpPort(Api(), port)) {
            Api().CloseHandle(port);
            return comm::INVALID_HANDLE_VALUE;
        }
        // Echoes of an earlier test may still be on their way.
        Api().Sleep(50);
        Api().PurgeComm(port, comm::PURGE_RXCLEAR);
        return port;
    }
    ~NetWin32Backend() override {
        // ser2net lets the device go a moment after the connection closes,
        // and refuses the next test's connection until then.
        Api().Sleep(200);
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
            if (name_.empty())
                return std::string(variable_) + " names no network port with an echoing far end";
            return "";
        case Need::kStalledWrite:
            return "the far end echoes every byte: it cannot be made to stop reading";
        case Need::kUnplug:
            return "the server and its echoing far end are shared by every case: they are not "
                   "taken away";
        default:
            return "";
        }
    }

private:
    std::string File() const { return "\\\\.\\" + name_; }
    std::string name_;
    const char* variable_;
};

const BackendInfo kRfc2217{"Ser2NetRfc2217",
                           [] { return std::make_unique<NetWin32Backend>("RC_TEST_NET_RFC2217"); }};
const BackendInfo kRaw{"Ser2NetRaw",
                       [] { return std::make_unique<NetWin32Backend>("RC_TEST_NET_RAW"); }};

RC_COMM_CONTRACT(Ser2NetRfc2217, kRfc2217);
RC_COMM_CONTRACT(Ser2NetRaw, kRaw);

} // namespace
} // namespace contract
