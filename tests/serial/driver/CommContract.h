#pragma once
// The Windows serial driver's rules, written once and run on every backend of
// the communications interface: the fake (on its virtual clock), the POSIX
// backend on a pseudo-terminal and the Win32 backend on a COM port (real
// time). A test program includes this header once, gives each backend a
// Backend and instantiates the suites with RC_COMM_CONTRACT(Prefix, info).
//
// On real time every bound is an order of magnitude: a transfer must not end
// before 90 % of its deadline, and must end within 1.5 s after it; "never"
// is watched for kProbeMs. On the virtual clock the same cases are exact: not
// done 1 ms before the deadline, done at it.
//
// A backend that cannot show a behaviour (its far end cannot do what the
// case needs, or it departs from the driver in a known way) names the reason
// in Lacks(), and the case is skipped with it.

#include "serial/driver/CommApi.h"
#include "serial/driver/DriverRules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <tuple>

namespace contract {

using comm::Handle;
using comm::MAXDWORD;

// What a case may need that a backend may be unable to show.
enum class Need {
    kPort,            // the port itself (a COM name given in the environment)
    kStalledWrite,    // a far end that does not read, so that a long write stays pending
    kRxAbort,         // PurgeComm(PURGE_RXABORT) ending a pending read
    kInputSize,       // SetupComm's input size bounding the queue (CE_RXOVER)
    kDiscardNull,     // the DCB's fNull
    kEventLatch,      // events kept while no wait is pending
    kPendingCommWait, // a WaitCommEvent that stays pending until an event comes
    kRefusesAllMax,   // SetCommTimeouts refusing MAXDWORD for all three read fields
    kReadAtOnce,      // a read that ends at once returning true (else: done soon after)
    kEmptyReadAtOnce, // MAXDWORD/0/0 with nothing queued ending at once, empty
    kFirstByte,       // interval MAXDWORD with a total ending a read at the first byte
    kTxEmptyEvent,    // EV_TXEMPTY once a write has gone
    kTimeoutSucceeds, // a read ended by its total time-out succeeding with what came
    kUnplug,          // the device taken away while the port is open
    kRefusesNothing,  // PurgeComm(0) and a WaitCommEvent without a mask refused
};

// The backend under test and the far end of its port.
class Backend {
public:
    virtual ~Backend() = default;
    virtual comm::ICommApi& Api() = 0;
    // Opens the port with an empty input queue, 9600 8N1, SetupComm(4096,
    // 4096) and read time-outs MAXDWORD/0/0 (return at once).
    virtual Handle Open() = 0;
    // The far end sends bytes to the port; returns once they are on the way.
    virtual void Send(Handle port, const std::string& bytes) = 0;
    // Makes the far end stop reading what the port writes.
    virtual void StallWrites() {}
    // The far end reads n bytes that the port wrote (and, if it stalled,
    // reads on from now on).
    virtual std::string Received(Handle port, std::size_t n) = 0;
    // Takes the device away from under the open port (a USB adapter pulled).
    virtual void Unplug(Handle) {}
    // Why a case that needs `need` cannot run here; "" when it can.
    virtual std::string Lacks(Need) const { return ""; }
    // A write long enough to stall when the far end does not read.
    virtual std::size_t StallingWriteSize() const { return 1u << 20; }
    // True on a virtual clock: Elapse moves it and nothing else does.
    virtual bool VirtualClock() const = 0;
    // Milliseconds since the backend was made.
    virtual std::uint64_t Now() = 0;
    // Lets time pass: the virtual clock advances, real time is slept.
    virtual void Elapse(std::uint64_t ms) = 0;
};

// A backend on the real clock, where time passes by waiting.
class RealTimeBackend : public Backend {
public:
    bool VirtualClock() const override { return false; }
    std::uint64_t Now() override {
        return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start_)
                                              .count());
    }
    void Elapse(std::uint64_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

struct BackendInfo {
    const char* name;
    std::function<std::unique_ptr<Backend>()> make;
};

inline void PrintTo(const BackendInfo& info, std::ostream* out) {
    *out << info.name;
}

inline constexpr std::uint64_t kNoDeadline = std::numeric_limits<std::uint64_t>::max();
// Real time: how long "still pending" is watched, and the slack after a deadline.
inline constexpr std::uint32_t kProbeMs = 200;
inline constexpr std::uint32_t kLateMs = 1500;
// A deadline longer than this is only watched for kProbeMs on real time.
inline constexpr std::uint64_t kShortMs = 1000;

// The values of the read table: "n" of each field.
inline constexpr std::uint32_t kInterval = 50;
inline constexpr std::uint32_t kMultiplier = 25;
inline constexpr std::uint32_t kConstant = 250;
inline constexpr std::uint32_t kReadCount = 8; // every read of the table asks for 8 bytes

// What ends a read of the table.
enum class Ends {
    kRefused,   // SetCommTimeouts refuses the time-outs
    kAtOnce,    // at once, with what is queued
    kFirstByte, // at the first byte (or what is queued), else at the total deadline
    kCount,     // at the count, else at the total deadline
    kGap,       // at the count, at the interval gap after a byte, else at the total deadline
};

struct ReadRow {
    const char* name;
    std::uint32_t interval, multiplier, constant;
    Ends ends;
    std::uint64_t total; // the total deadline of an 8-byte read; kNoDeadline: none
};

inline void PrintTo(const ReadRow& row, std::ostream* out) {
    *out << row.name;
}

// interval {0, n, MAXDWORD} x multiplier {0, n, MAXDWORD} x constant {0, n, MAXDWORD}.
// The total deadline is multiplier x count + constant in 64 bits, never
// clamped; with an interval of MAXDWORD and a multiplier of MAXDWORD it is the
// constant alone.
inline constexpr std::uint64_t kMax = MAXDWORD;
inline constexpr std::uint64_t kMaxTimesCount = kMax * kReadCount;
inline const ReadRow kReadRows[] = {
    {"All0_NoTimeout", 0, 0, 0, Ends::kCount, kNoDeadline},
    {"Constant", 0, 0, kConstant, Ends::kCount, kConstant},
    {"ConstantMax", 0, 0, MAXDWORD, Ends::kCount, kMax},
    {"Multiplier", 0, kMultiplier, 0, Ends::kCount, kMultiplier* kReadCount},
    {"MultiplierConstant", 0, kMultiplier, kConstant, Ends::kCount,
     kMultiplier* kReadCount + kConstant},
    {"MultiplierConstantMax", 0, kMultiplier, MAXDWORD, Ends::kCount,
     kMultiplier* kReadCount + kMax},
    {"MultiplierMax", 0, MAXDWORD, 0, Ends::kCount, kMaxTimesCount},
    {"MultiplierMaxConstant", 0, MAXDWORD, kConstant, Ends::kCount, kMaxTimesCount + kConstant},
    {"MultiplierMaxConstantMax", 0, MAXDWORD, MAXDWORD, Ends::kCount, kMaxTimesCount + kMax},
    {"Interval", kInterval, 0, 0, Ends::kGap, kNoDeadline},
    {"IntervalConstant", kInterval, 0, kConstant, Ends::kGap, kConstant},
    {"IntervalConstantMax", kInterval, 0, MAXDWORD, Ends::kGap, kMax},
    {"IntervalMultiplier", kInterval, kMultiplier, 0, Ends::kGap, kMultiplier* kReadCount},
    {"IntervalMultiplierConstant", kInterval, kMultiplier, kConstant, Ends::kGap,
     kMultiplier* kReadCount + kConstant},
    {"IntervalMultiplierConstantMax", kInterval, kMultiplier, MAXDWORD, Ends::kGap,
     kMultiplier* kReadCount + kMax},
    {"IntervalMultiplierMax", kInterval, MAXDWORD, 0, Ends::kGap, kMaxTimesCount},
    {"IntervalMultiplierMaxConstant", kInterval, MAXDWORD, kConstant, Ends::kGap,
     kMaxTimesCount + kConstant},
    {"IntervalMultiplierMaxConstantMax", kInterval, MAXDWORD, MAXDWORD, Ends::kGap,
     kMaxTimesCount + kMax},
    {"IntervalMax_AtOnce", MAXDWORD, 0, 0, Ends::kAtOnce, 0},
    {"IntervalMaxConstant", MAXDWORD, 0, kConstant, Ends::kFirstByte, kConstant},
    {"IntervalMaxConstantMax", MAXDWORD, 0, MAXDWORD, Ends::kCount, kMax},
    {"IntervalMaxMultiplier", MAXDWORD, kMultiplier, 0, Ends::kFirstByte, kMultiplier* kReadCount},
    {"IntervalMaxMultiplierConstant", MAXDWORD, kMultiplier, kConstant, Ends::kFirstByte,
     kMultiplier* kReadCount + kConstant},
    {"IntervalMaxMultiplierConstantMax", MAXDWORD, kMultiplier, MAXDWORD, Ends::kCount,
     kMultiplier* kReadCount + kMax},
    {"IntervalMaxMultiplierMax", MAXDWORD, MAXDWORD, 0, Ends::kFirstByte, 0},
    {"IntervalMaxMultiplierMaxConstant", MAXDWORD, MAXDWORD, kConstant, Ends::kFirstByte,
     kConstant},
    {"AllMax_Refused", MAXDWORD, MAXDWORD, MAXDWORD, Ends::kRefused, 0},
};

// Skips the case, with the backend's reason, when the backend cannot show `need`.
#define RC_CONTRACT_NEEDS(need)                                                                    \
    if (const std::string why_ = B().Lacks(need); !why_.empty())                                   \
    GTEST_SKIP() << why_

// What Backend::Open does once the port is open: 9600 8N1 without handshake,
// SetupComm(4096, 4096), read time-outs MAXDWORD/0/0, both queues cleared.
inline bool SetUpPort(comm::ICommApi& api, Handle port) {
    comm::DCB dcb;
    if (!api.GetCommState(port, &dcb)) {
        return false;
    }
    dcb.DCBlength = sizeof(comm::DCB);
    dcb.BaudRate = 9600;
    dcb.Flags = comm::DCB_fBinary;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.EvtChar = 0;
    comm::COMMTIMEOUTS t;
    t.ReadIntervalTimeout = MAXDWORD;
    return api.SetupComm(port, 4096, 4096) && api.SetCommState(port, &dcb) &&
           api.SetCommTimeouts(port, &t) &&
           api.PurgeComm(port, comm::PURGE_RXCLEAR | comm::PURGE_TXCLEAR);
}

// An overlapped block with a manual-reset event of the backend's own, the
// buffer of a read and the mask of a wait. One that is still pending when a
// case ends (it failed) is left to the backend rather than freed under it: a
// wait that ends later writes its mask there, not into a finished case's
// stack.
class Transfer {
    struct State {
        comm::Overlapped ov;
        std::string data;
        std::uint32_t mask = 0;
    };

public:
    explicit Transfer(comm::ICommApi& api)
        : api_(api), state_(std::make_unique<State>()), ov(state_->ov), data(state_->data),
          mask(state_->mask) {
        ov.hEvent = api_.CreateEventA(true, false);
    }
    ~Transfer() {
        if (ov.Internal == comm::kStatusPending) {
            (void)state_.release();
            return;
        }
        api_.CloseHandle(ov.hEvent);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    bool Signalled() { return api_.WaitForSingleObject(ov.hEvent, 0) == comm::WAIT_OBJECT_0; }

private:
    comm::ICommApi& api_;
    std::unique_ptr<State> state_;

public:
    comm::Overlapped& ov;
    std::string& data;
    // The event mask of a WaitCommEvent: written when the wait ends, so it
    // lives as long as the block does.
    std::uint32_t& mask;
};

// The port, its backend and the checks that work on either clock.
class ContractTest : public ::testing::Test {
protected:
    void Begin(const BackendInfo& info) {
        backend_ = info.make();
        ASSERT_TRUE(backend_);
        RC_CONTRACT_NEEDS(Need::kPort);
        port_ = backend_->Open();
        ASSERT_NE(port_, comm::INVALID_HANDLE_VALUE) << "the port did not open";
    }
    void TearDown() override {
        if (backend_ && port_ != comm::INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(Api().CloseHandle(port_));
        }
    }

    Backend& B() { return *backend_; }
    comm::ICommApi& Api() { return backend_->Api(); }

    void SetTimeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant,
                     std::uint32_t writeMultiplier = 0, std::uint32_t writeConstant = 0) {
        comm::COMMTIMEOUTS t;
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutMultiplier = multiplier;
        t.ReadTotalTimeoutConstant = constant;
        t.WriteTotalTimeoutMultiplier = writeMultiplier;
        t.WriteTotalTimeoutConstant = writeConstant;
        ASSERT_TRUE(Api().SetCommTimeouts(port_, &t)) << Api().GetLastError();
    }

    // ClearCommError: the queue count; the error flags are added to *errors.
    std::uint32_t InQueue(std::uint32_t* errors = nullptr) {
        comm::COMSTAT stat;
        std::uint32_t e = 0;
        EXPECT_TRUE(Api().ClearCommError(port_, &e, &stat));
        if (errors != nullptr) {
            *errors |= e;
        }
        return stat.cbInQue;
    }
    // Until the input queue holds at least n bytes (10 s at most).
    bool WaitQueued(std::uint32_t n, std::uint32_t* errors = nullptr) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            if (InQueue(errors) >= n) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }

    // Starts a read of count bytes into t.data. True when it completed at
    // once. A backend that completes such reads only after ReadFile returned
    // pending (Need::kReadAtOnce) must complete them soon.
    bool StartRead(Transfer& t, std::uint32_t count, bool atOnce = false) {
        t.data.assign(count, '\0');
        std::uint32_t n = 0;
        if (Api().ReadFile(port_, t.data.data(), count, &n, &t.ov)) {
            t.data.resize(n);
            return true;
        }
        EXPECT_EQ(Api().GetLastError(), comm::ERROR_IO_PENDING);
        if (atOnce && !B().Lacks(Need::kReadAtOnce).empty() && DoneSoon(t)) {
            std::cout << "[   NOTE   ] " << B().Lacks(Need::kReadAtOnce) << "\n";
            t.data = ReadResult(t);
            return true;
        }
        return false;
    }
    // The bytes of a completed read.
    std::string ReadResult(Transfer& t) {
        std::uint32_t n = 0;
        EXPECT_TRUE(Api().GetOverlappedResult(port_, &t.ov, &n, false)) << Api().GetLastError();
        return t.data.substr(0, std::min<std::size_t>(n, t.data.size()));
    }

    // Until t completes, soon (an event or bytes that came): on the virtual
    // clock it must already have; on real time within kLateMs.
    bool DoneSoon(Transfer& t) {
        if (B().VirtualClock()) {
            return t.Signalled();
        }
        return Api().WaitForSingleObject(t.ov.hEvent, kLateMs) == comm::WAIT_OBJECT_0;
    }
    // t is pending now and completes `deadline` ms after `start`.
    void ExpectDoneAt(Transfer& t, std::uint64_t start, std::uint64_t deadline) {
        if (B().VirtualClock()) {
            const std::uint64_t now = B().Now() - start;
            if (deadline > now) {
                B().Elapse(deadline - now - 1);
                EXPECT_FALSE(t.Signalled()) << "done before its deadline of " << deadline << " ms";
                B().Elapse(1);
            }
            EXPECT_TRUE(t.Signalled()) << "not done at its deadline of " << deadline << " ms";
            return;
        }
        const std::uint64_t waited = B().Now() - start;
        const std::uint64_t left = deadline > waited ? deadline - waited : 0;
        EXPECT_EQ(
            Api().WaitForSingleObject(t.ov.hEvent, static_cast<std::uint32_t>(left + kLateMs)),
            comm::WAIT_OBJECT_0)
            << "not done " << kLateMs << " ms after its deadline of " << deadline << " ms";
        const std::uint64_t took = B().Now() - start;
        EXPECT_GE(took * 10, deadline * 9) << "done after " << took << " ms of " << deadline;
    }
    // t is still pending just before its deadline (virtual clock; with no
    // deadline, after 2^33 ms), or after kProbeMs (real time).
    void ExpectStillPending(Transfer& t, std::uint64_t start, std::uint64_t deadline) {
        if (B().VirtualClock()) {
            const std::uint64_t until = deadline == kNoDeadline ? (1ull << 33) : deadline - 1;
            const std::uint64_t now = B().Now() - start;
            if (until > now) {
                B().Elapse(until - now);
            }
        } else {
            Api().WaitForSingleObject(t.ov.hEvent, kProbeMs);
        }
        EXPECT_FALSE(t.Signalled()) << "done though no deadline had come";
    }

    // The next batch of events: a wait that ends at once or soon; 0xFFFFFFFF
    // when none came.
    std::uint32_t NextEvents() {
        Transfer t(Api());
        std::uint32_t& mask = t.mask;
        if (Api().WaitCommEvent(port_, &mask, &t.ov)) {
            return mask;
        }
        if (Api().GetLastError() != comm::ERROR_IO_PENDING || !DoneSoon(t)) {
            return 0xFFFFFFFFu;
        }
        std::uint32_t n = 0;
        return Api().GetOverlappedResult(port_, &t.ov, &n, false) ? mask : 0xFFFFFFFFu;
    }

    // Reads what is queued now, as many bytes as ClearCommError counts (at
    // most max), with time-outs 0/0/0 left set.
    std::string ReadQueued(std::uint32_t max) {
        const std::uint32_t queued = std::min(InQueue(), max);
        if (queued == 0) {
            return "";
        }
        SetTimeouts(0, 0, 0);
        Transfer t(Api());
        if (!StartRead(t, queued)) {
            EXPECT_TRUE(DoneSoon(t));
            return ReadResult(t);
        }
        return t.data;
    }

    std::unique_ptr<Backend> backend_;
    Handle port_ = comm::INVALID_HANDLE_VALUE;
};

