// The port's life against a fake driver: exactly what reaches the OS, and what
// happens when the OS refuses.

#include "serial/CPort.h"
#include "serial/CPortErrors.h"
#include "serial/CPortThread.h"
#include "tests/support/ShownExceptions.h"

#include "host/ExceptionDisplay.h"
#include "tests/support/FakeCommApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace cport;

namespace {

constexpr const char* kPort = "COM3";

class Life : public ::testing::Test {
protected:
    Life() : use_(fake_) { fake_.AddPort(kPort); }

    // A port on COM3 whose events are processed on the event thread (no GUI
    // thread is needed to see them).
    void Prepare(TComPort& p) {
        p.SetPort(kPort);
        p.SetSyncMethod(smNone);
    }

    // The last DCB / timeouts handed to the driver.
    comm::DCB LastDcb() const { return fake_.CallsNamed("SetCommState").back().dcb.value(); }
    comm::COMMTIMEOUTS LastTimeouts() const {
        return fake_.CallsNamed("SetCommTimeouts").back().timeouts.value();
    }

    comm::FakeCommApi fake_;
    comm::ScopedCommApi use_;
};

template <typename F> void ExpectComError(F&& f, int code, std::int32_t osCode) {
    try {
        f();
        ADD_FAILURE() << "no EComPort";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), code);
        EXPECT_EQ(e.OsErrorCode(), osCode);
        EXPECT_EQ(e.Message(), ComErrorMessage(code));
    }
}

TEST_F(Life, OpenPassesTheExactArgumentsAndDefaultSettings) {
    TComPort p(nullptr);
    Prepare(p);
    p.SetEvents(TComEvents());
    p.Open();
    ASSERT_TRUE(p.Connected());
    const auto create = fake_.CallsNamed("CreateFileA").at(0);
    EXPECT_EQ(create.text, "\\\\.\\COM3");
    EXPECT_EQ(create.args, (std::vector<std::uint64_t>{0xC0000000u, 0, 3, 0x40000000u}));
    EXPECT_EQ(fake_.CallsNamed("SetupComm").at(0).args, (std::vector<std::uint64_t>{1024, 1024}));

    const comm::DCB d = LastDcb();
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.Flags, 0x0001u);
    EXPECT_EQ(d.XonLim, 256);
    EXPECT_EQ(d.XoffLim, 256);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.Parity, 0);
    EXPECT_EQ(d.StopBits, 0);
    EXPECT_EQ(d.XonChar, 0x11);
    EXPECT_EQ(d.XoffChar, 0x13);
    EXPECT_EQ(d.ErrorChar, 0);
    EXPECT_EQ(d.EvtChar, 0);
    EXPECT_EQ(d.wReserved, 0);
    EXPECT_EQ(d.EofChar, 0);

    const comm::COMMTIMEOUTS t = LastTimeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);

    // Buffer sizes, line settings, timeouts; then the three modem queries of
    // the after-open report; no event thread for an empty Events.
    EXPECT_EQ(fake_.CallNames({"GetLastError", "SetLastError"}),
              (std::vector<std::string>{"CreateFileA", "SetupComm", "SetCommState",
                                        "SetCommTimeouts", "GetCommModemStatus",
                                        "GetCommModemStatus", "GetCommModemStatus"}));
    EXPECT_FALSE(p.EventThreadRunning());
    p.Close();
    EXPECT_FALSE(fake_.IsOpen(kPort));
    EXPECT_EQ(fake_.OpenHandles(), 0u);
}

