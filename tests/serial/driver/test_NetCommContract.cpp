// The driver's rules (CommContract.h) on the network backend, in real time,
// over a raw tcp:// port whose far end is a server the test plays on
// 127.0.0.1 (tests/support/LoopbackTcpServer.h): the backend alone, with
// nothing between it and the far end but the loopback connection.

#include "tests/serial/driver/CommContract.h"

#include "tests/support/LoopbackTcpServer.h"

#include <memory>
#include <string>

namespace contract {
namespace {

class NetBackend : public RealTimeBackend {
public:
    comm::ICommApi& Api() override { return comm::Api(); }
    Handle Open() override {
        const Handle port = Api().CreateFileA(("\\\\.\\" + server_.Name()).c_str(),
                                              comm::GENERIC_READ | comm::GENERIC_WRITE, 0,
                                              comm::OPEN_EXISTING, comm::FILE_FLAG_OVERLAPPED);
        if (port == comm::INVALID_HANDLE_VALUE || !server_.Accept())
            return comm::INVALID_HANDLE_VALUE;
        return SetUpPort(Api(), port) ? port : comm::INVALID_HANDLE_VALUE;
    }
    void Send(Handle, const std::string& bytes) override { server_.Send(bytes); }
    // The server reads only when asked to: a write stalls once the sockets'
    // buffers (several MiB on loopback) are full.
    std::size_t StallingWriteSize() const override { return 64u << 20; }
    void Unplug(Handle) override { server_.Close(); }
    std::string Received(Handle, std::size_t n) override { return server_.Receive(n); }

private:
    rc_test::LoopbackTcpServer server_;
};

const BackendInfo kNet{"Net", [] { return std::make_unique<NetBackend>(); }};

RC_COMM_CONTRACT(Net, kNet);

} // namespace
} // namespace contract
