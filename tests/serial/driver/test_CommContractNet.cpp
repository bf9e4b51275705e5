// The driver's rules (CommContract.h) on the network backend, against a real
// device server: ser2net (tests/support/Ser2Net.h), started for each case in
// front of a pseudo-terminal whose master is the far end, and reached as
// rfc2217://127.0.0.1:P (Telnet COM Port Control) and as tcp://127.0.0.1:Q
// (raw), in real time. The device taken away is the server gone (killed):
// its connection closes, as when a device server loses power or its link.
// A case the server cannot give is skipped with the reason.

#include "tests/serial/driver/CommContract.h"

#include "tests/support/PtyPair.h"
#include "tests/support/Ser2Net.h"

#include <memory>
#include <string>

namespace contract {
namespace {

enum class TKind { kRfc2217, kRaw };

class NetBackend : public RealTimeBackend {
public:
    explicit NetBackend(TKind kind) : kind_(kind) {}
    ~NetBackend() override {
        if (::testing::Test::HasFailure())
            std::cerr << "ser2net's log:\n" << server_.Log();
    }
    comm::ICommApi& Api() override { return comm::Api(); }
    Handle Open() override {
        const std::string name =
            "\\\\.\\" + (kind_ == TKind::kRfc2217 ? server_.Rfc2217Name() : server_.RawName());
        const Handle port =
            Api().CreateFileA(name.c_str(), comm::GENERIC_READ | comm::GENERIC_WRITE, 0,
                              comm::OPEN_EXISTING, comm::FILE_FLAG_OVERLAPPED);
        if (port == comm::INVALID_HANDLE_VALUE) {
            ADD_FAILURE() << name << " did not open: error " << Api().GetLastError();
            return port;
        }
        return SetUpPort(Api(), port) ? port : comm::INVALID_HANDLE_VALUE;
    }
    void Send(Handle, const std::string& bytes) override { pty_.Send(bytes); }
    std::string Received(Handle, std::size_t n) override { return pty_.Receive(n); }
    void Unplug(Handle) override { server_.Kill(); }
    std::string Lacks(Need need) const override {
        // What a far end that stops reading holds back: the pty, then
        // ser2net's socket, whose receive buffer the kernel grows up to
        // tcp_rmem's maximum (32 MiB here), and ours to send. A write larger
        // than that takes longer to read back through ser2net's 64-byte
        // buffer than the far end waits.
        if (need == Need::kStalledWrite)
            return "a write cannot be kept pending through ser2net: the sockets' buffers on "
                   "loopback hold tens of MiB";
        return "";
    }

private:
    TKind kind_;
    rc_test::PtyPair pty_;
    rc_test::Ser2Net server_{pty_.PortName()};
};

const BackendInfo kRfc2217{"Ser2NetRfc2217",
                           [] { return std::make_unique<NetBackend>(TKind::kRfc2217); }};
const BackendInfo kRaw{"Ser2NetRaw", [] { return std::make_unique<NetBackend>(TKind::kRaw); }};

RC_COMM_CONTRACT(Ser2NetRfc2217, kRfc2217);
RC_COMM_CONTRACT(Ser2NetRaw, kRaw);

} // namespace
} // namespace contract
