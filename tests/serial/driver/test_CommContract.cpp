// The driver's rules (CommContract.h) on the fake, on its virtual clock, and
// on the POSIX backend over a pseudo-terminal pair, in real time.

#include "tests/serial/driver/CommContract.h"

#include "serial/driver/PosixCommApi.h"
#include "tests/support/FakeCommApi.h"
#include "tests/support/PtyPair.h"

#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace contract {
namespace {

constexpr const char* kFakePort = "COM7";

class FakeBackend : public Backend {
public:
    comm::ICommApi& Api() override { return fake_; }
    Handle Open() override {
        fake_.AddPort(kFakePort);
        const Handle port =
            fake_.CreateFileA("\\\\.\\COM7", comm::GENERIC_READ | comm::GENERIC_WRITE, 0,
                              comm::OPEN_EXISTING, comm::FILE_FLAG_OVERLAPPED);
        return port != comm::INVALID_HANDLE_VALUE && SetUpPort(fake_, port)
                   ? port
                   : comm::INVALID_HANDLE_VALUE;
    }
    void Send(Handle, const std::string& bytes) override { fake_.FeedInput(kFakePort, bytes); }
    void StallWrites() override { fake_.SetWriteMode(comm::FakeCommApi::WriteMode::kPendingHeld); }
    void Unplug(Handle) override { fake_.RemovePort(kFakePort); }
    std::string Received(Handle, std::size_t n) override {
        while (fake_.CompleteWrite(kFakePort)) {
        }
        fake_.SetWriteMode(comm::FakeCommApi::WriteMode::kDoneAtOnce);
        return fake_.TakeWritten(kFakePort).substr(0, n);
    }
    bool VirtualClock() const override { return true; }
    std::uint64_t Now() override { return now_; }
    void Elapse(std::uint64_t ms) override {
        now_ += ms;
        while (ms > 0) {
            const std::uint64_t step = std::min<std::uint64_t>(ms, 0x40000000u);
            fake_.AdvanceClock(static_cast<std::uint32_t>(step));
            ms -= step;
        }
    }

private:
    comm::FakeCommApi fake_;
    std::uint64_t now_ = 0;
};

class PosixBackend : public RealTimeBackend {
public:
    comm::ICommApi& Api() override { return comm::NativeApi(); }
    Handle Open() override {
        const Handle port =
            Api().CreateFileA(pty_.FileName().c_str(), comm::GENERIC_READ | comm::GENERIC_WRITE, 0,
                              comm::OPEN_EXISTING, comm::FILE_FLAG_OVERLAPPED);
        return port != comm::INVALID_HANDLE_VALUE && SetUpPort(Api(), port)
                   ? port
                   : comm::INVALID_HANDLE_VALUE;
    }
    void Send(Handle, const std::string& bytes) override { pty_.Send(bytes); }
    void Unplug(Handle) override { pty_.CloseMaster(); }
    std::string Received(Handle, std::size_t n) override { return pty_.Receive(n); }

private:
    rc_test::PtyPair pty_;
};

const BackendInfo kFake{"Fake", [] { return std::make_unique<FakeBackend>(); }};
const BackendInfo kPosix{"Posix", [] { return std::make_unique<PosixBackend>(); }};

RC_COMM_CONTRACT(Fake, kFake);
RC_COMM_CONTRACT(Posix, kPosix);

} // namespace
} // namespace contract
