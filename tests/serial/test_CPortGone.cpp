// The port on a driver that keeps what it was given: a write held past its
// deadline is cancelled, and given up on when the cancel does not end it
// either; an event wait that the stop does not end is given up on too. And
// what the port keeps as a suspicion that its device has gone. On the fake
// backend, whose waits run on its clock: the test moves it.

#include "serial/CPort.h"
#include "serial/CPortErrors.h"
#include "tests/support/FakeCommApi.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <future>
#include <string>

using namespace cport;

namespace {

constexpr const char* kPort = "COM3";

class Gone : public ::testing::Test {
protected:
    Gone() : FUse(FFake) {
        FFake.AddPort(kPort);
        FPort.SetPort(kPort);
        FPort.SetSyncMethod(smNone);
        FPort.SetEvents({});
        // The component's one-tick wait after a write runs on the fake's clock.
        FFake.SetAutoAdvance(1);
    }
    // Until the port has made its n-th wait on one object (its deadline taken
    // from the fake's clock, which the test may move then).
    void UntilWaits(std::size_t n) { ASSERT_TRUE(FFake.WaitForCalls("WaitForSingleObject", n)); }
    // A three-byte write on another thread, held by the driver, its wait
    // begun; answers its count.
    std::future<std::int32_t> HeldWrite() {
        FFake.SetWriteMode(comm::FakeCommApi::WriteMode::kPendingHeld);
        FFake.SetWriteTimeoutsIgnored(true);
        const std::size_t waits = FFake.CallCount("WaitForSingleObject");
        auto written = std::async(std::launch::async, [this] { return FPort.Write("abc", 3); });
        UntilWaits(waits + 1);
        return written;
    }
    // The write's deadline under the default timeouts: 100 ms a byte and 1000.
    static constexpr std::uint32_t kDeadline = 3 * 100 + 1000;

