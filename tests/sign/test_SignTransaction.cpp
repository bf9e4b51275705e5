// The sign transaction on a port whose adapter is pulled, or whose driver
// fails with the same codes while its device is there: the rule that tells
// the two apart, on the fake backend, with each code that real drivers give
// for a pulled adapter. Qt-free: it runs on Windows (under Wine) too.
#include "sign/SignTransaction.h"

#include "serial/CPort.h"
#include "tests/support/FakeCommApi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace {

using std::chrono::milliseconds;

constexpr const char* kPort = "COM3";

// The codes drivers give for a pulled adapter: FTDI 995, Prolific 22, CH340
// and modems 5, the Bluetooth serial driver 1617, others 31 and 2; 0 for a
// driver that fails nothing (usbser.sys).
struct TDriverCode {
    const char* Driver;
    std::uint32_t Code;
};
const std::vector<TDriverCode> kPulledCodes = {
    {"the rules' own", comm::ERROR_DEVICE_REMOVED},
    {"FTDI", comm::ERROR_OPERATION_ABORTED},
    {"Prolific", comm::ERROR_BAD_COMMAND},
    {"CH340", comm::ERROR_ACCESS_DENIED},
    {"a device gone wrong", comm::ERROR_GEN_FAILURE},
    {"a name gone", comm::ERROR_FILE_NOT_FOUND},
    {"usbser", comm::ERROR_SUCCESS},
};

class SignTransaction : public ::testing::Test {
protected:
    SignTransaction() : FUse(FFake) {
        FFake.AddPort(kPort);
        // The component's one-tick wait after a write runs on the fake's clock.
        FFake.SetAutoAdvance(1);
        sign::ConfigureSignPort(FPort);
        FPort.SetSyncMethod(cport::smNone);
        FPort.SetEvents({cport::evRxChar});
        FLink.BeginRequest(sign::CmdReadTime, {});
    }

    // A transaction on a sign that never answers, with short waits; `written`
    // runs after each write with its number (1, 2, ...).
    sign::TTransactionResult Run(const std::function<void(int)>& written) {
        sign::TTransactionHooks hooks;
        int writes = 0;
        hooks.Written = [&](const std::string&, std::int32_t) { written(++writes); };
        return sign::RunTransaction(FPort, FLink, kPort, {3, milliseconds(50), milliseconds(0)},
                                    hooks);
    }

    comm::FakeCommApi FFake;
    comm::ScopedCommApi FUse;
    cport::TComPort FPort{nullptr};
    sign::TSignLink FLink;
};

// Pulled after the first write, whatever the driver says of it (or if it
// says nothing): no second write, the port closed at once so that the
// adapter gets its name back when plugged in again.
TEST_F(SignTransaction, APulledAdapterEndsItAfterTheFirstWriteWhateverTheDriverSays) {
    for (const TDriverCode& row : kPulledCodes) {
        SCOPED_TRACE(std::string(row.Driver) + ", code " + std::to_string(row.Code));
        FFake.AddPort(kPort);
        const sign::TTransactionResult result = Run([&](int n) {
            if (n == 1)
                FFake.RemovePort(kPort, row.Code);
        });
        EXPECT_TRUE(result.Opened);
        EXPECT_TRUE(result.DeviceGone);
        EXPECT_FALSE(result.Acknowledged);
        EXPECT_EQ(result.Writes, 1);
        EXPECT_FALSE(FPort.Connected());
        EXPECT_FALSE(FFake.IsOpen(kPort));
        EXPECT_EQ(result.GivenUp, 0u);
    }
}

// The same codes from a driver whose device is there: each failure is a
// suspicion that the port's name clears, and the transaction runs its course.
TEST_F(SignTransaction, TheSameCodesWithTheDeviceThereAreNoAnswerNotGone) {
    const std::vector<const char*> calls = {"WriteFile", "GetOverlappedResult", "WaitCommEvent"};
    for (const char* call : calls) {
        for (const TDriverCode& row : kPulledCodes) {
            if (row.Code == comm::ERROR_SUCCESS)
                continue;
            SCOPED_TRACE(std::string(call) + " fails with " + std::to_string(row.Code));
            FFake.ClearFailures();
            FFake.Fail(call, row.Code, 2);
            bool suspected = false;
            const sign::TTransactionResult result =
                Run([&](int) { suspected = suspected || FPort.Suspicion() != 0; });
            EXPECT_FALSE(result.DeviceGone);
            EXPECT_EQ(result.Writes, 3);
            EXPECT_FALSE(FFake.IsOpen(kPort));
            if (std::string(call) == "WriteFile") {
                EXPECT_TRUE(suspected);
            }
        }
    }
}

// A driver that fails nothing and a name that stays: every wait times out,
// asks, and the transaction goes on.
TEST_F(SignTransaction, ASilentSignOnAPresentPortIsNoAnswer) {
    const sign::TTransactionResult result = Run([](int) {});
    EXPECT_FALSE(result.DeviceGone);
    EXPECT_EQ(result.Writes, 3);
    EXPECT_GE(FFake.CallCount("QueryDosDeviceA"), 3u);
}

// The port's own purge, cancel or close explains ERROR_OPERATION_ABORTED;
// nothing explains the other codes.
TEST(DeviceGoneRule, OnlyAnAbortAfterThePortsOwnIsItsOwnDoing) {
    for (const TDriverCode& row : kPulledCodes) {
        if (row.Code == comm::ERROR_SUCCESS)
            continue;
        SCOPED_TRACE(row.Code);
        EXPECT_FALSE(cport::FailureIsOwn(row.Code, false));
        EXPECT_EQ(cport::FailureIsOwn(row.Code, true), row.Code == comm::ERROR_OPERATION_ABORTED);
    }
}

// The name's presence as the port asks it: the DOS device namespace, and
// where that has nothing an open asking for no access.
TEST(DeviceGoneRule, ThePortNameIsAskedOfTheNamespaceThenByAnOpen) {
    comm::FakeCommApi fake;
    comm::ScopedCommApi use(fake);
    fake.AddPort(kPort);
    EXPECT_EQ(comm::PortNamePresence("COM3"), comm::TNamePresence::npPresent);
    EXPECT_EQ(comm::PortNamePresence("\\\\.\\COM3"), comm::TNamePresence::npPresent);
    EXPECT_EQ(fake.CallCount("CreateFileA"), 0u);
    // Not in the namespace (as Wine's COM names are not): the open decides.
    fake.FailAlways("QueryDosDeviceA", comm::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(comm::PortNamePresence("COM3"), comm::TNamePresence::npPresent);
    ASSERT_EQ(fake.CallCount("CreateFileA"), 1u);
    EXPECT_EQ(fake.CallsNamed("CreateFileA").at(0).text, "\\\\.\\COM3");
    EXPECT_EQ(fake.CallsNamed("CreateFileA").at(0).args.at(0), 0u); // no access asked
    EXPECT_FALSE(fake.IsOpen(kPort));                               // and closed again
    fake.SetPortBusy(kPort);
    EXPECT_EQ(comm::PortNamePresence("COM3"), comm::TNamePresence::npPresent);
    fake.RemovePort(kPort);
    EXPECT_EQ(comm::PortNamePresence("COM3"), comm::TNamePresence::npAbsent);
    EXPECT_EQ(comm::PortNamePresence(""), comm::TNamePresence::npAbsent);
    // Neither can tell: never taken for gone.
    fake.FailAlways("QueryDosDeviceA", comm::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(comm::PortNamePresence("COM3"), comm::TNamePresence::npUnknown);
}

} // namespace