TEST_F(Life, EachSettingReachesItsDcbField) {
    struct Row {
        const char* name;
        std::function<void(TComPort&)> set;
        std::function<bool(const comm::DCB&)> holds;
    };
    const std::vector<Row> rows = {
        {"Check", [](TComPort& p) { p.Parity().SetCheck(true); },
         [](const comm::DCB& d) { return d.Flags == 0x0003; }},
        {"OutCTSFlow", [](TComPort& p) { p.FlowControl().SetOutCTSFlow(true); },
         [](const comm::DCB& d) { return d.Flags == 0x0005; }},
        {"OutDSRFlow", [](TComPort& p) { p.FlowControl().SetOutDSRFlow(true); },
         [](const comm::DCB& d) { return d.Flags == 0x0009; }},
        {"DTR enable", [](TComPort& p) { p.FlowControl().SetControlDTR(dtrEnable); },
         [](const comm::DCB& d) { return d.Flags == 0x0011; }},
        {"DTR handshake", [](TComPort& p) { p.FlowControl().SetControlDTR(dtrHandshake); },
         [](const comm::DCB& d) { return d.Flags == 0x0021; }},
        {"DSRSensitivity", [](TComPort& p) { p.FlowControl().SetDSRSensitivity(true); },
         [](const comm::DCB& d) { return d.Flags == 0x0041; }},
        {"TxContinueOnXoff", [](TComPort& p) { p.FlowControl().SetTxContinueOnXoff(true); },
         [](const comm::DCB& d) { return d.Flags == 0x0081; }},
        {"XonXoffOut", [](TComPort& p) { p.FlowControl().SetXonXoffOut(true); },
         [](const comm::DCB& d) { return d.Flags == 0x0101; }},
        {"XonXoffIn", [](TComPort& p) { p.FlowControl().SetXonXoffIn(true); },
         [](const comm::DCB& d) { return d.Flags == 0x0201; }},
        {"Replace without Check",
         [](TComPort& p) {
             p.Parity().SetReplace(true);
             p.Parity().SetReplaceChar('?');
         },
         [](const comm::DCB& d) { return d.Flags == 0x0001 && d.ErrorChar == 0; }},
        {"Check and Replace",
         [](TComPort& p) {
             p.Parity().SetCheck(true);
             p.Parity().SetReplace(true);
             p.Parity().SetReplaceChar('?');
         },
         [](const comm::DCB& d) { return d.Flags == 0x0403 && d.ErrorChar == '?'; }},
        {"DiscardNull", [](TComPort& p) { p.SetDiscardNull(true); },
         [](const comm::DCB& d) { return d.Flags == 0x0801; }},
        {"RTS enable", [](TComPort& p) { p.FlowControl().SetControlRTS(rtsEnable); },
         [](const comm::DCB& d) { return d.Flags == 0x1001; }},
        {"RTS handshake", [](TComPort& p) { p.FlowControl().SetControlRTS(rtsHandshake); },
         [](const comm::DCB& d) { return d.Flags == 0x2001; }},
        {"RTS toggle", [](TComPort& p) { p.FlowControl().SetControlRTS(rtsToggle); },
         [](const comm::DCB& d) { return d.Flags == 0x3001; }},
        {"line",
         [](TComPort& p) {
             p.SetBaudRate(115200);
             p.SetDataBits(dbFive);
             p.SetStopBits(sbOne5StopBits);
             p.Parity().SetBits(prSpace);
             p.SetEventChar('\n');
             p.FlowControl().SetXonChar('A');
             p.FlowControl().SetXoffChar('B');
         },
         [](const comm::DCB& d) {
             return d.BaudRate == 115200 && d.ByteSize == 5 && d.StopBits == 1 && d.Parity == 4 &&
                    d.EvtChar == '\n' && d.XonChar == 'A' && d.XoffChar == 'B' && d.Flags == 0x0001;
         }},
        {"limits follow InputSize",
         [](TComPort& p) {
             p.Buffer().SetInputSize(4098);
             p.SetBaudRate(19200); // a new size alone does not re-apply the line
         },
         [](const comm::DCB& d) { return d.XonLim == 1024 && d.XoffLim == 1024; }},
        {"limits keep the low 16 bits",
         [](TComPort& p) {
             p.Buffer().SetInputSize(400000);
             p.SetBaudRate(19200);
         },
         [](const comm::DCB& d) { return d.XonLim == (100000 & 0xFFFF); }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        // Set before opening (stored, applied at open) ...
        {
            TComPort p(nullptr);
            Prepare(p);
            p.SetEvents(TComEvents());
            row.set(p);
            EXPECT_EQ(fake_.CallCount("SetCommState"), 0u);
            p.Open();
            EXPECT_TRUE(row.holds(LastDcb()));
        }
        fake_.ClearCalls();
        // ... and after (applied at once).
        {
            TComPort p(nullptr);
            Prepare(p);
            p.SetEvents(TComEvents());
            p.Open();
            row.set(p);
            EXPECT_TRUE(row.holds(LastDcb()));
        }
        fake_.ClearCalls();
    }
}

TEST_F(Life, TimeoutsAndBufferSizesReachTheDriver) {
    TComPort p(nullptr);
    Prepare(p);
    p.SetEvents(TComEvents());
    p.Open();
    fake_.ClearCalls();
    p.Timeouts().SetReadInterval(5);
    p.Timeouts().SetReadTotalMultiplier(-2);
    p.Timeouts().SetReadTotalConstant(7);
    p.Timeouts().SetWriteTotalMultiplier(0);
    p.Timeouts().SetWriteTotalConstant(-1);
    const comm::COMMTIMEOUTS t = LastTimeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 5u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0xFFFFFFFEu);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 7u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0xFFFFFFFFu);
    // A new input size runs only SetupComm; the limits follow at the next line apply.
    fake_.ClearCalls();
    p.Buffer().SetInputSize(2048);
    EXPECT_EQ(fake_.CallNames({"GetLastError", "SetLastError"}),
              std::vector<std::string>{"SetupComm"});
    EXPECT_EQ(fake_.CallsNamed("SetupComm").at(0).args, (std::vector<std::uint64_t>{2048, 1024}));
    p.SetBaudRate(19200);
    EXPECT_EQ(LastDcb().XonLim, 512);
}