    comm::FakeCommApi FFake;
    comm::ScopedCommApi FUse;
    TComPort FPort{nullptr};
};

// Past its deadline and the grace after it, the write is cancelled; it ends
// with nothing written, and the overrun is the suspicion (the cancel's own
// ERROR_OPERATION_ABORTED is not).
TEST_F(Gone, AWriteHeldPastItsDeadlineIsCancelled) {
    FPort.Open();
    auto written = HeldWrite();
    FFake.AdvanceClock(kDeadline + TransferGraceMs);
    EXPECT_EQ(written.get(), 0);
    const auto purges = FFake.CallsNamed("PurgeComm");
    ASSERT_EQ(purges.size(), 1u);
    EXPECT_EQ(purges[0].args.at(0), comm::PURGE_TXABORT);
    EXPECT_EQ(FPort.Suspicion(), comm::ERROR_TIMEOUT);
    EXPECT_EQ(FPort.GivenUp(), 0u);
    // A port whose name is there: the suspicion is cleared.
    EXPECT_FALSE(FPort.DeviceGone());
    EXPECT_EQ(FPort.Suspicion(), 0u);
    FPort.Close();
    EXPECT_EQ(FFake.OpenHandles(), 0u);
}

// A driver that does not end the cancelled write: given up on after the
// cancel's grace, its record left to the driver (its event is not closed),
// and the driver's late completion writes into live memory.
TEST_F(Gone, AWriteTheCancelDoesNotEndIsGivenUp) {
    FPort.Open();
    auto written = HeldWrite();
    FFake.FailNext("PurgeComm", comm::ERROR_GEN_FAILURE);
    const std::size_t waits = FFake.CallCount("WaitForSingleObject");
    FFake.AdvanceClock(kDeadline + TransferGraceMs);
    UntilWaits(waits + 1);
    FFake.AdvanceClock(CancelGraceMs);
    EXPECT_EQ(written.get(), 0);
    EXPECT_EQ(FPort.GivenUp(), 1u);
    EXPECT_TRUE(FFake.CompleteWrite(kPort));
    FPort.Close();
    EXPECT_FALSE(FFake.IsOpen(kPort));
    EXPECT_EQ(FFake.OpenHandles(), 1u); // the given-up write's event
}

// A write without a deadline (no write timeouts) waits while the port's
// name is there, and is cancelled once it has gone.
TEST_F(Gone, AWriteWithoutADeadlineEndsWhenTheNameGoes) {
    FPort.Timeouts().SetWriteTotalMultiplier(0);
    FPort.Timeouts().SetWriteTotalConstant(0);
    FPort.Open();
    auto written = HeldWrite();
    const std::size_t waits = FFake.CallCount("WaitForSingleObject");
    FFake.AdvanceClock(10 * 1000);
    UntilWaits(waits + 1);
    EXPECT_EQ(FFake.CallCount("QueryDosDeviceA"), 1u);
    EXPECT_EQ(FFake.CallCount("PurgeComm"), 0u);
    FFake.RemovePort(kPort, comm::ERROR_SUCCESS); // a driver that fails nothing
    FFake.AdvanceClock(10 * 1000);
    EXPECT_EQ(written.get(), 0);
    EXPECT_TRUE(FPort.DeviceGone());
    FPort.Close();
}

// The stop ends the event thread's pending wait with the mask of 0; a driver
// that does not end it leaves it pending for ever. The thread gives it up
// after the grace and ends, and the close completes.
TEST_F(Gone, AnEventWaitTheStopDoesNotEndIsGivenUp) {
    FPort.SetEvents({evRxChar});
    FPort.Open();
    ASSERT_TRUE(FFake.WaitForCommWait(kPort));
    FFake.FailAlways("SetCommMask", comm::ERROR_GEN_FAILURE);
    const std::size_t waits = FFake.CallCount("WaitForSingleObject");
    auto closed = std::async(std::launch::async, [this] { FPort.Close(); });
    UntilWaits(waits + 1);
    FFake.AdvanceClock(CancelGraceMs);
    closed.get();
    EXPECT_FALSE(FPort.Connected());
    EXPECT_EQ(FPort.GivenUp(), 1u);
    FFake.ClearFailures();
}

// Failures of the calls on the open port: each is a suspicion unless the
// port's own abort explains it; a closed port keeps none.
TEST_F(Gone, FailuresOnTheOpenPortAreSuspicions) {
    FPort.Open();
    EXPECT_EQ(FPort.Suspicion(), 0u);
    FFake.FailNext("ClearCommError", comm::ERROR_BAD_COMMAND);
    EXPECT_THROW(FPort.InQueueCount(), EComPort);
    EXPECT_EQ(FPort.Suspicion(), comm::ERROR_BAD_COMMAND);
    FFake.FailNext("GetCommModemStatus", comm::ERROR_ACCESS_DENIED);
    EXPECT_THROW(FPort.ModemSignals(), EComPort);
    EXPECT_EQ(FPort.Suspicion(), comm::ERROR_ACCESS_DENIED);
    // A driver without modem lines says so: no suspicion.
    EXPECT_FALSE(FPort.DeviceGone());
    FFake.FailNext("GetCommModemStatus", comm::ERROR_NOT_SUPPORTED);
    FPort.ModemSignals();
    EXPECT_EQ(FPort.Suspicion(), 0u);
    FFake.FailNext("WriteFile", comm::ERROR_OPERATION_ABORTED);
    EXPECT_EQ(FPort.Write("x", 1), 0);
    EXPECT_EQ(FPort.Suspicion(), comm::ERROR_OPERATION_ABORTED);
    // Reopened: nothing is suspected of the new open.
    FPort.Close();
    FPort.Open();
    EXPECT_EQ(FPort.Suspicion(), 0u);
    FPort.Close();
    FFake.FailNext("WriteFile", comm::ERROR_GEN_FAILURE);
    EXPECT_EQ(FPort.Write("x", 1), 0);
    EXPECT_EQ(FPort.Suspicion(), 0u);
    EXPECT_FALSE(FPort.DeviceGone(true));
}

} // namespace
