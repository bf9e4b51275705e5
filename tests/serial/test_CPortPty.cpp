// The port on pseudo-terminal pairs with the real OS layer: traffic, open and
// close, probing, settings texts. Events here run on the event thread
// (smNone); delivery to the GUI thread is tested in test_CPortEvents.cpp.

#include "serial/CPort.h"
#include "serial/CPortErrors.h"

#include "host/ExceptionDisplay.h"
#include "tests/support/FakeCommApi.h"
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace cport;
using rc_test::PtyPair;

namespace {

constexpr auto kDeadline = std::chrono::seconds(20);

// A log that handlers on any thread append to, with a wait for its content.
class EventLog {
public:
    void Add(std::string s) {
        {
            std::lock_guard lock(mutex_);
            entries_.push_back(std::move(s));
        }
        changed_.notify_all();
    }
    std::vector<std::string> Get() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        entries_.clear();
    }
    template <typename Pred> bool WaitUntil(Pred pred) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kDeadline, [&] { return pred(entries_); });
    }
    bool WaitForSize(std::size_t n) {
        return WaitUntil([n](const std::vector<std::string>& e) { return e.size() >= n; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
};

void LogNotifications(TComPort& p, EventLog& log) {
    p.OnBeforeOpen = [&](TCustomComPort*) { log.Add("BeforeOpen"); };
    p.OnAfterOpen = [&](TCustomComPort*) { log.Add("AfterOpen"); };
    p.OnBeforeClose = [&](TCustomComPort*) { log.Add("BeforeClose"); };
    p.OnAfterClose = [&](TCustomComPort* s) {
        log.Add(s->Connected() ? "AfterClose(open)" : "AfterClose");
    };
    auto signal = [&log](const char* name) {
        return [&log, name](TCustomComPort*, bool on) {
            log.Add(std::string(name) + (on ? " on" : " off"));
        };
    };
    p.OnCTSChange = signal("CTS");
    p.OnDSRChange = signal("DSR");
    p.OnRLSDChange = signal("RLSD");
}

TEST(PortPty, OpenAndCloseNotifyInOrderWithTheLineStates) {
    PtyPair pty;
    EventLog log;
    TComPort p(nullptr);
    LogNotifications(p, log);
    p.SetPort(pty.PortName());
    p.SetSyncMethod(smNone);
    p.Open();
    ASSERT_TRUE(p.Connected());
    EXPECT_TRUE(p.EventThreadRunning());
    // A pseudo-terminal has no modem lines: all off.
    EXPECT_EQ(log.Get(), (std::vector<std::string>{"BeforeOpen", "AfterOpen", "CTS off", "DSR off",
                                                   "RLSD off"}));
    log.Clear();
    p.Close();
    EXPECT_EQ(log.Get(), (std::vector<std::string>{"CTS off", "DSR off", "RLSD off", "BeforeClose",
                                                   "AfterClose"}));
    EXPECT_FALSE(p.Connected());
    EXPECT_FALSE(p.EventThreadRunning());
    // The port is free again.
    TComPort other(nullptr);
    other.SetPort(pty.PortName());
    other.SetEvents(TComEvents());
    other.Open();
    EXPECT_TRUE(other.Connected());
}

TEST(PortPty, AnAbsentPortOnlyNotifiesBeforeOpenAndWritesReturnAtOnce) {
    EventLog log;
    TComPort p(nullptr);
    LogNotifications(p, log);
    p.SetPort("/tmp/rc-no-such-port");
    EXPECT_NO_THROW(p.Open());
    EXPECT_FALSE(p.Connected());
    EXPECT_EQ(log.Get(), std::vector<std::string>{"BeforeOpen"});
    EXPECT_EQ(p.Write("\xF7\x8C", 2), 0);
    EXPECT_FALSE(p.OpenWithSettings("9600,N,8,1"));
}

TEST(PortPty, PortExistsOnAClosedAndOnAnOpenComponent) {
    PtyPair pty;
    EventLog log;
    TComPort p(nullptr);
    LogNotifications(p, log);
    EXPECT_FALSE(p.PortExists("/tmp/rc-no-such-port"));
    EXPECT_TRUE(log.Get().empty());
    EXPECT_TRUE(p.PortExists(pty.PortName()));
    EXPECT_EQ(log.Get(), (std::vector<std::string>{"CTS off", "DSR off", "RLSD off", "BeforeClose",
                                                   "AfterClose"}));
    EXPECT_EQ(p.Port(), "COM1");
    EXPECT_EQ(p.Handle(), comm::INVALID_HANDLE_VALUE);

    // Held by another component: busy.
    TComPort holder(nullptr);
    holder.SetPort(pty.PortName());
    holder.SetEvents(TComEvents());
    holder.Open();
    ASSERT_TRUE(holder.Connected());
    EXPECT_FALSE(p.PortExists(pty.PortName()));
    // On the open component: true for any name, and the port ends closed.
    EXPECT_TRUE(holder.PortExists("/tmp/rc-no-such-port"));
    EXPECT_FALSE(holder.Connected());
    EXPECT_EQ(holder.Handle(), comm::INVALID_HANDLE_VALUE);
    EXPECT_TRUE(p.PortExists(pty.PortName()));
}

TEST(PortPty, BytesTravelBothWays) {
    PtyPair pty;
    TComPort p(nullptr);
    p.SetPort(pty.PortName());
    p.SetEvents(TComEvents());
    ASSERT_TRUE(p.OpenWithSettings("9600,N,8,1"));
    const std::string frame("\xF7\x8C\x8D\x8A\x03\x00\x7F", 7);
    EXPECT_EQ(p.Write(frame.data(), static_cast<std::int32_t>(frame.size())), 7);
    EXPECT_EQ(pty.Receive(frame.size()), frame);

    ASSERT_TRUE(pty.Send(frame));
    // The driver queues what arrives; wait until all of it is there.
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (p.InQueueCount() < 7 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    std::string s;
    p.ReadString(100, s);
    EXPECT_EQ(s, frame);
    p.ReadString(5, s);
    EXPECT_EQ(s, "");
}

TEST(PortPty, ReceivedCharactersReachOnRxCharWithTheQueueCount) {
    PtyPair pty;
    std::mutex m;
    std::string received;
    EventLog counts;
    TComPort p(nullptr);
    p.SetPort(pty.PortName());
    p.SetSyncMethod(smNone);
    p.OnRxChar = [&](TCustomComPort* sender, std::int32_t count) {
        std::string s;
        sender->ReadString(count, s);
        EXPECT_EQ(static_cast<std::int32_t>(s.size()), count);
        {
            std::lock_guard lock(m);
            received += s;
        }
        counts.Add(std::to_string(count));
    };
    p.Open();
    const std::string bytes("\x00\x01\xFFhello\x00", 9);
    ASSERT_TRUE(pty.Send(bytes));
    ASSERT_TRUE(counts.WaitUntil([&](const auto&) {
        std::lock_guard lock(m);
        return received.size() >= bytes.size();
    }));
    std::lock_guard lock(m);
    EXPECT_EQ(received, bytes);
}

TEST(PortPty, UnassignedOnRxCharDropsTheBytes) {
    PtyPair pty;
    EventLog log;
    TComPort p(nullptr);
    p.SetPort(pty.PortName());
    p.SetSyncMethod(smNone);
    // The event character comes last; its event is processed after the
    // received-characters event of the same bytes.
    p.SetEventChar('!');
    p.OnRxFlag = [&](TCustomComPort*) { log.Add("RxFlag"); };
    p.Open();
    ASSERT_TRUE(pty.Send("abc!"));
    ASSERT_TRUE(log.WaitForSize(1));
    EXPECT_EQ(p.InQueueCount(), 0);
}

TEST(PortPty, EmptyEventsMeansNoThreadAndEventsChangeAtReopen) {
    PtyPair pty;
    EventLog log;
    TComPort p(nullptr);
    p.SetPort(pty.PortName());
    p.SetSyncMethod(smNone);
    p.SetEvents(TComEvents());
    p.OnRxChar = [&](TCustomComPort* s, std::int32_t n) {
        std::string bytes;
        s->ReadString(n, bytes);
        log.Add(bytes);
    };
    p.OnAfterOpen = [&](TCustomComPort*) { log.Add("AfterOpen"); };
    p.Open();
    EXPECT_FALSE(p.EventThreadRunning());
    EXPECT_EQ(p.EventThread(), nullptr);
    EXPECT_EQ(log.Get(), std::vector<std::string>{"AfterOpen"});
    // Enabled while open: nothing changes until the port is opened again.
    p.SetEvents(TComEvents{evRxChar});
    EXPECT_FALSE(p.EventThreadRunning());
    p.Close();
    log.Clear();
    p.Open();
    EXPECT_TRUE(p.EventThreadRunning());
    ASSERT_TRUE(pty.Send("xyz"));
    ASSERT_TRUE(log.WaitUntil([](const auto& e) {
        std::string all;
        for (std::size_t i = 1; i < e.size(); ++i)
            all += e[i];
        return all == "xyz";
    }));
}

TEST(PortPty, OpenWithSettingsReadsItsFields) {
    PtyPair pty;
    struct Row {
        const char* text;
        std::int32_t baud;
        TParityBits parity;
        TDataBits data;
        TStopBits stop;
    };
    const std::vector<Row> rows = {
        {"9600,N,8,1", 9600, prNone, dbEight, sbOneStopBit},
        {"19200,e,7,2", 19200, prEven, dbSeven, sbTwoStopBits},
        {"  4800,O,6,2  ", 4800, prOdd, dbSix, sbTwoStopBits},
        {"1200,m,5,1", 1200, prMark, dbFive, sbOneStopBit},
        {"1200,S,5,1", 1200, prSpace, dbFive, sbOneStopBit},
        {"9600,N,8,1.5", 9600, prNone, dbEight, sbOneStopBit}, // reading stops at the point
        {"9600,N,8,3", 9600, prNone, dbEight, sbOne5StopBits},
        {"9600,N,9,1", 9600, prNone, dbEight, sbOneStopBit},
        {"9600,X,8,1", 9600, prNone, dbEight, sbOneStopBit},
        {"9600, N, 8, 1", 9600, prNone, dbEight, sbOneStopBit},
        // A blank before the comma is the separator: the comma is read as the letter.
        {"9600 ,E,7,1", 9600, prNone, dbEight, sbOne5StopBits},
    };
    TComPort p(nullptr);
    p.SetPort(pty.PortName());
    p.SetEvents(TComEvents());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        EXPECT_TRUE(p.OpenWithSettings(row.text));
        EXPECT_TRUE(p.Connected());
        EXPECT_EQ(p.BaudRate(), row.baud);
        EXPECT_EQ(p.Parity().Bits(), row.parity);
        EXPECT_EQ(p.DataBits(), row.data);
        EXPECT_EQ(p.StopBits(), row.stop);
    }
}

TEST(PortPty, OpenWithSettingsOnATextThatEndsEarlyStaysInside) {
    // Each text on its own heap block: any read beyond its end is caught by
    // the address sanitizer.
    const std::vector<std::string> texts = {"",
                                            " ",
                                            "\x01\x02",
                                            "9600",
                                            "9600,",
                                            "9600,N",
                                            "9600,N,",
                                            "9600,N,8",
                                            "9600,N,8,",
                                            ",",
                                            "N",
                                            "-5,N,8,1",
                                            "99999999999999999999,N,8,1"};
    TComPort p(nullptr);
    p.SetPort("/tmp/rc-no-such-port");
    for (const std::string& t : texts) {
        SCOPED_TRACE(t);
        auto copy = std::make_unique<char[]>(t.size());
        std::copy(t.begin(), t.end(), copy.get());
        EXPECT_FALSE(p.OpenWithSettings(std::string(copy.get(), t.size())));
    }
    p.OpenWithSettings("9600");
    EXPECT_EQ(p.BaudRate(), 9600);
    EXPECT_EQ(p.Parity().Bits(), prNone);
    p.OpenWithSettings("99999999999999999999,N,8,1");
    EXPECT_EQ(p.BaudRate(), 2147483647);
}

TEST(PortPty, OpenWithSettingsReappliesAndReopensAnOpenPort) {
    comm::FakeCommApi fake;
    comm::ScopedCommApi use(fake);
    fake.AddPort("COM1");
    TComPort p(nullptr);
    p.SetEvents(TComEvents());
    p.Open();
    fake.ClearCalls();
    EXPECT_TRUE(p.OpenWithSettings("19200,O,7,2"));
    // The parity setter applies everything to the still open port, then it
    // is closed and opened again with the same line.
    const auto states = fake.CallsNamed("SetCommState");
    ASSERT_EQ(states.size(), 2u);
    for (const auto& call : states) {
        EXPECT_EQ(call.dcb->BaudRate, 19200u);
        EXPECT_EQ(call.dcb->Parity, 1);
        EXPECT_EQ(call.dcb->ByteSize, 7);
        EXPECT_EQ(call.dcb->StopBits, 2);
    }
    EXPECT_EQ(fake.CallCount("CreateFileA"), 1u);
    EXPECT_EQ(fake.CallCount("CloseHandle"), 1u);
}

TEST(PortPty, CloseWhileTheThreadWaitsAndWhileAHandlerRuns) {
    PtyPair pty;
    {
        // Waiting for events: Close ends the wait.
        TComPort p(nullptr);
        p.SetPort(pty.PortName());
        p.SetSyncMethod(smNone);
        p.Open();
        p.Close();
        EXPECT_FALSE(p.Connected());
    }
    {
        // A handler that is still running on the event thread when Close starts.
        std::mutex m;
        std::condition_variable cv;
        bool entered = false;
        bool release = false;
        TComPort p(nullptr);
        p.SetPort(pty.PortName());
        p.SetSyncMethod(smNone);
        p.OnRxChar = [&](TCustomComPort*, std::int32_t) {
            std::unique_lock lock(m);
            entered = true;
            cv.notify_all();
            cv.wait_for(lock, kDeadline, [&] { return release; });
        };
        p.Open();
        ASSERT_TRUE(pty.Send("a"));
        {
            std::unique_lock lock(m);
            ASSERT_TRUE(cv.wait_for(lock, kDeadline, [&] { return entered; }));
        }
        std::thread releaser([&] {
            std::lock_guard lock(m);
            release = true;
            cv.notify_all();
        });
        p.Close();
        releaser.join();
        EXPECT_FALSE(p.Connected());
    }
    {
        // Destroyed while open: the whole close sequence runs.
        EventLog log;
        auto p = std::make_unique<TComPort>(nullptr);
        p->SetPort(pty.PortName());
        p->SetSyncMethod(smNone);
        p->Open();
        LogNotifications(*p, log);
        p.reset();
        EXPECT_EQ(log.Get(), (std::vector<std::string>{"CTS off", "DSR off", "RLSD off",
                                                       "BeforeClose", "AfterClose"}));
    }
}

TEST(PortPty, AFailingHandlerOnTheEventThreadIsShownAndEventsGoOn) {
    PtyPair pty;
    std::mutex m;
    std::vector<std::string> shown;
    auto previous = host::SetExceptionDisplay([&](const std::string& text) {
        std::lock_guard lock(m);
        shown.push_back(text);
    });
    EventLog log;
    TComPort p(nullptr);
    p.SetPort(pty.PortName());
    p.SetSyncMethod(smNone);
    p.OnRxChar = [&](TCustomComPort* s, std::int32_t n) {
        std::string bytes;
        s->ReadString(n, bytes);
        log.Add(bytes);
        if (bytes.find('!') != std::string::npos)
            throw EComPort::CreateWithoutOsCode(CError_WaitFailed);
    };
    p.Open();
    auto joined = [](const std::vector<std::string>& e) {
        std::string all;
        for (const auto& s : e)
            all += s;
        return all;
    };
    ASSERT_TRUE(pty.Send("boom!"));
    ASSERT_TRUE(log.WaitUntil([&](const auto& e) { return joined(e) == "boom!"; }));
    ASSERT_TRUE(pty.Send("next"));
    ASSERT_TRUE(log.WaitUntil([&](const auto& e) { return joined(e) == "boom!next"; }));
    p.Close();
    host::SetExceptionDisplay(previous);
    std::lock_guard lock(m);
    EXPECT_EQ(shown, std::vector<std::string>{"WaitForEvent method failed"});
}

} // namespace