TEST_F(Life, RefusedBufferSizesOrTimeoutsWhileOpeningCloseTheHandle) {
    struct Row {
        const char* call;
        int code;
    };
    for (const Row& row : {Row{"SetupComm", 9}, Row{"SetCommTimeouts", 8}}) {
        SCOPED_TRACE(row.call);
        TComPort p(nullptr);
        Prepare(p);
        std::vector<std::string> seen;
        p.OnAfterOpen = [&](TCustomComPort*) { seen.push_back("AfterOpen"); };
        fake_.FailNext(row.call, 1117);
        ExpectComError([&] { p.Open(); }, row.code, 1117);
        EXPECT_FALSE(p.Connected());
        EXPECT_EQ(p.Handle(), comm::INVALID_HANDLE_VALUE);
        EXPECT_FALSE(p.EventThreadRunning());
        EXPECT_FALSE(fake_.IsOpen(kPort));
        EXPECT_EQ(fake_.OpenHandles(), 0u);
        EXPECT_TRUE(seen.empty());
        // A refused line setting is ignored.
        fake_.FailNext("SetCommState", 87);
        EXPECT_NO_THROW(p.Open());
        EXPECT_TRUE(p.Connected());
    }
}

// The modem query at opening: a driver without modem lines (it answers "not
// supported") opens with all lines off; any other refusal raises 11 with its
// OS code, the port left open with its thread.
TEST_F(Life, RefusedModemQueryAtOpening) {
    struct Row {
        std::uint32_t error;
        bool raises;
    };
    const Row rows[] = {{comm::ERROR_NOT_SUPPORTED, false},
                        {comm::ERROR_GEN_FAILURE, true},
                        {comm::ERROR_INVALID_HANDLE, true},
                        {comm::ERROR_INVALID_PARAMETER, true}};
    fake_.SetModemStatus(kPort, comm::MS_CTS_ON | comm::MS_DSR_ON | comm::MS_RLSD_ON);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.error);
        TComPort p(nullptr);
        Prepare(p);
        std::vector<std::string> reported;
        p.OnCTSChange = [&](TCustomComPort*, bool on) { reported.push_back(on ? "CTS" : "-"); };
        p.OnDSRChange = [&](TCustomComPort*, bool on) { reported.push_back(on ? "DSR" : "-"); };
        p.OnRLSDChange = [&](TCustomComPort*, bool on) { reported.push_back(on ? "RLSD" : "-"); };
        fake_.FailAlways("GetCommModemStatus", row.error);
        if (row.raises) {
            ExpectComError([&] { p.Open(); }, 11, static_cast<std::int32_t>(row.error));
            EXPECT_TRUE(reported.empty());
        } else {
            EXPECT_NO_THROW(p.Open());
            EXPECT_EQ(reported, (std::vector<std::string>{"-", "-", "-"}));
            EXPECT_EQ(p.ModemSignals(), TLineSignals());
        }
        EXPECT_TRUE(p.Connected());
        EXPECT_TRUE(p.EventThreadRunning());
        EXPECT_TRUE(fake_.WaitForCommWait(kPort));
        fake_.ClearFailures();
        EXPECT_EQ(p.ModemSignals(), (TLineSignals{lsCTS, lsDSR, lsRLSD}));
        p.Close();
        EXPECT_EQ(fake_.OpenHandles(), 0u);
    }
}

