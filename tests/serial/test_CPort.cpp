#include "serial/CPort.h"
#include "serial/CPortErrors.h"
#include "tests/support/ShownExceptions.h"

#include "host/ExceptionDisplay.h"
#include "host/Exceptions.h"
#include "tests/support/FakeCommApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace cport;

namespace {

// The OS side of every port in this file: a fake driver with the ports the
// tests open (COM9 does not exist).
class FakeDriver : public ::testing::Environment {
public:
    void SetUp() override {
        fake_.AddPort("COM1");
        use_ = std::make_unique<comm::ScopedCommApi>(fake_);
    }
    void TearDown() override { use_.reset(); }

private:
    comm::FakeCommApi fake_;
    std::unique_ptr<comm::ScopedCommApi> use_;
};
const auto* const gFakeDriver = ::testing::AddGlobalTestEnvironment(new FakeDriver);

// A port whose OS side is replaced by a log: which operation ran, and for the
// apply operations whether the guard let it through to the driver ("+") or
// not ("-").
class LoggingPort : public TComPort {
public:
    using TComPort::TComPort;
    // Overrides are not reached from the base destructor: close while they are.
    ~LoggingPort() override {
        if (closeOnDestroy)
            Close();
    }

    std::vector<std::string> log;
    bool closeOnDestroy = true;
    bool handleOpens = true;
    int failApply = 0; // 8: timeouts fail, 9: buffer sizes fail

    void Clear() { log.clear(); }

