// The driver's rules where no backend reaches them: read and write deadlines
// at the counts a port is never asked for in the contract suite (0 and
// MAXDWORD bytes), where a 32-bit product or a forgotten special case shows;
// the input queue's 80 % mark, raised once per crossing, across the ring's wrap.
#include "serial/driver/DriverRules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

using namespace comm;

namespace {

constexpr std::uint64_t kMax = MAXDWORD;
constexpr std::optional<std::uint64_t> kNone = std::nullopt;

struct DeadlineRow {
    const char* name;
    std::uint32_t interval, multiplier, constant, count;
    std::optional<std::uint64_t> total;
    bool firstByte;
};

void PrintTo(const DeadlineRow& row, std::ostream* out) {
    *out << row.name;
}

class ReadPlan : public ::testing::TestWithParam<DeadlineRow> {};

TEST_P(ReadPlan, TotalDeadlineIsSixtyFourBitsForAnyCount) {
    const DeadlineRow& row = GetParam();
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = row.interval;
    t.ReadTotalTimeoutMultiplier = row.multiplier;
    t.ReadTotalTimeoutConstant = row.constant;
    const rules::TReadPlan plan = rules::PlanRead(t, row.count);
    EXPECT_EQ(plan.Total, row.total);
    EXPECT_EQ(plan.FirstByte, row.firstByte);
    // The write deadline is the same product with the write fields.
    t.WriteTotalTimeoutMultiplier = row.multiplier;
    t.WriteTotalTimeoutConstant = row.constant;
    if (!row.firstByte) {
        EXPECT_EQ(rules::WriteDeadline(t, row.count), row.total == 0u ? kNone : row.total);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, ReadPlan,
    ::testing::Values(
        DeadlineRow{"NoTotals", 0, 0, 0, MAXDWORD, kNone, false},
        DeadlineRow{"MaxByMaxPlusMax", 0, MAXDWORD, MAXDWORD, MAXDWORD, kMax* kMax + kMax, false},
        DeadlineRow{"MultiplierOfNoBytes", 0, 7, 0, 0, 0u, false},
        DeadlineRow{"IntervalKeepsTheTotal", 20, 3, 5, MAXDWORD, 3 * kMax + 5, false},
        // Interval MAXDWORD: the multiplier MAXDWORD leaves the constant alone,
        // whatever the count; another multiplier counts as usual.
        DeadlineRow{"FirstByteMultiplierMax", MAXDWORD, MAXDWORD, 9, MAXDWORD, 9u, true},
        DeadlineRow{"FirstByteMultiplier", MAXDWORD, 2, 9, MAXDWORD, 2 * kMax + 9, true},
        DeadlineRow{"ConstantMaxWaitsForTheCount", MAXDWORD, 1, MAXDWORD, MAXDWORD, kMax + kMax,
                    false}),
    [](const ::testing::TestParamInfo<DeadlineRow>& row) { return row.param.name; });

// A read of no bytes ends at once in every mode, and a first-byte read
// whose total is 0 ends at once even when nothing is queued.
TEST(ReadPlanEnds, WithNoBytesAskedOrAZeroTotal) {
    COMMTIMEOUTS t;
    t.ReadTotalTimeoutConstant = 100;
    EXPECT_TRUE(rules::PlanRead(t, 0).EndsWith(0, 0));
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = 0;
    EXPECT_TRUE(rules::PlanRead(t, 8).EndsWith(0, 8));
    t.ReadTotalTimeoutConstant = 1;
    EXPECT_FALSE(rules::PlanRead(t, 8).EndsWith(0, 8));
}

// Each step pushes (n > 0) or pops (n < 0) bytes of a running alphabet, or
// resizes the queue, and says what EV_RX80FULL and the size are after it.
struct QueueStep {
    enum { kPush, kPop, kResize } op;
    std::size_t n;
    std::size_t size;
    bool mark;
};

TEST(InputQueue, RaisesTheMarkOncePerCrossingAndKeepsTheOrderAcrossTheWrap) {
    const QueueStep steps[] = {
        {QueueStep::kPush, 7, 7, false},   // 70 %
        {QueueStep::kPush, 1, 8, true},    // 80 %: reached
        {QueueStep::kPush, 1, 9, false},   // still above: not again
        {QueueStep::kPop, 1, 8, false},    // at the mark, not below it
        {QueueStep::kPop, 2, 6, false},    // below: armed again
        {QueueStep::kPush, 6, 10, true},   // wraps; 4 of the 6 are lost
        {QueueStep::kPop, 10, 0, false},   // all, oldest first
        {QueueStep::kPush, 4, 4, false},   //
        {QueueStep::kResize, 5, 4, false}, // 80 % of the new size: no event for a resize
        {QueueStep::kPop, 1, 3, false},    //
        {QueueStep::kPush, 1, 4, true},    // reached again by arriving bytes
    };
    rules::TInputQueue queue(10);
    std::string in, out;
    char next = 'a';
    for (const QueueStep& step : steps) {
        SCOPED_TRACE(testing::Message() << "after the step to size " << step.size);
        std::uint32_t event = 0;
        if (step.op == QueueStep::kPush) {
            std::string bytes;
            for (std::size_t i = 0; i < step.n; ++i) {
                bytes += next++;
            }
            const std::size_t pushed =
                queue.Push(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            in += bytes.substr(0, pushed);
            event = queue.MarkEvent();
        } else if (step.op == QueueStep::kPop) {
            std::string bytes(step.n, '\0');
            bytes.resize(queue.Pop(reinterpret_cast<std::uint8_t*>(bytes.data()), step.n));
            out += bytes;
        } else {
            EXPECT_EQ(queue.Resize(step.n), 0u);
            event = queue.MarkEvent();
        }
        EXPECT_EQ(queue.Size(), step.size);
        EXPECT_EQ(event, step.mark ? EV_RX80FULL : 0u);
    }
    std::string rest(queue.Size(), '\0');
    queue.Pop(reinterpret_cast<std::uint8_t*>(rest.data()), rest.size());
    EXPECT_EQ(out + rest, in);
}

} // namespace

// The storage grows with what is queued, not with the capacity, and keeps the
// order when it grows while the ring has wrapped.
TEST(InputQueue, GrowsWithWhatIsQueuedKeepingTheOrder) {
    rules::TInputQueue queue(std::size_t{1} << 31);
    std::deque<std::uint8_t> expected;
    std::uint8_t next = 0;
    for (const std::size_t n : {300u, 700u, 1500u, 40u, 5000u}) {
        std::vector<std::uint8_t> bytes(n);
        for (std::uint8_t& b : bytes) {
            b = next++;
        }
        ASSERT_EQ(queue.Push(bytes.data(), n), n);
        expected.insert(expected.end(), bytes.begin(), bytes.end());
        std::vector<std::uint8_t> out(n * 3 / 4);
        ASSERT_EQ(queue.Pop(out.data(), out.size()), out.size());
        EXPECT_TRUE(std::equal(out.begin(), out.end(), expected.begin()));
        expected.erase(expected.begin(), expected.begin() + static_cast<long>(out.size()));
    }
    EXPECT_EQ(queue.Size(), expected.size());
    EXPECT_EQ(queue.Capacity(), std::size_t{1} << 31);
}