class CommContract : public ContractTest, public ::testing::WithParamInterface<BackendInfo> {
protected:
    void SetUp() override { Begin(GetParam()); }
};

class CommContractReads : public ContractTest,
                          public ::testing::WithParamInterface<std::tuple<BackendInfo, ReadRow>> {
protected:
    void SetUp() override { Begin(std::get<0>(GetParam())); }
};

inline std::string BackendName(const ::testing::TestParamInfo<BackendInfo>& info) {
    return info.param.name;
}
inline std::string
ReadRowName(const ::testing::TestParamInfo<std::tuple<BackendInfo, ReadRow>>& info) {
    return std::get<1>(info.param).name;
}

// ---- Read time-outs ------------------------------------------------------------------

// One row: the read of 8 bytes with 3 queued and nothing more to come, with
// nothing queued and nothing to come, and, where the first byte ends it,
// with a byte that comes while it waits.
TEST_P(CommContractReads, ReadEndsAsTheTimeoutsSay) {
    const ReadRow& row = std::get<1>(GetParam());
    comm::COMMTIMEOUTS t;
    t.ReadIntervalTimeout = row.interval;
    t.ReadTotalTimeoutMultiplier = row.multiplier;
    t.ReadTotalTimeoutConstant = row.constant;
    if (row.ends == Ends::kRefused) {
        RC_CONTRACT_NEEDS(Need::kRefusesAllMax);
        EXPECT_FALSE(Api().SetCommTimeouts(port_, &t));
        EXPECT_EQ(Api().GetLastError(), comm::ERROR_INVALID_PARAMETER);
        return;
    }
    if (row.ends == Ends::kFirstByte) {
        RC_CONTRACT_NEEDS(Need::kFirstByte);
    }
    const bool shortTotal = row.total <= kShortMs;
    const bool endsAtOnce = row.ends == Ends::kAtOnce || row.ends == Ends::kFirstByte;

    // 3 of 8 bytes queued, nothing more comes.
    B().Send(port_, "abc");
    ASSERT_TRUE(WaitQueued(3));
    ASSERT_TRUE(Api().SetCommTimeouts(port_, &t));
    {
        Transfer read(Api());
        const std::uint64_t start = B().Now();
        const bool atOnce = StartRead(read, kReadCount, endsAtOnce);
        if (endsAtOnce) {
            ASSERT_TRUE(atOnce) << "queued bytes end the read at once";
            EXPECT_EQ(read.data, "abc");
        } else {
            ASSERT_FALSE(atOnce);
            if (row.ends == Ends::kGap) {
                ExpectDoneAt(read, start, kInterval);
                EXPECT_EQ(ReadResult(read), "abc") << "ended by the interval gap";
            } else if (shortTotal) {
                ExpectDoneAt(read, start, row.total);
                RC_CONTRACT_NEEDS(Need::kTimeoutSucceeds);
                EXPECT_EQ(ReadResult(read), "abc") << "ended by the total deadline";
            } else {
                ExpectStillPending(read, start, row.total);
                B().Send(port_, "defgh");
                ASSERT_TRUE(DoneSoon(read)) << "the count did not end the read";
                EXPECT_EQ(ReadResult(read), "abcdefgh");
            }
        }
    }

    // Nothing queued, nothing comes.
    ASSERT_EQ(InQueue(), 0u);
    {
        if (row.ends == Ends::kAtOnce) {
            RC_CONTRACT_NEEDS(Need::kEmptyReadAtOnce);
        }
        Transfer read(Api());
        const std::uint64_t start = B().Now();
        const bool atOnce = StartRead(read, kReadCount, row.ends == Ends::kAtOnce);
        if (row.ends == Ends::kAtOnce) {
            ASSERT_TRUE(atOnce);
            EXPECT_EQ(read.data, "");
        } else if (row.total == 0) {
            // A total of 0 ms has passed when the read starts.
            ASSERT_TRUE(atOnce || DoneSoon(read)) << "a total of 0 ms did not end the read";
            EXPECT_EQ(atOnce ? read.data : ReadResult(read), "");
        } else if (shortTotal) {
            ASSERT_FALSE(atOnce);
            ExpectDoneAt(read, start, row.total);
            RC_CONTRACT_NEEDS(Need::kTimeoutSucceeds);
            EXPECT_EQ(ReadResult(read), "") << "ended by the total deadline";
        } else {
            ASSERT_FALSE(atOnce);
            ExpectStillPending(read, start, row.total);
            B().Send(port_, "ABCDEFGH");
            ASSERT_TRUE(DoneSoon(read)) << "the count did not end the read";
            EXPECT_EQ(ReadResult(read), "ABCDEFGH");
        }
    }

    // Nothing queued; one byte comes while the read waits.
    if (row.ends == Ends::kFirstByte && row.total >= kConstant) {
        Transfer read(Api());
        const std::uint64_t start = B().Now();
        ASSERT_FALSE(StartRead(read, kReadCount));
        B().Send(port_, "z");
        ASSERT_TRUE(DoneSoon(read));
        EXPECT_LT(B().Now() - start, row.total) << "ended by the deadline, not the byte";
        EXPECT_EQ(ReadResult(read), "z");
    }
}