    // Hooks every notification handler into the log too.
    void LogHandlers() {
        OnBeforeOpen = [this](TCustomComPort* s) { Note(s, "BeforeOpen"); };
        OnAfterOpen = [this](TCustomComPort* s) { Note(s, "AfterOpen"); };
        OnBeforeClose = [this](TCustomComPort* s) { Note(s, "BeforeClose"); };
        OnAfterClose = [this](TCustomComPort* s) { Note(s, "AfterClose"); };
    }

protected:
    void OpenHandle() override {
        log.push_back("OpenHandle");
        if (handleOpens)
            TComPort::OpenHandle();
    }
    void ReleaseHandle() override {
        log.push_back("ReleaseHandle");
        TComPort::ReleaseHandle();
    }
    void ApplyLineSettings() override {
        log.push_back(std::string("Line") + (CanApply() ? "+" : "-"));
        TComPort::ApplyLineSettings();
    }
    void ApplyTimeoutSettings() override {
        log.push_back(std::string("Timeouts") + (CanApply() ? "+" : "-"));
        if (CanApply() && failApply == 8)
            throw EComPort::Create(8, 1117);
        TComPort::ApplyTimeoutSettings();
    }
    void ApplyBufferSizes() override {
        log.push_back(std::string("Buffer") + (CanApply() ? "+" : "-"));
        if (CanApply() && failApply == 9)
            throw EComPort::Create(9, 87);
        TComPort::ApplyBufferSizes();
    }

private:
    void Note(TCustomComPort* sender, const char* what) {
        EXPECT_EQ(sender, this);
        log.push_back(std::string(what) + (Connected() ? "(open)" : "(closed)"));
    }
};

using Log = std::vector<std::string>;

// One settings property: how to give it the value it has, and another one.
struct SetterRow {
    const char* name;
    std::function<void(TCustomComPort&)> setSame;
    std::function<void(TCustomComPort&)> setNew;
    const char* group; // "Line", "Timeouts", "Buffer"
};

std::vector<SetterRow> SetterRows() {
    using P = TCustomComPort;
    return {
        {"BaudRate", [](P& p) { p.SetBaudRate(9600); }, [](P& p) { p.SetBaudRate(115200); },
         "Line"},
        {"DataBits", [](P& p) { p.SetDataBits(dbEight); }, [](P& p) { p.SetDataBits(dbSeven); },
         "Line"},
        {"StopBits", [](P& p) { p.SetStopBits(sbOneStopBit); },
         [](P& p) { p.SetStopBits(sbTwoStopBits); }, "Line"},
        {"DiscardNull", [](P& p) { p.SetDiscardNull(false); }, [](P& p) { p.SetDiscardNull(true); },
         "Line"},
        {"EventChar", [](P& p) { p.SetEventChar(0); }, [](P& p) { p.SetEventChar('\n'); }, "Line"},
        {"Parity.Bits", [](P& p) { p.Parity().SetBits(prNone); },
         [](P& p) { p.Parity().SetBits(prEven); }, "Line"},
        {"Parity.Check", [](P& p) { p.Parity().SetCheck(false); },
         [](P& p) { p.Parity().SetCheck(true); }, "Line"},
        {"Parity.Replace", [](P& p) { p.Parity().SetReplace(false); },
         [](P& p) { p.Parity().SetReplace(true); }, "Line"},
        {"Parity.ReplaceChar", [](P& p) { p.Parity().SetReplaceChar(0); },
         [](P& p) { p.Parity().SetReplaceChar('?'); }, "Line"},
        {"FlowControl.OutCTSFlow", [](P& p) { p.FlowControl().SetOutCTSFlow(false); },
         [](P& p) { p.FlowControl().SetOutCTSFlow(true); }, "Line"},
        {"FlowControl.OutDSRFlow", [](P& p) { p.FlowControl().SetOutDSRFlow(false); },
         [](P& p) { p.FlowControl().SetOutDSRFlow(true); }, "Line"},
        {"FlowControl.ControlDTR", [](P& p) { p.FlowControl().SetControlDTR(dtrDisable); },
         [](P& p) { p.FlowControl().SetControlDTR(dtrHandshake); }, "Line"},
        {"FlowControl.ControlRTS", [](P& p) { p.FlowControl().SetControlRTS(rtsDisable); },
         [](P& p) { p.FlowControl().SetControlRTS(rtsToggle); }, "Line"},
        {"FlowControl.XonXoffOut", [](P& p) { p.FlowControl().SetXonXoffOut(false); },
         [](P& p) { p.FlowControl().SetXonXoffOut(true); }, "Line"},
        {"FlowControl.XonXoffIn", [](P& p) { p.FlowControl().SetXonXoffIn(false); },
         [](P& p) { p.FlowControl().SetXonXoffIn(true); }, "Line"},
        {"FlowControl.DSRSensitivity", [](P& p) { p.FlowControl().SetDSRSensitivity(false); },
         [](P& p) { p.FlowControl().SetDSRSensitivity(true); }, "Line"},
        {"FlowControl.TxContinueOnXoff", [](P& p) { p.FlowControl().SetTxContinueOnXoff(false); },
         [](P& p) { p.FlowControl().SetTxContinueOnXoff(true); }, "Line"},
        {"FlowControl.XonChar", [](P& p) { p.FlowControl().SetXonChar(17); },
         [](P& p) { p.FlowControl().SetXonChar(1); }, "Line"},
        {"FlowControl.XoffChar", [](P& p) { p.FlowControl().SetXoffChar(19); },
         [](P& p) { p.FlowControl().SetXoffChar(3); }, "Line"},
        {"Timeouts.ReadInterval", [](P& p) { p.Timeouts().SetReadInterval(-1); },
         [](P& p) { p.Timeouts().SetReadInterval(50); }, "Timeouts"},
        {"Timeouts.ReadTotalMultiplier", [](P& p) { p.Timeouts().SetReadTotalMultiplier(0); },
         [](P& p) { p.Timeouts().SetReadTotalMultiplier(5); }, "Timeouts"},
        {"Timeouts.ReadTotalConstant", [](P& p) { p.Timeouts().SetReadTotalConstant(0); },
         [](P& p) { p.Timeouts().SetReadTotalConstant(5); }, "Timeouts"},
        {"Timeouts.WriteTotalMultiplier", [](P& p) { p.Timeouts().SetWriteTotalMultiplier(100); },
         [](P& p) { p.Timeouts().SetWriteTotalMultiplier(5); }, "Timeouts"},
        {"Timeouts.WriteTotalConstant", [](P& p) { p.Timeouts().SetWriteTotalConstant(1000); },
         [](P& p) { p.Timeouts().SetWriteTotalConstant(5); }, "Timeouts"},
        {"Buffer.InputSize", [](P& p) { p.Buffer().SetInputSize(1024); },
         [](P& p) { p.Buffer().SetInputSize(4096); }, "Buffer"},
        {"Buffer.OutputSize", [](P& p) { p.Buffer().SetOutputSize(1024); },
         [](P& p) { p.Buffer().SetOutputSize(4096); }, "Buffer"},
    };
}

} // namespace

