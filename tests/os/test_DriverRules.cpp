// The driver's rules where no backend reaches them: read and write deadlines
// at the counts a port is never asked for in the contract suite (0 and
// MAXDWORD bytes), where a 32-bit product or a forgotten special case shows.
#include "serial/os/DriverRules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>

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

} // namespace