// multiplier x count + constant beyond 32 bits: 2^31 x 4 + 100 ms, which
// cut to 32 bits would be 100 ms and clamped to 2^31 - 1 ms would be 24 days.
TEST_P(CommContract, ReadTotalDeadlineIsSixtyFourBitsAndNotClamped) {
    constexpr std::uint32_t kBigMultiplier = 0x80000000u;
    constexpr std::uint64_t kDeadline = (std::uint64_t{kBigMultiplier} * 4) + 100;
    for (const std::uint32_t interval : {std::uint32_t{0}, MAXDWORD}) {
        SCOPED_TRACE(interval == 0 ? "waiting for the count" : "ended by the first byte");
        if (interval == MAXDWORD) {
            RC_CONTRACT_NEEDS(Need::kFirstByte);
        }
        SetTimeouts(interval, kBigMultiplier, 100);
        Transfer read(Api());
        const std::uint64_t start = B().Now();
        ASSERT_FALSE(StartRead(read, 4));
        if (B().VirtualClock()) {
            B().Elapse(0x80000000u);
            EXPECT_FALSE(read.Signalled()) << "clamped to 2^31 - 1 ms";
        }
        ExpectStillPending(read, start, kDeadline);
        if (B().VirtualClock()) {
            ExpectDoneAt(read, start, kDeadline);
            EXPECT_EQ(ReadResult(read), "") << "a total time-out ends a read successfully";
        } else {
            const std::string sent = interval == 0 ? "wxyz" : "w";
            B().Send(port_, sent);
            ASSERT_TRUE(DoneSoon(read));
            EXPECT_EQ(ReadResult(read), sent);
        }
    }
}

