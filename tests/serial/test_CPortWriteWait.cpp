// The write's wait of up to one tick for the transmit queue to empty, on a
// thread that is not the GUI thread (no binding installed): nothing is
// processed there, so the writer blocks until the tick passes or the event
// thread's report wakes it, instead of spinning on the tick count.
#include "serial/CPort.h"

#include "serial/driver/CommApi.h"
#include "tests/support/FakeCommApi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

using namespace cport;
using namespace std::chrono_literals;

namespace {

TEST(WriteOffTheGuiThread, WaitsForTheTransmitReportWithoutSpinning) {
    comm::FakeCommApi fake;
    comm::ScopedCommApi use(fake);
    fake.AddPort("COM3");
    TComPort p(nullptr);
    p.SetPort("COM3");
    p.SetEvents(TComEvents());
    p.Open();
    ASSERT_TRUE(p.Connected());
    // The fake's clock stands still: the tick never passes, so only the
    // report ends the wait. A writer that spins asks the clock thousands of
    // times a millisecond; one that blocks asks it about once.
    fake.ClearCalls();
    std::atomic<std::int32_t> written{-1};
    std::thread writer([&] { written = p.Write("abc", 3); });
    const auto asked = [&] { return fake.CallCount("GetTickCount"); };
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (asked() < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_GE(asked(), 2u) << "the write did not start waiting";
    const std::size_t before = asked();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(50ms); // the span watched, not a synchronisation
    const std::size_t during = asked() - before;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_LE(during, static_cast<std::size_t>(3 * ms + 10)) << "the writer spins";
    EXPECT_EQ(written.load(), -1) << "the write ended before the tick or the report";
    // The event thread's report wakes it.
    p.FireTxEmpty();
    writer.join();
    EXPECT_EQ(written.load(), 3);
    EXPECT_EQ(fake.Written("COM3"), "abc");
}

TEST(WriteOffTheGuiThread, TheTickPassingEndsTheWaitWithoutAReport) {
    comm::FakeCommApi fake;
    comm::ScopedCommApi use(fake);
    fake.AddPort("COM3");
    TComPort p(nullptr);
    p.SetPort("COM3");
    p.SetEvents(TComEvents());
    p.Open();
    ASSERT_TRUE(p.Connected());
    fake.ClearCalls();
    std::atomic<std::int32_t> written{-1};
    std::thread writer([&] { written = p.Write("abc", 3); });
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (fake.CallCount("GetTickCount") < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    ASSERT_GE(fake.CallCount("GetTickCount"), 2u) << "the write did not start waiting";
    fake.AdvanceClock(1);
    writer.join();
    EXPECT_EQ(written.load(), 3);
    EXPECT_FALSE(TxEmptyFlag); // nobody reported it: the tick ended the wait
}

} // namespace