TEST_F(Life, StatusQueriesMapTheDriverBitsAndRaiseTheirCodes) {
    TComPort p(nullptr);
    Prepare(p);
    p.SetEvents(TComEvents());
    p.Open();
    fake_.SetModemStatus(kPort, comm::MS_CTS_ON | comm::MS_RLSD_ON);
    EXPECT_EQ(p.ModemSignals(), (TLineSignals{lsCTS, lsRLSD}));
    fake_.SetModemStatus(kPort, comm::MS_DSR_ON | comm::MS_RING_ON | 0x0F);
    EXPECT_EQ(p.ModemSignals(), (TLineSignals{lsDSR, lsRing}));

    fake_.AddLineErrors(kPort, 0xFFFF);
    EXPECT_EQ(p.ReadLineErrors(), TComErrors::All() - TComErrors{ceRxParity});
    EXPECT_TRUE(p.ReadLineErrors().Empty()); // the query cleared them
    p.Parity().SetCheck(true);
    fake_.AddLineErrors(kPort, comm::CE_RXPARITY | comm::CE_FRAME);
    EXPECT_EQ(p.ReadLineErrors(), (TComErrors{ceRxParity, ceFrame}));
    // InQueueCount uses the same call and clears the flags too.
    fake_.AddLineErrors(kPort, comm::CE_BREAK);
    EXPECT_EQ(p.InQueueCount(), 0);
    EXPECT_TRUE(p.ReadLineErrors().Empty());

    fake_.FailNext("GetCommModemStatus", 6);
    ExpectComError([&] { p.ModemSignals(); }, 11, 6);
    fake_.FailNext("ClearCommError", 21);
    ExpectComError([&] { p.ReadLineErrors(); }, 10, 21);
    fake_.FailNext("ClearCommError", 22);
    ExpectComError([&] { p.InQueueCount(); }, 10, 22);
}

TEST_F(Life, TransfersWithoutARecordRaiseCode4) {
    TComPort p(nullptr);
    char buffer[4] = {};
    std::string s;
    ExpectComError([&] { p.BeginWrite("ab", 2, nullptr); }, 4, -1);
    ExpectComError([&] { p.BeginRead(buffer, 4, nullptr); }, 4, -1);
    ExpectComError([&] { p.WaitForTransfer(nullptr); }, 4, -1);
    ExpectComError([&] { p.BeginReadString(s, 4, nullptr); }, 4, -1);
    EXPECT_EQ(fake_.CallCount("WriteFile") + fake_.CallCount("ReadFile"), 0u);
}