// ---- Write time-outs -----------------------------------------------------------------

// WriteTotalTimeoutMultiplier x count + constant, with a far end that does
// not read: a write that times out succeeds with fewer bytes than asked; 0/0
// waits until the far end reads everything.
TEST_P(CommContract, WriteEndsAtItsTotalDeadline) {
    RC_CONTRACT_NEEDS(Need::kStalledWrite);
    const std::size_t size = B().StallingWriteSize();
    const std::string data(size, 'w');
    struct Row {
        const char* name;
        std::uint32_t multiplier, constant;
        std::uint64_t total;
    };
    const Row rows[] = {
        {"no time-out", 0, 0, kNoDeadline},
        {"constant", 0, kConstant, kConstant},
        {"multiplier and constant", 1, 100, std::uint64_t{size} + 100},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        SetTimeouts(MAXDWORD, 0, 0, row.multiplier, row.constant);
        B().StallWrites();
        Transfer write(Api());
        std::uint32_t n = 0;
        const std::uint64_t start = B().Now();
        ASSERT_FALSE(
            Api().WriteFile(port_, data.data(), static_cast<std::uint32_t>(size), &n, &write.ov));
        ASSERT_EQ(Api().GetLastError(), comm::ERROR_IO_PENDING);
        std::size_t sent = 0;
        if (row.total <= kShortMs) {
            ExpectDoneAt(write, start, row.total);
            ASSERT_TRUE(Api().GetOverlappedResult(port_, &write.ov, &n, false))
                << Api().GetLastError();
            EXPECT_LT(n, size) << "a timed-out write tells what it sent";
            sent = n;
        } else {
            ExpectStillPending(write, start, row.total);
            if (B().VirtualClock() && row.total != kNoDeadline) {
                ExpectDoneAt(write, start, row.total);
                ASSERT_TRUE(Api().GetOverlappedResult(port_, &write.ov, &n, false));
                EXPECT_LT(n, size);
                sent = n;
            } else {
                // The far end reads: everything goes.
                EXPECT_EQ(B().Received(port_, size), data);
                ASSERT_TRUE(DoneSoon(write));
                ASSERT_TRUE(Api().GetOverlappedResult(port_, &write.ov, &n, false));
                EXPECT_EQ(n, size);
                continue;
            }
        }
        EXPECT_EQ(B().Received(port_, sent).size(), sent);
    }
}