TEST(CPort, ConstructionValues) {
    TComPort p(nullptr);
    EXPECT_FALSE(p.Connected());
    EXPECT_EQ(p.BaudRate(), 9600);
    EXPECT_EQ(p.Port(), "COM1");
    EXPECT_EQ(p.StopBits(), sbOneStopBit);
    EXPECT_EQ(p.DataBits(), dbEight);
    EXPECT_FALSE(p.DiscardNull());
    EXPECT_EQ(p.EventChar(), 0);
    EXPECT_EQ(p.Events().ToBits(), 0x03FF);
    EXPECT_EQ(p.SyncMethod(), smThreadSync);
    EXPECT_EQ(p.StoreGroups(), TStoreGroups{sgLine});
    EXPECT_EQ(p.Handle(), comm::INVALID_HANDLE_VALUE);
    EXPECT_FALSE(p.EventThreadRunning());
    EXPECT_EQ(p.EventThread(), nullptr);
    EXPECT_EQ(p.SyncWindow(), nullptr);
    EXPECT_FALSE(p.OnRxChar);
    EXPECT_FALSE(p.OnAfterOpen);

    const TComTimeouts& t = p.Timeouts();
    EXPECT_EQ(t.ReadInterval(), -1);
    EXPECT_EQ(t.ReadTotalMultiplier(), 0);
    EXPECT_EQ(t.ReadTotalConstant(), 0);
    EXPECT_EQ(t.WriteTotalMultiplier(), 100);
    EXPECT_EQ(t.WriteTotalConstant(), 1000);
    const TComFlowControl& f = p.FlowControl();
    EXPECT_FALSE(f.OutCTSFlow() || f.OutDSRFlow() || f.XonXoffOut() || f.XonXoffIn() ||
                 f.DSRSensitivity() || f.TxContinueOnXoff());
    EXPECT_EQ(f.ControlDTR(), dtrDisable);
    EXPECT_EQ(f.ControlRTS(), rtsDisable);
    EXPECT_EQ(f.XonChar(), 17);
    EXPECT_EQ(f.XoffChar(), 19);
    EXPECT_EQ(f.FlowControl(), fcNone);
    EXPECT_EQ(p.Parity().Bits(), prNone);
    EXPECT_FALSE(p.Parity().Check() || p.Parity().Replace());
    EXPECT_EQ(p.Parity().ReplaceChar(), 0);
    EXPECT_EQ(p.Buffer().InputSize(), 1024);
    EXPECT_EQ(p.Buffer().OutputSize(), 1024);

    // Each settings object knows its port; a free-standing one has none.
    EXPECT_EQ(p.Parity().ComPort(), &p);
    EXPECT_EQ(p.FlowControl().ComPort(), &p);
    EXPECT_EQ(p.Timeouts().ComPort(), &p);
    EXPECT_EQ(p.Buffer().ComPort(), &p);
    EXPECT_EQ(TComParity().ComPort(), nullptr);
}

TEST(CPort, SetterRulesOnClosedAndOpenPort) {
    for (bool open : {false, true}) {
        for (const SetterRow& row : SetterRows()) {
            SCOPED_TRACE(std::string(row.name) + (open ? " open" : " closed"));
            LoggingPort p(nullptr);
            if (open) {
                p.Open();
                ASSERT_TRUE(p.Connected());
            }
            p.Clear();
            row.setSame(p);
            EXPECT_EQ(p.log, Log{}) << "an equal value must not re-apply";
            row.setNew(p);
            EXPECT_EQ(p.log, Log{std::string(row.group) + (open ? "+" : "-")});
            p.Clear();
            row.setNew(p); // the same new value again
            EXPECT_EQ(p.log, Log{});
            EXPECT_EQ(p.Connected(), open);
        }
    }
}