TEST_F(Life, ReadsGiveExactlyTheBytesReceived) {
    TComPort p(nullptr);
    Prepare(p);
    p.SetEvents(TComEvents());
    p.Open();
    const std::string bytes("\x00\xF7\x00\x8C", 4);
    fake_.FeedInput(kPort, bytes);
    EXPECT_EQ(p.InQueueCount(), 4);
    std::string s = "old";
    p.ReadString(4, s);
    EXPECT_EQ(s, bytes); // zero bytes included
    // Fewer than asked: only what came, no padding.
    fake_.FeedInput(kPort, "xy");
    p.ReadString(10, s);
    EXPECT_EQ(s, "xy");
    p.ReadString(5, s);
    EXPECT_EQ(s, "");
    // A count of 0 or less reads nothing.
    const auto reads = fake_.CallCount("ReadFile");
    for (int count : {0, -5}) {
        s = "old";
        p.ReadString(count, s);
        EXPECT_EQ(s, "");
    }
    EXPECT_EQ(fake_.CallCount("ReadFile"), reads);
    // ReadBlock does not pad either.
    fake_.FeedInput(kPort, "abc");
    char buffer[8] = {};
    EXPECT_EQ(p.ReadBlock(buffer, 8), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    // Every record's event was closed again.
    p.Close();
    EXPECT_EQ(fake_.OpenHandles(), 0u);
}

TEST_F(Life, ANegativeCountMovesNothing) {
    TComPort p(nullptr);
    Prepare(p);
    p.SetEvents(TComEvents());
    p.Open();
    fake_.FeedInput(kPort, "abc");
    char buffer[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(p.ReadBlock(buffer, -1), 0);
    EXPECT_EQ(std::string(buffer, 4), "xxxx");
    fake_.SetAutoAdvance(1); // the tick counter ends the tx-empty wait
    EXPECT_EQ(p.Write("abc", -2), 0);
    EXPECT_EQ(fake_.CallsNamed("ReadFile").back().args, std::vector<std::uint64_t>{0});
    EXPECT_EQ(fake_.CallsNamed("WriteFile").back().args, std::vector<std::uint64_t>{0});
    EXPECT_EQ(p.InQueueCount(), 3);
}

TEST_F(Life, DestructionAfterAFailingCloseHandlerStillReleasesEverything) {
    rc_test::ShownExceptions display;
    {
        TComPort p(nullptr);
        Prepare(p);
        p.OnBeforeClose = [](TCustomComPort*) {
            throw EComPort::CreateWithoutOsCode(CError_RegError);
        };
        p.Open();
        ASSERT_TRUE(fake_.WaitForCommWait(kPort));
    }
    EXPECT_EQ(display.Shown(), std::vector<std::string>{"Registry error"});
    EXPECT_EQ(fake_.OpenHandles(), 0u); // thread ended, its events and the port closed
}

TEST_F(Life, RefusedReadRaisesCode3AndLeavesTheStringAlone) {
    TComPort p(nullptr);
    Prepare(p);
    p.SetEvents(TComEvents());
    p.Open();
    const auto handles = fake_.OpenHandles();
    fake_.FailNext("ReadFile", 5);
    std::string s = "kept";
    ExpectComError([&] { p.ReadString(3, s); }, 3, 5);
    EXPECT_EQ(s, "kept");
    // The queue query after a read fails: code 10.
    fake_.FeedInput(kPort, "abc");
    fake_.Fail("ClearCommError", 23, 1);
    ExpectComError([&] { p.ReadString(3, s); }, 10, 23);
    EXPECT_EQ(s, "kept");
    char buffer[3];
    fake_.FailNext("ReadFile", 5);
    ExpectComError([&] { p.ReadBlock(buffer, 3); }, 3, 5);
    EXPECT_EQ(fake_.OpenHandles(), handles); // no record leaked
}

TEST_F(Life, RefusedWriteReturnsAtOnce) {
    // On a port that failed to open ...
    TComPort closed(nullptr);
    closed.SetPort("COM9");
    closed.Open();
    ASSERT_FALSE(closed.Connected());
    fake_.SetAutoAdvance(1);
    EXPECT_EQ(closed.Write("abc", 3), 0);
    // ... and on an open port whose driver refuses the write.
    TComPort p(nullptr);
    Prepare(p);
    p.SetEvents(TComEvents());
    p.Open();
    fake_.FailNext("WriteFile", 31);
    EXPECT_EQ(p.Write("abc", 3), 0);
    EXPECT_EQ(fake_.Written(kPort), "");
    // Raised nothing, but it is a suspicion that the device has gone.
    EXPECT_EQ(p.Suspicion(), 31u);
    // A write the driver takes: its count, after the one-tick wait, which
    // is bounded by the write's deadline (100 ms a byte and 1000) and the
    // grace after it.
    fake_.ClearCalls();
    EXPECT_EQ(p.Write("abc", 3), 3);
    EXPECT_EQ(fake_.Written(kPort), "abc");
    EXPECT_GE(fake_.CallCount("GetTickCount"), 2u);
    EXPECT_EQ(fake_.CallsNamed("WaitForSingleObject").at(0).args,
              std::vector<std::uint64_t>{3 * 100 + 1000 + cport::TransferGraceMs});
    EXPECT_FALSE(TxEmptyFlag); // no event thread: nobody saw the tx-empty event
}

TEST_F(Life, CloseAbortsStopsTheThreadThenReleasesTheHandle) {
    TComPort p(nullptr);
    Prepare(p);
    p.Open();
    ASSERT_TRUE(fake_.WaitForCommWait(kPort));
    EXPECT_EQ(fake_.CommMask(kPort), 0x05FFu); // all ten events
    const comm::Handle h = p.Handle();
    fake_.ClearCalls();
    p.Close();
    const auto names = fake_.CallNames(
        {"GetLastError", "SetLastError", "Sleep", "WaitForMultipleObjects", "GetOverlappedResult"});
    // Transfers aborted, the thread stopped; the body clears the mask, purges,
    // waits a bounded time for its pending wait to end and closes its two
    // events; then the port handle is closed.
    EXPECT_EQ(names, (std::vector<std::string>{"PurgeComm", "SetEvent", "SetCommMask", "PurgeComm",
                                               "WaitForSingleObject", "CloseHandle", "CloseHandle",
                                               "CloseHandle"}));
    EXPECT_EQ(fake_.CallsNamed("WaitForSingleObject").at(0).args,
              std::vector<std::uint64_t>{cport::CancelGraceMs});
    EXPECT_EQ(p.GivenUp(), 0u);
    const auto purges = fake_.CallsNamed("PurgeComm");
    EXPECT_EQ(purges.at(0).args, std::vector<std::uint64_t>{3});
    EXPECT_EQ(purges.at(1).args, std::vector<std::uint64_t>{0x0C});
    EXPECT_EQ(fake_.CallsNamed("SetCommMask").at(0).args, std::vector<std::uint64_t>{0});
    EXPECT_EQ(fake_.CallsNamed("CloseHandle").back().handle, h);
    EXPECT_EQ(fake_.OpenHandles(), 0u);
    EXPECT_FALSE(p.EventThreadRunning());
    EXPECT_EQ(p.EventThread(), nullptr);
}

TEST_F(Life, EventsTakeEffectAtTheNextOpen) {
    TComPort p(nullptr);
    Prepare(p);
    p.SetEvents(TComEvents{evRxChar, evRing});
    p.Open();
    EXPECT_EQ(fake_.CommMask(kPort), comm::EV_RXCHAR | comm::EV_RING);
    p.SetEvents(TComEvents{evTxEmpty});
    EXPECT_EQ(fake_.CommMask(kPort), comm::EV_RXCHAR | comm::EV_RING);
    p.Close();
    p.Open();
    EXPECT_EQ(fake_.CommMask(kPort), comm::EV_TXEMPTY);
}

TEST_F(Life, PortExistsProbesWithoutChangingPort) {
    TComPort p(nullptr);
    std::vector<std::string> seen;
    p.OnBeforeClose = [&](TCustomComPort*) { seen.push_back("BeforeClose"); };
    p.OnAfterClose = [&](TCustomComPort*) { seen.push_back("AfterClose"); };
    p.OnCTSChange = [&](TCustomComPort*, bool on) { seen.push_back(on ? "CTS on" : "CTS off"); };
    EXPECT_FALSE(p.PortExists("COM9"));
    EXPECT_TRUE(seen.empty());
    fake_.AddPort("COM7");
    fake_.SetPortBusy("COM7");
    EXPECT_FALSE(p.PortExists("COM7"));
    EXPECT_TRUE(p.PortExists(kPort));
    EXPECT_EQ(seen, (std::vector<std::string>{"CTS off", "BeforeClose", "AfterClose"}));
    EXPECT_EQ(p.Port(), "COM1");
    EXPECT_FALSE(p.Connected());
    EXPECT_EQ(p.Handle(), comm::INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake_.CallsNamed("CreateFileA").back().text, "\\\\.\\COM3");
    EXPECT_EQ(fake_.OpenHandles(), 0u);
}

TEST_F(Life, AVanishedDeviceDoesNotMakeTheEventThreadSpin) {
    TComPort p(nullptr);
    Prepare(p);
    p.Open();
    ASSERT_TRUE(fake_.WaitForCommWait(kPort));
    fake_.RemovePort(kPort);
    // The thread parks on its stop event: one wait with a single handle.
    ASSERT_TRUE(fake_.WaitForCalls("WaitForSingleObject", 1));
    const auto waits = fake_.CallCount("WaitCommEvent");
    EXPECT_LE(waits, 5u);
    // Still parked: nothing more has been asked of the driver.
    EXPECT_EQ(fake_.CallCount("WaitCommEvent"), waits);
    p.Close();
    EXPECT_FALSE(p.Connected());
}

// Waits whose completions fail again and again (Wine on a pseudo-terminal
// fails each one): after three in a row the thread pauses 10 ms between
// waits instead of spinning, delivers again once a wait succeeds, and the
// stop ends a pause at once.
TEST_F(Life, AWaitThatFailsAgainAndAgainIsRetriedAtAPace) {
    TComPort p(nullptr);
    Prepare(p);
    std::atomic<int> rx{0};
    p.OnRxChar = [&](TCustomComPort*, std::int32_t n) { rx += n; };
    fake_.FailAlways("GetOverlappedResult", 31);
    p.Open();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(fake_.WaitForCommWait(kPort));
        fake_.RaiseEvents(kPort, comm::EV_RING);
        ASSERT_TRUE(fake_.WaitForCalls("GetOverlappedResult", static_cast<std::size_t>(i + 1)));
    }
    // The pause: on the stop event, with a time-out, before the fourth wait.
    ASSERT_TRUE(fake_.WaitForCalls("WaitForSingleObject", 1));
    const comm::FakeCall pause = fake_.CallsNamed("WaitForSingleObject").back();
    ASSERT_EQ(pause.args.size(), 1u);
    EXPECT_EQ(pause.args[0], 10u);
    EXPECT_EQ(fake_.CallCount("WaitCommEvent"), 3u);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(fake_.CallCount("WaitCommEvent"), 3u); // the pause runs on the port's clock
    fake_.AdvanceClock(10);
    ASSERT_TRUE(fake_.WaitForCalls("WaitCommEvent", 4));
    // The driver recovers: the next completion delivers.
    fake_.ClearFailures();
    ASSERT_TRUE(fake_.WaitForCommWait(kPort));
    const std::size_t waits = fake_.CallCount("WaitCommEvent");
    fake_.FeedInput(kPort, "abc");
    ASSERT_TRUE(fake_.WaitForCalls("WaitCommEvent", waits + 1)); // after the delivery
    EXPECT_EQ(rx, 3);
    // Failing again, the close ends a pause without waiting it out.
    fake_.FailAlways("GetOverlappedResult", 31);
    const std::size_t pauses = fake_.CallCount("WaitForSingleObject");
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(fake_.WaitForCommWait(kPort));
        fake_.RaiseEvents(kPort, comm::EV_RING);
    }
    ASSERT_TRUE(fake_.WaitForCalls("WaitForSingleObject", pauses + 1));
    p.Close();
    EXPECT_FALSE(p.Connected());
    fake_.ClearFailures();
    EXPECT_EQ(fake_.OpenHandles(), 0u);
}