// ---- Queue, purge and errors ---------------------------------------------------------

TEST_P(CommContract, ClearCommErrorCountsTheQueueAndPurgeEmptiesIt) {
    std::uint32_t errors = 0;
    EXPECT_EQ(InQueue(&errors), 0u);
    B().Send(port_, "hello");
    ASSERT_TRUE(WaitQueued(5, &errors));
    EXPECT_EQ(InQueue(&errors), 5u);
    EXPECT_EQ(errors, 0u);
    ASSERT_TRUE(Api().PurgeComm(port_, comm::PURGE_RXCLEAR));
    EXPECT_EQ(InQueue(), 0u);
    EXPECT_EQ(ReadQueued(16), "");
    B().Send(port_, "after");
    ASSERT_TRUE(WaitQueued(5));
    EXPECT_EQ(ReadQueued(16), "after");
}

TEST_P(CommContract, PurgeAbortsPendingReadAndWrite) {
    {
        RC_CONTRACT_NEEDS(Need::kRxAbort);
        SetTimeouts(0, 0, 0);
        Transfer read(Api());
        ASSERT_FALSE(StartRead(read, 8));
        ASSERT_TRUE(Api().PurgeComm(port_, comm::PURGE_RXABORT));
        ASSERT_TRUE(DoneSoon(read));
        std::uint32_t n = 0;
        EXPECT_FALSE(Api().GetOverlappedResult(port_, &read.ov, &n, false));
        EXPECT_EQ(Api().GetLastError(), comm::ERROR_OPERATION_ABORTED);
    }
    {
        RC_CONTRACT_NEEDS(Need::kStalledWrite);
        SetTimeouts(MAXDWORD, 0, 0, 0, 0);
        B().StallWrites();
        const std::string data(B().StallingWriteSize(), 'w');
        Transfer write(Api());
        std::uint32_t n = 0;
        ASSERT_FALSE(Api().WriteFile(port_, data.data(), static_cast<std::uint32_t>(data.size()),
                                     &n, &write.ov));
        ASSERT_EQ(Api().GetLastError(), comm::ERROR_IO_PENDING);
        ASSERT_TRUE(Api().PurgeComm(port_, comm::PURGE_TXABORT));
        ASSERT_TRUE(DoneSoon(write));
        EXPECT_FALSE(Api().GetOverlappedResult(port_, &write.ov, &n, false));
        EXPECT_EQ(Api().GetLastError(), comm::ERROR_OPERATION_ABORTED);
        EXPECT_LT(n, data.size());
    }
}