TEST(CPort, ObjectValuedSettersCopyThenApplyWithoutEqualityTest) {
    struct Row {
        const char* name;
        std::function<void(LoggingPort&)> set;
        const char* group;
    } rows[] = {
        {"Parity", [](LoggingPort& p) { p.SetParity(TComParity()); }, "Line"},
        {"FlowControl", [](LoggingPort& p) { p.SetFlowControl(TComFlowControl()); }, "Line"},
        {"Timeouts", [](LoggingPort& p) { p.SetTimeouts(TComTimeouts()); }, "Timeouts"},
        {"Buffer", [](LoggingPort& p) { p.SetBuffer(TComBuffer()); }, "Buffer"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        LoggingPort p(nullptr);
        p.Open();
        p.Clear();
        r.set(p); // defaults over defaults: still one apply
        EXPECT_EQ(p.log, Log{std::string(r.group) + "+"});
    }

    LoggingPort p(nullptr);
    TComTimeouts mine;
    mine.SetReadInterval(7);
    mine.SetWriteTotalConstant(3);
    p.SetTimeouts(mine);
    EXPECT_EQ(p.Timeouts().ReadInterval(), 7);
    EXPECT_EQ(p.Timeouts().WriteTotalConstant(), 3);
    EXPECT_EQ(p.Timeouts().ComPort(), &p); // the port keeps its own object
    EXPECT_EQ(mine.ComPort(), nullptr);
    mine.SetReadInterval(8);
    EXPECT_EQ(p.Timeouts().ReadInterval(), 7);

    TComParity parity;
    parity.SetBits(prMark);
    parity.SetCheck(true);
    parity.SetReplace(true);
    parity.SetReplaceChar('~');
    p.SetParity(parity);
    EXPECT_EQ(p.Parity().Bits(), prMark);
    EXPECT_TRUE(p.Parity().Check() && p.Parity().Replace());
    EXPECT_EQ(p.Parity().ReplaceChar(), '~');

    TComFlowControl flow;
    flow.SetFlowControl(fcSoftware);
    flow.SetControlDTR(dtrEnable);
    flow.SetXonChar('Q');
    p.SetFlowControl(flow);
    EXPECT_EQ(p.FlowControl().FlowControl(), fcSoftware);
    EXPECT_EQ(p.FlowControl().ControlDTR(), dtrEnable);
    EXPECT_EQ(p.FlowControl().XonChar(), 'Q');
    EXPECT_EQ(p.FlowControl().XoffChar(), 19);

    TComBuffer buffer;
    buffer.SetInputSize(-3);
    buffer.SetOutputSize(65536);
    p.SetBuffer(buffer);
    EXPECT_EQ(p.Buffer().InputSize(), -3);
    EXPECT_EQ(p.Buffer().OutputSize(), 65536);
}

TEST(CPort, BufferSizeAdjustment) {
    struct Row {
        std::int32_t stored, given, expected;
        bool applies;
    } rows[] = {
        {1024, 1025, 1024, true}, // a change, although it stores what was there
        {1024, 1024, 1024, false},
        {1024, -3, -3, true}, // negative odd sizes stay
        {-3, -3, -3, false},
        {1024, 1, 0, true},
        {1024, 0, 0, true},
        {1024, -1, -1, true},
        {1024, 2147483647, 2147483646, true},
        {1024, -2147483647 - 1, -2147483647 - 1, true},
        {4095, 4095, 4094, true}, // "stored" is first set through the setter: 4094
    };
    for (const Row& r : rows) {
        for (bool input : {true, false}) {
            SCOPED_TRACE(std::to_string(r.stored) + " <- " + std::to_string(r.given));
            LoggingPort p(nullptr);
            p.Open();
            auto set = [&](std::int32_t v) {
                input ? p.Buffer().SetInputSize(v) : p.Buffer().SetOutputSize(v);
            };
            auto get = [&] { return input ? p.Buffer().InputSize() : p.Buffer().OutputSize(); };
            set(r.stored);
            p.Clear();
            set(r.given);
            EXPECT_EQ(get(), r.expected);
            EXPECT_EQ(p.log, r.applies ? Log{"Buffer+"} : Log{});
        }
    }
}

TEST(CPort, FlowControlPresetRead) {
    struct Row {
        TRTSFlowControl rts;
        bool cts, xin, xout;
        TFlowControl expected;
    } rows[] = {
        {rtsHandshake, true, false, false, fcHardware},
        {rtsDisable, false, true, true, fcSoftware},
        {rtsDisable, false, false, false, fcNone},
        {rtsHandshake, false, false, false, fcCustom},
        {rtsHandshake, true, true, false, fcCustom},
        {rtsEnable, true, false, false, fcCustom},
        {rtsToggle, false, false, false, fcCustom},
        {rtsDisable, true, false, false, fcCustom},
        {rtsDisable, false, true, false, fcCustom},
        {rtsDisable, false, false, true, fcCustom},
        {rtsDisable, true, true, true, fcCustom},
        {rtsEnable, false, true, true, fcCustom},
    };
    // The other six values never matter: try each row with them all off and all on.
    for (const Row& r : rows) {
        for (bool others : {false, true}) {
            TComFlowControl f;
            f.SetControlRTS(r.rts);
            f.SetOutCTSFlow(r.cts);
            f.SetXonXoffIn(r.xin);
            f.SetXonXoffOut(r.xout);
            f.SetOutDSRFlow(others);
            f.SetControlDTR(others ? dtrHandshake : dtrDisable);
            f.SetDSRSensitivity(others);
            f.SetTxContinueOnXoff(others);
            f.SetXonChar(others ? 'a' : 0);
            f.SetXoffChar(others ? 'b' : 0);
            EXPECT_EQ(f.FlowControl(), r.expected)
                << r.rts << r.cts << r.xin << r.xout << " others " << others;
        }
    }
}

TEST(CPort, FlowControlPresetWriteAppliesOnceAndLeavesTheOtherSix) {
    for (int preset = fcHardware; preset <= fcCustom; ++preset) {
        SCOPED_TRACE(preset);
        LoggingPort p(nullptr);
        TComFlowControl& f = p.FlowControl();
        // Start from a custom state with every value away from its default.
        f.SetControlRTS(rtsToggle);
        f.SetOutCTSFlow(true);
        f.SetXonXoffIn(true);
        f.SetXonXoffOut(false);
        f.SetOutDSRFlow(true);
        f.SetControlDTR(dtrHandshake);
        f.SetDSRSensitivity(true);
        f.SetTxContinueOnXoff(true);
        f.SetXonChar('x');
        f.SetXoffChar('y');
        p.Open();
        p.Clear();
        f.SetFlowControl(static_cast<TFlowControl>(preset));
        EXPECT_EQ(p.log, Log{"Line+"});
        EXPECT_EQ(f.FlowControl(), preset);
        if (preset == fcCustom) {
            EXPECT_EQ(f.ControlRTS(), rtsToggle);
            EXPECT_TRUE(f.OutCTSFlow());
            EXPECT_TRUE(f.XonXoffIn());
            EXPECT_FALSE(f.XonXoffOut());
        }
        EXPECT_TRUE(f.OutDSRFlow());
        EXPECT_EQ(f.ControlDTR(), dtrHandshake);
        EXPECT_TRUE(f.DSRSensitivity());
        EXPECT_TRUE(f.TxContinueOnXoff());
        EXPECT_EQ(f.XonChar(), 'x');
        EXPECT_EQ(f.XoffChar(), 'y');
    }
    // Writing the preset it already reads still applies (no equality test).
    LoggingPort p(nullptr);
    p.Open();
    p.Clear();
    p.FlowControl().SetFlowControl(fcNone);
    EXPECT_EQ(p.log, Log{"Line+"});

    TComFlowControl f;
    f.SetFlowControl(fcHardware);
    f.SetControlDTR(dtrHandshake);
    f.SetOutDSRFlow(true);
    EXPECT_EQ(f.FlowControl(), fcHardware);
    f.SetControlRTS(rtsEnable);
    EXPECT_EQ(f.FlowControl(), fcCustom);
}

TEST(CPort, AssignCopiesStoredValuesWithoutApplyOrOwner) {
    LoggingPort a(nullptr), b(nullptr);
    a.Timeouts().SetReadInterval(11);
    a.Timeouts().SetReadTotalMultiplier(12);
    a.Timeouts().SetReadTotalConstant(13);
    a.Timeouts().SetWriteTotalMultiplier(14);
    a.Timeouts().SetWriteTotalConstant(15);
    a.FlowControl().SetFlowControl(fcHardware);
    a.FlowControl().SetXoffChar('z');
    a.Parity().SetBits(prOdd);
    a.Parity().SetReplaceChar('r');
    a.Buffer().SetInputSize(-5);
    a.Buffer().SetOutputSize(64);
    b.Open();
    b.Clear();
    b.Timeouts().Assign(a.Timeouts());
    b.FlowControl().Assign(a.FlowControl());
    b.Parity().Assign(a.Parity());
    b.Buffer().Assign(a.Buffer());
    EXPECT_EQ(b.log, Log{}); // the copier re-applies, not the copy
    EXPECT_EQ(b.Timeouts().ReadInterval(), 11);
    EXPECT_EQ(b.Timeouts().ReadTotalMultiplier(), 12);
    EXPECT_EQ(b.Timeouts().ReadTotalConstant(), 13);
    EXPECT_EQ(b.Timeouts().WriteTotalMultiplier(), 14);
    EXPECT_EQ(b.Timeouts().WriteTotalConstant(), 15);
    EXPECT_EQ(b.FlowControl().FlowControl(), fcHardware);
    EXPECT_EQ(b.FlowControl().XoffChar(), 'z');
    EXPECT_EQ(b.Parity().Bits(), prOdd);
    EXPECT_EQ(b.Parity().ReplaceChar(), 'r');
    EXPECT_EQ(b.Buffer().InputSize(), -5);
    EXPECT_EQ(b.Buffer().OutputSize(), 64);
    EXPECT_EQ(b.Timeouts().ComPort(), &b);

    TComParity free;
    free.Assign(a.Parity());
    EXPECT_EQ(free.ComPort(), nullptr);
    EXPECT_EQ(free.Bits(), prOdd);
}

TEST(CPort, AssignAcrossClassesRaisesAndChangesNothing) {
    TComTimeouts t;
    TComFlowControl f;
    TComParity p;
    TComBuffer b;
    t.SetReadInterval(5);
    f.SetFlowControl(fcSoftware);
    p.SetBits(prSpace);
    b.SetInputSize(8);
    host::TPersistent* objects[] = {&t, &f, &p, &b};
    for (host::TPersistent* dst : objects) {
        for (host::TPersistent* src : objects) {
            if (src == dst)
                continue;
            try {
                dst->Assign(*src);
                ADD_FAILURE() << src->ClassName() << " into " << dst->ClassName();
            } catch (const host::EConvertError& e) {
                EXPECT_EQ(e.Message(),
                          "Cannot assign a " + src->ClassName() + " to a " + dst->ClassName());
            }
        }
    }
    EXPECT_EQ(t.ReadInterval(), 5);
    EXPECT_EQ(t.WriteTotalConstant(), 1000);
    EXPECT_EQ(f.FlowControl(), fcSoftware);
    EXPECT_EQ(p.Bits(), prSpace);
    EXPECT_EQ(b.InputSize(), 8);
    EXPECT_EQ(b.OutputSize(), 1024);

    // Through the port: a mistyped copy does not reach the driver either.
    LoggingPort port(nullptr);
    port.Open();
    port.Clear();
    EXPECT_THROW(port.Timeouts().Assign(p), host::EConvertError);
    EXPECT_EQ(port.log, Log{});
}

TEST(CPort, OpenAndCloseOrder) {
    LoggingPort p(nullptr);
    p.LogHandlers();
    p.Open();
    EXPECT_EQ(p.log, (Log{"BeforeOpen(closed)", "OpenHandle", "Buffer+", "Line+", "Timeouts+",
                          "AfterOpen(open)"}));
    EXPECT_NE(p.Handle(), comm::INVALID_HANDLE_VALUE);
    p.Clear();
    p.Open(); // already open
    EXPECT_EQ(p.log, Log{});
    p.Close();
    EXPECT_EQ(p.log, (Log{"BeforeClose(open)", "ReleaseHandle", "AfterClose(closed)"}));
    EXPECT_EQ(p.Handle(), comm::INVALID_HANDLE_VALUE);
    EXPECT_FALSE(p.Connected());
    p.Clear();
    p.Close(); // already closed
    EXPECT_EQ(p.log, Log{});
}

TEST(CPort, OpenOfAnAbsentPortRaisesNothingAndStaysClosed) {
    LoggingPort p(nullptr);
    p.LogHandlers();
    p.handleOpens = false;
    EXPECT_NO_THROW(p.Open());
    EXPECT_EQ(p.log, (Log{"BeforeOpen(closed)", "OpenHandle"}));
    EXPECT_FALSE(p.Connected());
    p.Clear();
    p.SetConnected(true);
    EXPECT_FALSE(p.Connected());
}

TEST(CPort, FailedApplyWhileOpeningClosesTheHandleAndPropagates) {
    for (int code : {8, 9}) {
        SCOPED_TRACE(code);
        LoggingPort p(nullptr);
        p.LogHandlers();
        p.failApply = code;
        try {
            p.Open();
            ADD_FAILURE() << "no error";
        } catch (const EComPort& e) {
            EXPECT_EQ(e.ErrorCode(), code);
            EXPECT_EQ(e.OsErrorCode(), code == 8 ? 1117 : 87);
            EXPECT_EQ(e.Message(),
                      code == 8 ? "SetCommTimeouts failed" : "SetupComm function failed");
        }
        EXPECT_FALSE(p.Connected());
        EXPECT_EQ(p.Handle(), comm::INVALID_HANDLE_VALUE);
        EXPECT_EQ(p.log.back(), "ReleaseHandle");
        EXPECT_EQ(std::count(p.log.begin(), p.log.end(), "AfterOpen(open)"), 0);
    }
}

TEST(CPort, FailedReapplyKeepsTheNewValueAndThePortOpen) {
    LoggingPort p(nullptr);
    p.Open();
    p.failApply = 8;
    EXPECT_THROW(p.Timeouts().SetReadTotalConstant(250), EComPort);
    EXPECT_EQ(p.Timeouts().ReadTotalConstant(), 250);
    EXPECT_TRUE(p.Connected());
}

TEST(CPort, ConnectedOpensAndClosesExceptWhileLoadingOrDesigning) {
    LoggingPort p(nullptr);
    p.SetConnected(true);
    EXPECT_TRUE(p.Connected());
    EXPECT_EQ(p.log.front(), "OpenHandle");
    p.Clear();
    p.SetConnected(true);
    EXPECT_EQ(p.log, Log{});
    p.SetConnected(false);
    EXPECT_EQ(p.log, Log{"ReleaseHandle"});
    EXPECT_FALSE(p.Connected());

    // Loading: only stored; Loaded opens with the settings applied.
    LoggingPort loading(nullptr);
    loading.LogHandlers();
    loading.BeginLoading();
    loading.SetConnected(true);
    loading.SetBaudRate(19200);
    EXPECT_TRUE(loading.Connected());
    EXPECT_EQ(loading.log, Log{"Line-"}); // stored while loading, not applied
    loading.Clear();
    loading.Loaded();
    EXPECT_FALSE(loading.Loading());
    EXPECT_TRUE(loading.Connected());
    EXPECT_EQ(loading.log, (Log{"BeforeOpen(closed)", "OpenHandle", "Buffer+", "Line+", "Timeouts+",
                                "AfterOpen(open)"}));

    // Designing: stored, and Open/Close do nothing; Loaded does not open.
    LoggingPort designing(nullptr);
    designing.SetDesigning(true);
    designing.BeginLoading();
    designing.SetConnected(true);
    designing.Loaded();
    designing.Open();
    EXPECT_EQ(designing.log, Log{});
    EXPECT_TRUE(designing.Connected());
    designing.SetConnected(false);
    EXPECT_FALSE(designing.Connected());
}

TEST(CPort, LoadedHandsAnOpenFailureToTheExceptionDisplay) {
    rc_test::ShownExceptions display;
    LoggingPort p(nullptr);
    p.failApply = 9;
    p.BeginLoading();
    p.SetConnected(true);
    EXPECT_NO_THROW(p.Loaded()); // shown by the display, not raised to the loader
    EXPECT_FALSE(p.Connected());
    EXPECT_EQ(display.Shown(), std::vector<std::string>{"SetupComm function failed"});
}

TEST(CPort, PortNameChangeIsCaseSensitiveAndReopens) {
    LoggingPort p(nullptr);
    p.SetPort("com1");
    EXPECT_EQ(p.Port(), "com1");
    EXPECT_EQ(p.log, Log{}); // closed: only stored
    p.SetPort("COM1");
    p.LogHandlers();
    p.Open();
    p.Clear();
    p.SetPort("COM1");
    EXPECT_EQ(p.log, Log{});
    p.SetPort("com1");
    EXPECT_EQ(p.log,
              (Log{"BeforeClose(open)", "ReleaseHandle", "AfterClose(closed)", "BeforeOpen(closed)",
                   "OpenHandle", "Buffer+", "Line+", "Timeouts+", "AfterOpen(open)"}));
    EXPECT_TRUE(p.Connected());
    EXPECT_EQ(p.Port(), "com1");
    // The new name cannot be opened: the port ends closed, without an error.
    p.handleOpens = false;
    EXPECT_NO_THROW(p.SetPort("COM9"));
    EXPECT_FALSE(p.Connected());
}

TEST(CPort, SyncMethodRefusesAChangeWhileConnected) {
    LoggingPort p(nullptr);
    p.SetSyncMethod(smWindowSync); // closed: stored
    EXPECT_EQ(p.SyncMethod(), smWindowSync);
    p.Open();
    EXPECT_NO_THROW(p.SetSyncMethod(smWindowSync));
    try {
        p.SetSyncMethod(smNone);
        ADD_FAILURE() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.ErrorCode(), 14);
        EXPECT_EQ(e.OsErrorCode(), -1);
        EXPECT_EQ(e.Message(), "Cannot set property while connected");
    }
    EXPECT_EQ(p.SyncMethod(), smWindowSync);
    EXPECT_TRUE(p.Connected());
    p.Close();
    p.SetSyncMethod(smNone);
    EXPECT_EQ(p.SyncMethod(), smNone);

    LoggingPort loading(nullptr);
    loading.BeginLoading();
    loading.SetConnected(true);
    EXPECT_NO_THROW(loading.SetSyncMethod(smNone));
    EXPECT_EQ(loading.SyncMethod(), smNone);
}