// A driver that cannot watch the modem lines takes the mask but refuses at
// once, with "not supported", every wait that holds one of them. The thread
// then drops those four events from the mask, once, and waits for the rest.
// Anything else it cannot wait on leaves it parked on its stop event.
TEST_F(Life, AWaitRefusedAsNotSupportedGoesOnWithoutTheModemLines) {
    constexpr std::uint32_t kModemLines =
        comm::EV_CTS | comm::EV_DSR | comm::EV_RING | comm::EV_RLSD;
    struct Row {
        const char* what;
        TComEvents events;
        std::uint32_t error;
        int refusals;
        std::uint32_t narrowedTo; // 0: the mask is left as it was
    };
    const Row rows[] = {
        {"all events, refused once", TComEvents::All(), comm::ERROR_NOT_SUPPORTED, 1,
         0x05FFu & ~kModemLines},
        {"the rest refused too", TComEvents::All(), comm::ERROR_NOT_SUPPORTED,
         comm::FakeCommApi::kAlways, 0x05FFu & ~kModemLines},
        {"a modem line and received bytes", TComEvents{evRxChar, evRing}, comm::ERROR_NOT_SUPPORTED,
         1, comm::EV_RXCHAR},
        {"modem lines alone", TComEvents{evCTS, evDSR, evRing, evRLSD}, comm::ERROR_NOT_SUPPORTED,
         1, 0},
        {"no modem line asked for", TComEvents{evRxChar, evBreak}, comm::ERROR_NOT_SUPPORTED, 1, 0},
        {"another refusal", TComEvents::All(), comm::ERROR_GEN_FAILURE, 1, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        TComPort p(nullptr);
        Prepare(p);
        p.SetEvents(row.events);
        std::atomic<int> rx{0};
        p.OnRxChar = [&](TCustomComPort*, std::int32_t n) { rx += n; };
        fake_.ClearCalls();
        fake_.Fail("WaitCommEvent", row.error, row.refusals);
        p.Open();
        const bool goesOn = row.narrowedTo != 0 && row.refusals == 1;
        if (goesOn) {
            ASSERT_TRUE(fake_.WaitForCommWait(kPort));
            EXPECT_EQ(fake_.CommMask(kPort), row.narrowedTo);
            const std::size_t waits = fake_.CallCount("WaitCommEvent");
            EXPECT_EQ(waits, 2u);
            fake_.FeedInput(kPort, "abc");
            ASSERT_TRUE(fake_.WaitForCalls("WaitCommEvent", waits + 1)); // after the delivery
            EXPECT_EQ(rx, 3);
        } else {
            // Parked: one wait on the stop event alone, for as long as it takes.
            ASSERT_TRUE(fake_.WaitForCalls("WaitForSingleObject", 1));
            EXPECT_EQ(fake_.CallsNamed("WaitForSingleObject").back().args,
                      std::vector<std::uint64_t>{comm::INFINITE});
            EXPECT_FALSE(fake_.CommWaitPending(kPort));
            EXPECT_EQ(fake_.CallCount("WaitCommEvent"), row.narrowedTo != 0 ? 2u : 1u);
        }
        std::vector<std::uint64_t> masks;
        for (const comm::FakeCall& call : fake_.CallsNamed("SetCommMask"))
            masks.push_back(call.args.at(0));
        std::vector<std::uint64_t> expected = {ComEventsToMask(row.events)};
        if (row.narrowedTo != 0)
            expected.push_back(row.narrowedTo);
        EXPECT_EQ(masks, expected);
        p.Close();
        EXPECT_FALSE(p.Connected());
        fake_.ClearFailures();
        EXPECT_EQ(fake_.OpenHandles(), 0u);
    }
}

TEST_F(Life, EventsOnTheEventThreadInTheFixedOrder) {
    std::mutex m;
    std::vector<std::string> seen;
    auto note = [&](std::string s) {
        std::lock_guard lock(m);
        seen.push_back(std::move(s));
    };
    bool rxBuf = false;
    TComPort p(nullptr);
    Prepare(p);
    p.OnError = [&](TCustomComPort*, TComErrors e) { note("Error " + std::to_string(e.ToBits())); };
    p.OnRxChar = [&](TCustomComPort*, std::int32_t n) { note("RxChar " + std::to_string(n)); };
    p.OnTxEmpty = [&](TCustomComPort*) { note("TxEmpty"); };
    p.OnBreak = [&](TCustomComPort*) { note("Break"); };
    p.OnRing = [&](TCustomComPort*) { note("Ring"); };
    p.OnCTSChange = [&](TCustomComPort*, bool on) { note(std::string("CTS ") + (on ? "1" : "0")); };
    p.OnDSRChange = [&](TCustomComPort*, bool on) { note(std::string("DSR ") + (on ? "1" : "0")); };
    p.OnRxFlag = [&](TCustomComPort*) { note("RxFlag"); };
    p.OnRLSDChange = [&](TCustomComPort*, bool on) {
        note(std::string("RLSD ") + (on ? "1" : "0"));
    };
    p.OnRx80Full = [&](TCustomComPort*) { note("Rx80Full"); };
    p.OnRxBuf = [&](TCustomComPort*, const void*, std::int32_t) { rxBuf = true; };
    p.Open();
    ASSERT_TRUE(fake_.WaitForCommWait(kPort));
    {
        std::lock_guard lock(m);
        seen.clear();
    }
    fake_.SetModemStatus(kPort, comm::MS_DSR_ON);
    fake_.AddLineErrors(kPort, comm::CE_FRAME);
    fake_.FeedInput(kPort, "abc", false);
    const auto delivered = fake_.CallCount("WaitCommEvent") + 1;
    fake_.RaiseEvents(kPort, 0x05FF);
    ASSERT_TRUE(fake_.WaitForCalls("WaitCommEvent", delivered));
    p.Close();
    std::lock_guard lock(m);
    seen.resize(std::min<std::size_t>(seen.size(), 10)); // without the close reports
    EXPECT_EQ(seen, (std::vector<std::string>{"Error 1", "RxChar 3", "TxEmpty", "Break", "Ring",
                                              "CTS 0", "DSR 1", "RxFlag", "RLSD 0", "Rx80Full"}));
    EXPECT_FALSE(rxBuf);
    EXPECT_TRUE(TxEmptyFlag);
}

// Without a GUI thread (smNone, no runtime binding): a handler destroys its
// port; the rest of the batch is dropped, and the stopped thread, which has
// closed its events, is joined by the next Open of any port.
TEST_F(Life, AThreadStoppedByItsHandlerIsJoinedAtTheNextOpenWithoutAGuiThread) {
    ASSERT_EQ(StoppedThreadsNotJoined(), 0u);
    std::mutex m;
    std::vector<std::string> seen;
    auto note = [&](std::string s) {
        std::lock_guard lock(m);
        seen.push_back(std::move(s));
    };
    auto owner = std::make_unique<TComPort>(nullptr);
    Prepare(*owner);
    owner->OnBreak = [&](TCustomComPort*) {
        owner.reset();
        note("destroyed");
    };
    owner->OnRing = [&](TCustomComPort*) { note("Ring"); };
    owner->Open();
    ASSERT_TRUE(fake_.WaitForCommWait(kPort));
    const std::size_t closes = fake_.CallCount("CloseHandle");
    fake_.RaiseEvents(kPort, comm::EV_BREAK | comm::EV_RING);
    ASSERT_TRUE(fake_.WaitForCalls("CloseHandle", closes + 3)); // the port, then two events
    EXPECT_EQ(fake_.OpenHandles(), 0u);
    EXPECT_EQ(StoppedThreadsNotJoined(), 1u);
    TComPort next(nullptr);
    Prepare(next);
    next.Open();
    EXPECT_EQ(StoppedThreadsNotJoined(), 0u);
    next.Close();
    std::lock_guard lock(m);
    EXPECT_EQ(seen, std::vector<std::string>{"destroyed"});
}

TEST_F(Life, MaskAndEventsTranslateBothWays) {
    const std::vector<std::pair<TComEvent, std::uint32_t>> rows = {
        {evRxChar, 0x0001}, {evTxEmpty, 0x0004}, {evRxFlag, 0x0002}, {evRing, 0x0100},
        {evBreak, 0x0040},  {evCTS, 0x0008},     {evDSR, 0x0010},    {evError, 0x0080},
        {evRLSD, 0x0020},   {evRx80Full, 0x0400}};
    for (const auto& [event, bit] : rows) {
        EXPECT_EQ(ComEventsToMask(TComEvents{event}), bit);
        EXPECT_EQ(MaskToComEvents(bit), TComEvents{event});
    }
    EXPECT_EQ(MaskToComEvents(0x0200 | 0x0800 | 0xF000), TComEvents());
    EXPECT_EQ(ComEventsToMask(TComEvents::All()), 0x05FFu);
}

} // namespace