// Without handshake, what does not fit in SetupComm's input size is lost and
// flagged once; the queue keeps the first bytes.
TEST_P(CommContract, FullInputQueueLosesBytesWithRxOver) {
    RC_CONTRACT_NEEDS(Need::kInputSize);
    ASSERT_TRUE(Api().SetupComm(port_, 64, 64));
    ASSERT_TRUE(Api().SetupComm(port_, 0, 0)) << "a size of 0 leaves the queue as it is";
    std::string data(200, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>('0' + i % 64);
    }
    B().Send(port_, data);
    std::uint32_t errors = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((errors & comm::CE_RXOVER) == 0 && std::chrono::steady_clock::now() < deadline) {
        InQueue(&errors);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(errors, comm::CE_RXOVER);
    EXPECT_EQ(InQueue(), 64u);
    EXPECT_EQ(ReadQueued(256), data.substr(0, 64));
    std::uint32_t after = 0;
    InQueue(&after);
    EXPECT_EQ(after, 0u) << "ClearCommError clears the flags it reported";
}

// EV_RX80FULL once the queue holds 80 % of SetupComm's input size; bytes
// that a pending read takes never reach the queue, nor the mark.
TEST_P(CommContract, QueueAtEightyPercentRaisesRx80Full) {
    RC_CONTRACT_NEEDS(Need::kInputSize);
    RC_CONTRACT_NEEDS(Need::kPendingCommWait);
    ASSERT_TRUE(Api().SetupComm(port_, 100, 100));
    SetTimeouts(0, 0, 0);
    ASSERT_TRUE(Api().SetCommMask(port_, comm::EV_RX80FULL));
    {
        Transfer read(Api());
        ASSERT_FALSE(StartRead(read, 100));
        B().Send(port_, std::string(100, 'r'));
        ASSERT_TRUE(DoneSoon(read));
        EXPECT_EQ(ReadResult(read), std::string(100, 'r'));
    }
    B().Send(port_, std::string(79, 'f'));
    ASSERT_TRUE(WaitQueued(79));
    Transfer wait(Api());
    std::uint32_t& mask = wait.mask;
    ASSERT_FALSE(Api().WaitCommEvent(port_, &mask, &wait.ov))
        << "EV_RX80FULL below the mark, or for bytes a read took";
    ASSERT_EQ(Api().GetLastError(), comm::ERROR_IO_PENDING);
    B().Send(port_, "g");
    ASSERT_TRUE(DoneSoon(wait));
    std::uint32_t n = 0;
    EXPECT_TRUE(Api().GetOverlappedResult(port_, &wait.ov, &n, false));
    EXPECT_EQ(mask, comm::EV_RX80FULL);
}

TEST_P(CommContract, DiscardNullDropsZeroBytes) {
    RC_CONTRACT_NEEDS(Need::kDiscardNull);
    comm::DCB dcb;
    ASSERT_TRUE(Api().GetCommState(port_, &dcb));
    dcb.Flags |= comm::DCB_fNull;
    ASSERT_TRUE(Api().SetCommState(port_, &dcb));
    B().Send(port_, std::string("a\0b\0\0c", 6));
    ASSERT_TRUE(WaitQueued(3));
    EXPECT_EQ(ReadQueued(16), "abc");
}

// ---- Events --------------------------------------------------------------------------

TEST_P(CommContract, PendingWaitEndsWhenBytesArrive) {
    RC_CONTRACT_NEEDS(Need::kPendingCommWait);
    ASSERT_TRUE(Api().SetCommMask(port_, comm::EV_RXCHAR));
    Transfer wait(Api());
    std::uint32_t& mask = wait.mask;
    ASSERT_FALSE(Api().WaitCommEvent(port_, &mask, &wait.ov));
    ASSERT_EQ(Api().GetLastError(), comm::ERROR_IO_PENDING);
    EXPECT_FALSE(wait.Signalled());
    B().Send(port_, "y");
    ASSERT_TRUE(DoneSoon(wait));
    std::uint32_t n = 0;
    EXPECT_TRUE(Api().GetOverlappedResult(port_, &wait.ov, &n, false));
    EXPECT_EQ(mask, comm::EV_RXCHAR);
}

// An event that happens while no wait is pending is kept for the next wait,
// even once its bytes have been read, and a purge leaves it.
TEST_P(CommContract, EventsAreKeptForTheNextWait) {
    RC_CONTRACT_NEEDS(Need::kEventLatch);
    ASSERT_TRUE(Api().SetCommMask(port_, comm::EV_RXCHAR));
    B().Send(port_, "xy");
    ASSERT_TRUE(WaitQueued(2));
    EXPECT_EQ(ReadQueued(1), "x");
    ASSERT_TRUE(Api().PurgeComm(port_, comm::PURGE_RXCLEAR | comm::PURGE_RXABORT));
    Transfer wait(Api());
    std::uint32_t& mask = wait.mask;
    ASSERT_TRUE(Api().WaitCommEvent(port_, &mask, &wait.ov)) << "the event was not kept";
    EXPECT_EQ(mask, comm::EV_RXCHAR);
    EXPECT_TRUE(wait.Signalled());
}

// A new mask keeps the kept events it still asks for and forgets the others,
// and ends a pending wait with a mask of 0.
TEST_P(CommContract, NewMaskKeepsOnlyTheKeptEventsItAsksFor) {
    RC_CONTRACT_NEEDS(Need::kEventLatch);
    ASSERT_TRUE(Api().SetCommMask(port_, comm::EV_RXCHAR | comm::EV_TXEMPTY));
    B().Send(port_, "x");
    ASSERT_TRUE(WaitQueued(1));
    EXPECT_EQ(ReadQueued(16), "x");
    ASSERT_TRUE(Api().SetCommMask(port_, comm::EV_RXCHAR));
    {
        Transfer wait(Api());
        std::uint32_t& mask = wait.mask;
        ASSERT_TRUE(Api().WaitCommEvent(port_, &mask, &wait.ov)) << "the new mask lost the event";
        EXPECT_EQ(mask, comm::EV_RXCHAR);
    }
    B().Send(port_, "y");
    ASSERT_TRUE(WaitQueued(1));
    EXPECT_EQ(ReadQueued(16), "y");
    ASSERT_TRUE(Api().SetCommMask(port_, comm::EV_TXEMPTY));
    ASSERT_TRUE(Api().SetCommMask(port_, comm::EV_RXCHAR));
    Transfer wait(Api());
    std::uint32_t& mask = wait.mask;
    mask = 0xFF;
    ASSERT_FALSE(Api().WaitCommEvent(port_, &mask, &wait.ov)) << "a mask without the event kept it";
    ASSERT_EQ(Api().GetLastError(), comm::ERROR_IO_PENDING);
    RC_CONTRACT_NEEDS(Need::kPendingCommWait);
    ASSERT_TRUE(Api().SetCommMask(port_, comm::EV_RXCHAR | comm::EV_RXFLAG));
    ASSERT_TRUE(DoneSoon(wait));
    std::uint32_t n = 0;
    EXPECT_TRUE(Api().GetOverlappedResult(port_, &wait.ov, &n, false));
    EXPECT_EQ(mask, 0u);
}

TEST_P(CommContract, EventCharacterRaisesRxFlag) {
    RC_CONTRACT_NEEDS(Need::kPendingCommWait);
    comm::DCB dcb;
    ASSERT_TRUE(Api().GetCommState(port_, &dcb));
    dcb.EvtChar = '\n';
    ASSERT_TRUE(Api().SetCommState(port_, &dcb));
    ASSERT_TRUE(Api().SetCommMask(port_, comm::EV_RXFLAG));
    B().Send(port_, "ab");
    ASSERT_TRUE(WaitQueued(2));
    Transfer wait(Api());
    std::uint32_t& mask = wait.mask;
    ASSERT_FALSE(Api().WaitCommEvent(port_, &mask, &wait.ov))
        << "bytes without the event character raised EV_RXFLAG";
    ASSERT_EQ(Api().GetLastError(), comm::ERROR_IO_PENDING);
    B().Send(port_, "line\n");
    ASSERT_TRUE(DoneSoon(wait));
    std::uint32_t n = 0;
    EXPECT_TRUE(Api().GetOverlappedResult(port_, &wait.ov, &n, false));
    EXPECT_EQ(mask, comm::EV_RXFLAG);
}

TEST_P(CommContract, WriteRaisesTxEmpty) {
    RC_CONTRACT_NEEDS(Need::kTxEmptyEvent);
    ASSERT_TRUE(Api().SetCommMask(port_, comm::EV_TXEMPTY));
    Transfer write(Api());
    std::uint32_t n = 0;
    if (!Api().WriteFile(port_, "data", 4, &n, &write.ov)) {
        ASSERT_EQ(Api().GetLastError(), comm::ERROR_IO_PENDING);
        ASSERT_TRUE(DoneSoon(write));
    }
    EXPECT_EQ(NextEvents(), comm::EV_TXEMPTY);
    EXPECT_EQ(B().Received(port_, 4), "data");
}

// A purge of nothing, and a wait for no event, are refused.
TEST_P(CommContract, CallsWithNothingToDoAreRefused) {
    RC_CONTRACT_NEEDS(Need::kRefusesNothing);
    EXPECT_FALSE(Api().PurgeComm(port_, 0));
    EXPECT_EQ(Api().GetLastError(), comm::ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(Api().SetCommMask(port_, 0));
    Transfer wait(Api());
    std::uint32_t& mask = wait.mask;
    EXPECT_FALSE(Api().WaitCommEvent(port_, &mask, &wait.ov));
    EXPECT_EQ(Api().GetLastError(), comm::ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(wait.Signalled());
}

// ---- A device that goes away ---------------------------------------------------------

// What was pending ends with the error of a device gone and CE_IOE; bytes
// queued before stay readable; then reads, writes and line settings fail.
TEST_P(CommContract, ADeviceThatGoesAwayEndsWhatIsPendingAndKeepsWhatCame) {
    RC_CONTRACT_NEEDS(Need::kUnplug);
    RC_CONTRACT_NEEDS(Need::kPendingCommWait);
    ASSERT_TRUE(Api().SetCommMask(port_, comm::EV_RXFLAG));
    B().Send(port_, "ab");
    ASSERT_TRUE(WaitQueued(2));
    Transfer wait(Api());
    std::uint32_t& mask = wait.mask;
    mask = 0xFF;
    ASSERT_FALSE(Api().WaitCommEvent(port_, &mask, &wait.ov));
    ASSERT_EQ(Api().GetLastError(), comm::ERROR_IO_PENDING);
    B().Unplug(port_);
    ASSERT_TRUE(DoneSoon(wait));
    std::uint32_t n = 0;
    EXPECT_FALSE(Api().GetOverlappedResult(port_, &wait.ov, &n, false));
    EXPECT_EQ(Api().GetLastError(), comm::rules::kDeviceGone);
    EXPECT_EQ(mask, 0u);
    std::uint32_t errors = 0;
    EXPECT_EQ(InQueue(&errors), 2u);
    EXPECT_EQ(errors, comm::CE_IOE);
    EXPECT_EQ(ReadQueued(16), "ab");

    Transfer read(Api());
    std::string buf(4, '\0');
    EXPECT_FALSE(Api().ReadFile(port_, buf.data(), 4, &n, &read.ov));
    EXPECT_EQ(Api().GetLastError(), comm::rules::kDeviceGone);
    Transfer write(Api());
    EXPECT_FALSE(Api().WriteFile(port_, "w", 1, &n, &write.ov));
    EXPECT_EQ(Api().GetLastError(), comm::rules::kDeviceGone);
    comm::DCB dcb;
    ASSERT_TRUE(Api().GetCommState(port_, &dcb));
    EXPECT_FALSE(Api().SetCommState(port_, &dcb));
    EXPECT_EQ(Api().GetLastError(), comm::rules::kDeviceGone);
}

} // namespace contract

// Instantiates every suite of the contract for one backend.
#define RC_COMM_CONTRACT(Prefix, info)                                                             \
    INSTANTIATE_TEST_SUITE_P(Prefix, CommContract, ::testing::Values(info),                        \
                             ::contract::BackendName);                                             \
    INSTANTIATE_TEST_SUITE_P(                                                                      \
        Prefix, CommContractReads,                                                                 \
        ::testing::Combine(::testing::Values(info), ::testing::ValuesIn(::contract::kReadRows)),   \
        ::contract::ReadRowName)