TEST(CPort, EventsAndHandlersAreOnlyStored) {
    LoggingPort p(nullptr);
    p.Open();
    p.Clear();
    p.SetEvents(TComEvents{evRxChar, evTxEmpty});
    p.SetEvents(TComEvents());
    p.OnRxChar = [](TCustomComPort*, std::int32_t) {};
    EXPECT_EQ(p.log, Log{});
    EXPECT_TRUE(p.Events().Empty());
    EXPECT_TRUE(p.Connected());
}

TEST(CPort, FiringOperationsCallOnlyAssignedHandlers) {
    TComPort p(nullptr);
    std::vector<std::string> calls;
    // Unassigned: nothing happens, nothing raises (FireRxChar reads and drops
    // the bytes instead; see the event tests).
    p.FireRxBuf("ab", 2);
    p.FireTxEmpty();
    p.FireError(TComErrors{ceFrame});
    p.FireCTSChange(true);
    p.OnRxChar = [&](TCustomComPort* s, std::int32_t n) {
        EXPECT_EQ(s, &p);
        calls.push_back("RxChar " + std::to_string(n));
    };
    p.OnRxBuf = [&](TCustomComPort*, const void* b, std::int32_t n) {
        calls.push_back("RxBuf " + std::string(static_cast<const char*>(b), n));
    };
    p.OnError = [&](TCustomComPort*, TComErrors e) {
        calls.push_back("Error " + std::to_string(e.ToBits()));
    };
    p.OnDSRChange = [&](TCustomComPort*, bool on) { calls.push_back(on ? "DSR on" : "DSR off"); };
    p.OnRx80Full = [&](TCustomComPort*) { calls.push_back("Rx80Full"); };
    p.FireRxChar(3);
    p.FireRxBuf("ab", 2);
    p.FireError(TComErrors{ceFrame, ceTxFull});
    p.FireDSRChange(false);
    p.FireRx80Full();
    p.FireRing(); // unassigned
    EXPECT_EQ(calls, (std::vector<std::string>{"RxChar 3", "RxBuf ab", "Error 129", "DSR off",
                                               "Rx80Full"}));
}

