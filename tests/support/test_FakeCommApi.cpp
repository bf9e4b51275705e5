// The fake backend: what the component's tests rely on across threads,
// failure injection and the read timeout modes.
#include "tests/support/FakeCommApi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <future>
#include <ostream>
#include <string>
#include <thread>

using namespace comm;

namespace {

class FakeCommApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake.AddPort("COM3");
        port = fake.CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
    }

    Overlapped NewBlock() {
        Overlapped ov;
        ov.hEvent = fake.CreateEventA(true, true);
        return ov;
    }

    void SetTimeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
        COMMTIMEOUTS t;
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutMultiplier = multiplier;
        t.ReadTotalTimeoutConstant = constant;
        ASSERT_TRUE(fake.SetCommTimeouts(port, &t));
    }

    FakeCommApi fake;
    Handle port = INVALID_HANDLE_VALUE;
};

TEST_F(FakeCommApiTest, WaitForMultipleObjectsWakesOnEventSetByAnotherThread) {
    const Handle stop = fake.CreateEventA(true, false);
    const Handle other = fake.CreateEventA(false, false);
    const Handle list[2] = {stop, other};
    auto waiter = std::async(std::launch::async,
                             [&] { return fake.WaitForMultipleObjects(2, list, false, INFINITE); });
    ASSERT_TRUE(fake.WaitForCalls("WaitForMultipleObjects", 1));
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    ASSERT_TRUE(fake.SetEvent(other));
    EXPECT_EQ(waiter.get(), WAIT_OBJECT_0 + 1);
    // The satisfied wait consumed the auto-reset event; the manual one stays set.
    EXPECT_FALSE(fake.IsSignalled(other));
    ASSERT_TRUE(fake.SetEvent(stop));
    EXPECT_EQ(fake.WaitForMultipleObjects(2, list, false, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(fake.WaitForSingleObject(stop, 0), WAIT_OBJECT_0);
    EXPECT_EQ(fake.WaitForSingleObject(other, 0), WAIT_TIMEOUT);
}

TEST_F(FakeCommApiTest, AutoResetEventReleasesOneWaiterPerSet) {
    const Handle event = fake.CreateEventA(false, false);
    std::atomic<int> released{0};
    std::thread a([&] {
        fake.WaitForSingleObject(event, INFINITE);
        ++released;
    });
    std::thread b([&] {
        fake.WaitForSingleObject(event, INFINITE);
        ++released;
    });
    ASSERT_TRUE(fake.WaitForCalls("WaitForSingleObject", 2));
    fake.SetEvent(event);
    fake.SetEvent(event);
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_FALSE(fake.IsSignalled(event));
}

TEST_F(FakeCommApiTest, TimedWaitEndsOnTheFakeClock) {
    const Handle event = fake.CreateEventA(true, false);
    auto waiter =
        std::async(std::launch::async, [&] { return fake.WaitForSingleObject(event, 50); });
    ASSERT_TRUE(fake.WaitForCalls("WaitForSingleObject", 1));
    fake.AdvanceClock(49);
    EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    fake.AdvanceClock(1);
    EXPECT_EQ(waiter.get(), WAIT_TIMEOUT);
}

// The event thread's loop: WaitCommEvent, wait on {stop, overlapped event},
// GetOverlappedResult, as the component runs it.
TEST_F(FakeCommApiTest, PendingCommWaitCompletesWhenTheTestRaisesAnEvent) {
    ASSERT_TRUE(fake.SetCommMask(port, EV_RXCHAR | EV_TXEMPTY));
    const Handle stop = fake.CreateEventA(true, false);
    Overlapped ov = NewBlock();
    std::uint32_t mask = 0xDEAD;
    auto body = std::async(std::launch::async, [&] {
        fake.WaitCommEvent(port, &mask, &ov);
        const Handle list[2] = {stop, ov.hEvent};
        const std::uint32_t r = fake.WaitForMultipleObjects(2, list, false, INFINITE);
        std::uint32_t n = 0;
        const bool ok = fake.GetOverlappedResult(port, &ov, &n, false);
        return std::make_pair(r, ok);
    });
    ASSERT_TRUE(fake.WaitForCommWait("COM3"));
    EXPECT_EQ(fake.CallsNamed("WaitCommEvent").at(0).error, ERROR_IO_PENDING);
    fake.RaiseEvents("COM3", EV_TXEMPTY | EV_RING); // EV_RING is not in the mask
    const auto [r, ok] = body.get();
    EXPECT_EQ(r, WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(ok);
    EXPECT_EQ(mask, EV_TXEMPTY);
}

TEST_F(FakeCommApiTest, InjectedFailuresAndOpenRefusals) {
    fake.Fail("SetupComm", ERROR_ACCESS_DENIED, 2, 1);
    EXPECT_TRUE(fake.SetupComm(port, 4096, 2048));
    EXPECT_FALSE(fake.SetupComm(port, 4096, 2048));
    EXPECT_EQ(fake.GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(fake.SetupComm(port, 4096, 2048));
    EXPECT_TRUE(fake.SetupComm(port, 4096, 2048));
    const auto setup = fake.CallsNamed("SetupComm");
    ASSERT_EQ(setup.size(), 4u);
    EXPECT_TRUE(setup[1].injected);
    EXPECT_EQ(setup[3].args, (std::vector<std::uint64_t>{4096, 2048}));

    fake.FailAlways("WaitForMultipleObjects", ERROR_INVALID_HANDLE);
    const Handle event = fake.CreateEventA(true, true);
    EXPECT_EQ(fake.WaitForMultipleObjects(1, &event, false, INFINITE), WAIT_FAILED);
    EXPECT_EQ(fake.WaitForMultipleObjects(1, &event, false, INFINITE), WAIT_FAILED);

    // A refused read leaves the block's event signalled, so a wait returns at once.
    fake.FailNext("ReadFile", ERROR_GEN_FAILURE);
    Overlapped ov = NewBlock();
    char buffer[4];
    std::uint32_t n = 99;
    EXPECT_FALSE(fake.ReadFile(port, buffer, 4, &n, &ov));
    EXPECT_EQ(fake.GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_TRUE(fake.IsSignalled(ov.hEvent));

    struct Row {
        const char* name;
        std::uint32_t error;
    };
    fake.AddPort("COM4");
    fake.SetPortBusy("COM4");
    for (const Row& row :
         {Row{"\\\\.\\COM9", ERROR_FILE_NOT_FOUND}, Row{"\\\\.\\COM4", ERROR_ACCESS_DENIED},
          Row{"\\\\.\\com3", ERROR_ACCESS_DENIED}}) { // already open: exclusive
        EXPECT_EQ(fake.CreateFileA(row.name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED),
                  INVALID_HANDLE_VALUE)
            << row.name;
        EXPECT_EQ(fake.GetLastError(), row.error) << row.name;
    }
}

TEST_F(FakeCommApiTest, LastErrorIsPerThread) {
    fake.SetLastError(ERROR_GEN_FAILURE);
    std::thread([&] {
        EXPECT_EQ(fake.GetLastError(), 0u);
        fake.SetLastError(ERROR_IO_PENDING);
    }).join();
    EXPECT_EQ(fake.GetLastError(), ERROR_GEN_FAILURE);
}

TEST_F(FakeCommApiTest, HeldWriteWaitsForTheTestAndPurgeOrCloseAbortsTransfers) {
    fake.SetWriteMode(FakeCommApi::WriteMode::kPendingHeld);
    ASSERT_TRUE(fake.SetCommMask(port, EV_TXEMPTY));
    Overlapped ov = NewBlock();
    std::uint32_t n = 99;
    EXPECT_FALSE(fake.WriteFile(port, "\xF7\x8C", 2, &n, &ov));
    EXPECT_EQ(fake.GetLastError(), ERROR_IO_PENDING);
    auto waiter = std::async(std::launch::async, [&] {
        std::uint32_t done = 0;
        const bool ok = fake.GetOverlappedResult(port, &ov, &done, true);
        return std::make_pair(ok, done);
    });
    ASSERT_TRUE(fake.WaitForCalls("GetOverlappedResult", 1));
    EXPECT_EQ(fake.Written("COM3"), "");
    ASSERT_TRUE(fake.CompleteWrite("COM3"));
    EXPECT_EQ(waiter.get(), std::make_pair(true, 2u));
    EXPECT_EQ(fake.Written("COM3"), "\xF7\x8C");
    std::uint32_t mask = 0;
    Overlapped ev = NewBlock();
    EXPECT_TRUE(fake.WaitCommEvent(port, &mask, &ev)); // EV_TXEMPTY was kept
    EXPECT_EQ(mask, EV_TXEMPTY);

    EXPECT_FALSE(fake.WriteFile(port, "x", 1, &n, &ov));
    ASSERT_TRUE(fake.PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT));
    EXPECT_FALSE(fake.GetOverlappedResult(port, &ov, &n, false));
    EXPECT_EQ(fake.GetLastError(), ERROR_OPERATION_ABORTED);

    SetTimeouts(0, 0, 0);
    char buffer[4];
    Overlapped rd = NewBlock();
    EXPECT_FALSE(fake.ReadFile(port, buffer, 4, &n, &rd));
    ASSERT_TRUE(fake.CloseHandle(port));
    EXPECT_TRUE(fake.IsSignalled(rd.hEvent));
    EXPECT_FALSE(fake.GetOverlappedResult(port, &rd, &n, false));
    EXPECT_EQ(fake.GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(fake.SetupComm(port, 1, 1));
    EXPECT_EQ(fake.GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(FakeCommApiTest, AutoAdvancingClockEndsATickLoop) {
    fake.SetAutoAdvance(1);
    const std::uint32_t t0 = fake.GetTickCount();
    int rounds = 0;
    while (static_cast<std::int32_t>(fake.GetTickCount() - t0) < 1) {
        ++rounds;
        ASSERT_LT(rounds, 10);
    }
    fake.SetAutoAdvance(0);
    const std::uint32_t now = fake.GetTickCount();
    EXPECT_EQ(fake.GetTickCount(), now);
    fake.Sleep(10);
    EXPECT_EQ(fake.GetTickCount(), now + 10);
}

} // namespace