TEST(CPort, OwnerDestroysTheOpenPortWithItsCloseNotifications) {
    std::vector<std::string> calls;
    auto* window = new host::TComponent(nullptr);
    auto* p = new LoggingPort(window);
    p->closeOnDestroy = false; // the port's own destructor closes
    p->Open();
    ASSERT_TRUE(p->Connected());
    p->OnBeforeClose = [&](TCustomComPort*) { calls.push_back("BeforeClose"); };
    p->OnAfterClose = [&](TCustomComPort* s) {
        calls.push_back(s->Connected() ? "AfterClose open" : "AfterClose");
    };
    delete window;
    EXPECT_EQ(calls, (std::vector<std::string>{"BeforeClose", "AfterClose"}));
}

TEST(CPort, StoredDescriptionLeavesOutDeclaredDefaults) {
    TComPort p(nullptr);
    const std::vector<TStoredProperty> fresh = {
        {"BaudRate", "9600"},
        {"Port", "'COM1'"},
        {"Parity.Bits", "prNone"},
        {"StopBits", "sbOneStopBit"},
        {"DataBits", "dbEight"},
        {"Events", "[evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, "
                   "evRLSD, evRx80Full]"},
        {"FlowControl.OutCTSFlow", "False"},
        {"FlowControl.OutDSRFlow", "False"},
        {"FlowControl.ControlDTR", "dtrDisable"},
        {"FlowControl.ControlRTS", "rtsDisable"},
        {"FlowControl.XonXoffOut", "False"},
        {"FlowControl.XonXoffIn", "False"},
    };
    EXPECT_EQ(StoredProperties(p), fresh);

    // Every property with a declared default, moved off it, appears in published order.
    p.BeginLoading();
    p.SetConnected(true);
    p.Parity().SetCheck(true);
    p.Parity().SetReplace(true);
    p.Parity().SetReplaceChar('\'');
    p.SetDiscardNull(true);
    p.SetEventChar(13);
    p.SetEvents(TComEvents{evRxChar, evRx80Full});
    p.Buffer().SetInputSize(4096);
    p.Buffer().SetOutputSize(1023); // stored as 1022
    p.FlowControl().SetDSRSensitivity(true);
    p.FlowControl().SetTxContinueOnXoff(true);
    p.FlowControl().SetXonChar('A');
    p.FlowControl().SetXoffChar(0);
    p.Timeouts().SetReadInterval(0);
    p.Timeouts().SetReadTotalMultiplier(1);
    p.Timeouts().SetReadTotalConstant(2);
    p.Timeouts().SetWriteTotalMultiplier(3);
    p.Timeouts().SetWriteTotalConstant(4);
    p.SetSyncMethod(smWindowSync);
    p.SetPort("it's\tme");
    const std::vector<TStoredProperty> changed = {
        {"Connected", "True"},
        {"BaudRate", "9600"},
        {"Port", "'it''s'#9'me'"},
        {"Parity.Bits", "prNone"},
        {"Parity.Check", "True"},
        {"Parity.Replace", "True"},
        {"Parity.ReplaceChar", "''''"},
        {"StopBits", "sbOneStopBit"},
        {"DataBits", "dbEight"},
        {"DiscardNull", "True"},
        {"EventChar", "#13"},
        {"Events", "[evRxChar, evRx80Full]"},
        {"Buffer.InputSize", "4096"},
        {"Buffer.OutputSize", "1022"},
        {"FlowControl.OutCTSFlow", "False"},
        {"FlowControl.OutDSRFlow", "False"},
        {"FlowControl.ControlDTR", "dtrDisable"},
        {"FlowControl.ControlRTS", "rtsDisable"},
        {"FlowControl.XonXoffOut", "False"},
        {"FlowControl.XonXoffIn", "False"},
        {"FlowControl.DSRSensitivity", "True"},
        {"FlowControl.TxContinueOnXoff", "True"},
        {"FlowControl.XonChar", "'A'"},
        {"FlowControl.XoffChar", "#0"},
        {"Timeouts.ReadInterval", "0"},
        {"Timeouts.ReadTotalMultiplier", "1"},
        {"Timeouts.ReadTotalConstant", "2"},
        {"Timeouts.WriteTotalMultiplier", "3"},
        {"Timeouts.WriteTotalConstant", "4"},
        {"SyncMethod", "smWindowSync"},
    };
    EXPECT_EQ(StoredProperties(p), changed);

    p.SetPort("");
    p.SetEvents(TComEvents());
    auto props = StoredProperties(p);
    EXPECT_EQ(props[2], (TStoredProperty{"Port", "''"}));
    EXPECT_EQ(props[11], (TStoredProperty{"Events", "[]"}));
}
