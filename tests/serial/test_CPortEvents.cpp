// Event delivery to the GUI thread (smThreadSync, smWindowSync) under the
// plain binding of the runtime: this test's main thread is the GUI thread.

#include "serial/CPort.h"
#include "serial/CPortErrors.h"
#include "serial/CPortThread.h"
#include "tests/support/ShownExceptions.h"

#include "host/ExceptionDisplay.h"
#include "host/MessageLoop.h"
#include "host/PlainMainLoop.h"
#include "tests/support/FakeCommApi.h"
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace cport;

namespace {

constexpr auto kDeadline = std::chrono::milliseconds(20000);
constexpr const char* kPort = "COM3";

// What the handlers saw, and whether any ran off the GUI thread.
class Seen {
public:
    // Also wakes the GUI thread's loop, for handlers on the event thread.
    void Add(std::string s) {
        {
            std::lock_guard lock(mutex_);
            if (std::this_thread::get_id() != gui_)
                offGuiThread_ = true;
            events_.push_back(std::move(s));
        }
        host::WakeMainThread();
    }
    bool Contains(const std::string& s) const {
        std::lock_guard lock(mutex_);
        return std::find(events_.begin(), events_.end(), s) != events_.end();
    }
    std::vector<std::string> Events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::size_t Size() const {
        std::lock_guard lock(mutex_);
        return events_.size();
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        events_.clear();
    }
    bool OffGuiThread() const {
        std::lock_guard lock(mutex_);
        return offGuiThread_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    bool offGuiThread_ = false;
    std::thread::id gui_ = std::this_thread::get_id();
};

void LogEverything(TCustomComPort& p, Seen& seen) {
    p.OnError = [&](TCustomComPort*, TComErrors e) {
        seen.Add("Error " + std::to_string(e.ToBits()));
    };
    p.OnRxChar = [&](TCustomComPort* s, std::int32_t n) {
        std::string bytes;
        s->ReadString(n, bytes);
        seen.Add("RxChar " + std::to_string(n) + " " + bytes);
    };
    p.OnTxEmpty = [&](TCustomComPort*) { seen.Add("TxEmpty"); };
    p.OnBreak = [&](TCustomComPort*) { seen.Add("Break"); };
    p.OnRing = [&](TCustomComPort*) { seen.Add("Ring"); };
    auto signal = [&seen](const char* name) {
        return [&seen, name](TCustomComPort*, bool on) {
            seen.Add(std::string(name) + (on ? " on" : " off"));
        };
    };
    p.OnCTSChange = signal("CTS");
    p.OnDSRChange = signal("DSR");
    p.OnRLSDChange = signal("RLSD");
    p.OnRxFlag = [&](TCustomComPort*) { seen.Add("RxFlag"); };
    p.OnRx80Full = [&](TCustomComPort*) { seen.Add("Rx80Full"); };
}

class Events : public ::testing::Test {
protected:
    Events() : use_(fake_) { fake_.AddPort(kPort); }

    bool RunUntil(const std::function<bool()>& ready) {
        return host::RunLoopUntil(ready, kDeadline);
    }
    // Once the event thread waits, raises events; returns the number of
    // event waits made so far (the batch is done at the next one).
    std::size_t Raise(std::uint32_t events) {
        EXPECT_TRUE(fake_.WaitForCommWait(kPort));
        const std::size_t waits = fake_.CallCount("WaitCommEvent");
        fake_.RaiseEvents(kPort, events);
        return waits;
    }
    // Runs the GUI thread's loop until the event thread has made n event
    // waits in all (a batch before them has then been processed).
    bool ServeUntilWaits(std::size_t n) {
        std::thread waker([&] {
            fake_.WaitForCalls("WaitCommEvent", n);
            host::WakeMainThread();
        });
        const bool ok = RunUntil([&] { return fake_.CallCount("WaitCommEvent") >= n; });
        waker.join();
        return ok;
    }

    host::TPlainMainLoop loop_;
    comm::FakeCommApi fake_;
    comm::ScopedCommApi use_;
};

TEST_F(Events, ABatchIsProcessedOnTheGuiThreadInTheFixedOrder) {
    Seen seen;
    TComPort p(nullptr);
    p.SetPort(kPort);
    p.Open();
    LogEverything(p, seen);
    fake_.SetModemStatus(kPort, comm::MS_CTS_ON | comm::MS_RLSD_ON);
    fake_.AddLineErrors(kPort, comm::CE_OVERRUN | comm::CE_RXPARITY);
    fake_.FeedInput(kPort, std::string("a\0b", 3), false);
    Raise(0x05FF);
    ASSERT_TRUE(RunUntil([&] { return seen.Size() >= 10; }));
    EXPECT_EQ(seen.Events(),
              (std::vector<std::string>{"Error 4", "RxChar 3 " + std::string("a\0b", 3), "TxEmpty",
                                        "Break", "Ring", "CTS on", "DSR off", "RxFlag", "RLSD on",
                                        "Rx80Full"}));
    EXPECT_FALSE(seen.OffGuiThread());
    // An empty queue by the time of processing: no OnRxChar. A mask with no
    // event of the set processes nothing.
    seen.Clear();
    ASSERT_TRUE(ServeUntilWaits(Raise(comm::EV_RXCHAR) + 1));
    EXPECT_EQ(seen.Size(), 0u);
}

TEST_F(Events, AFailingHandlerIsShownAndDeliveryGoesOn) {
    for (TSyncMethod method : {smThreadSync, smWindowSync, smNone}) {
        SCOPED_TRACE(static_cast<int>(method));
        rc_test::ShownExceptions display;
        Seen seen;
        TComPort p(nullptr);
        p.SetPort(kPort);
        p.SetSyncMethod(method);
        p.SetEvents(TComEvents{evRing, evBreak, evRxChar});
        p.OnRing = [&](TCustomComPort*) {
            seen.Add("Ring"); // may run off the GUI thread (smNone)
            throw EComPort::CreateWithoutOsCode(CError_HasLink);
        };
        p.OnBreak = [&](TCustomComPort*) { seen.Add("Break"); };
        p.Open();
        // A refused queue query in the same batch is shown too.
        fake_.FailNext("ClearCommError", 1);
        ASSERT_TRUE(ServeUntilWaits(Raise(comm::EV_RING | comm::EV_BREAK | comm::EV_RXCHAR) + 1));
        // The thread goes on waiting; the next batch is delivered.
        ASSERT_TRUE(ServeUntilWaits(Raise(comm::EV_BREAK) + 1));
        ASSERT_TRUE(RunUntil([&] { return display.Shown().size() >= 2; }));
        p.Close();
        EXPECT_EQ(seen.Events(), (std::vector<std::string>{"Break", "Ring", "Break"}));
        EXPECT_EQ(display.Shown(),
                  (std::vector<std::string>{"ClearCommError function failed",
                                            "A component is linked to OnRxBuf event"}));
        EXPECT_FALSE(display.OffGuiThread());
    }
}

TEST_F(Events, CloseServesADeliveryThatWaitsForTheGuiThread) {
    for (TSyncMethod method : {smThreadSync, smWindowSync}) {
        SCOPED_TRACE(static_cast<int>(method));
        Seen seen;
        TComPort p(nullptr);
        p.SetPort(kPort);
        p.SetSyncMethod(method);
        p.OnRing = [&](TCustomComPort* s) {
            seen.Add(s->Connected() ? "Ring open" : "Ring closed");
        };
        p.Open();
        Raise(comm::EV_RING);
        // The event thread is now blocked handing the batch over.
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (host::PendingHandOvers() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_EQ(host::PendingHandOvers(), 1u);
        p.Close();
        EXPECT_EQ(seen.Events(), std::vector<std::string>{"Ring open"});
        EXPECT_EQ(fake_.OpenHandles(), 0u);
    }
}

TEST_F(Events, DestroyingAnOpenPortWithABlockedDelivery) {
    Seen seen;
    auto p = std::make_unique<TComPort>(nullptr);
    p->SetPort(kPort);
    p->OnRing = [&](TCustomComPort*) { seen.Add("Ring"); };
    p->OnAfterClose = [&](TCustomComPort*) { seen.Add("AfterClose"); };
    p->Open();
    Raise(comm::EV_RING);
    const auto deadline = std::chrono::steady_clock::now() + kDeadline;
    while (host::PendingHandOvers() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    p.reset();
    EXPECT_EQ(seen.Events(), (std::vector<std::string>{"Ring", "AfterClose"}));
    EXPECT_EQ(fake_.OpenHandles(), 0u);
}

TEST_F(Events, AHandlerMayCloseThePortAndItOpensAgainLater) {
    for (TSyncMethod method : {smThreadSync, smWindowSync, smNone}) {
        SCOPED_TRACE(static_cast<int>(method));
        Seen seen;
        TComPort p(nullptr);
        p.SetPort(kPort);
        p.SetSyncMethod(method);
        p.OnRing = [&](TCustomComPort* s) {
            s->Close();
            seen.Add(s->Connected() ? "closed? no" : "closed");
        };
        p.OnAfterClose = [&](TCustomComPort*) { seen.Add("AfterClose"); };
        p.Open();
        const std::size_t closes = fake_.CallCount("CloseHandle");
        Raise(comm::EV_RING);
        // The port handle is closed by Close, the thread's two events once
        // the delivery has returned.
        std::thread waker([&] {
            fake_.WaitForCalls("CloseHandle", closes + 3);
            host::WakeMainThread();
        });
        ASSERT_TRUE(RunUntil([&] { return !fake_.IsOpen(kPort); }));
        waker.join();
        EXPECT_EQ(seen.Events(), (std::vector<std::string>{"AfterClose", "closed"}));
        EXPECT_FALSE(p.Connected());
        EXPECT_FALSE(p.EventThreadRunning());
        p.Open();
        EXPECT_TRUE(p.Connected());
        p.OnRing = nullptr;
        p.Close();
        EXPECT_EQ(fake_.OpenHandles(), 0u);
    }
}

void LogNotifications(TCustomComPort& p, Seen& seen) {
    p.OnBeforeOpen = [&](TCustomComPort*) { seen.Add("BeforeOpen"); };
    p.OnAfterOpen = [&](TCustomComPort*) { seen.Add("AfterOpen"); };
    p.OnBeforeClose = [&](TCustomComPort*) { seen.Add("BeforeClose"); };
    p.OnAfterClose = [&](TCustomComPort*) { seen.Add("AfterClose"); };
}

// The calls made on a handle after the call that closed it.
std::vector<std::string> CallsAfterItsClose(const comm::FakeCommApi& fake, comm::Handle h) {
    std::vector<std::string> after;
    bool closed = false;
    for (const comm::FakeCall& call : fake.Calls()) {
        if (closed && call.handle == h)
            after.push_back(call.name);
        if (call.name == "CloseHandle" && call.handle == h)
            closed = true;
    }
    EXPECT_TRUE(closed);
    return after;
}

std::size_t CallsOn(const comm::FakeCommApi& fake, comm::Handle h, const char* name) {
    const auto calls = fake.CallsNamed(name);
    return static_cast<std::size_t>(std::count_if(
        calls.begin(), calls.end(), [h](const comm::FakeCall& c) { return c.handle == h; }));
}

constexpr std::array<TSyncMethod, 3> kAllMethods = {smThreadSync, smWindowSync, smNone};

// A handler of the second event of a full batch closes its port: the eight
// events after it are neither processed nor asked of the driver, whether the
// port stays closed or is opened again (by Open or by a new Port).
TEST_F(Events, AHandlerThatClosesItsPortEndsTheBatch) {
    enum Action { kClose, kCloseAndOpen, kNewPort };
    fake_.AddPort("COM4");
    fake_.SetModemStatus("COM4", comm::MS_CTS_ON);
    fake_.SetModemStatus(kPort, comm::MS_DSR_ON);
    for (TSyncMethod method : kAllMethods) {
        for (Action action : {kClose, kCloseAndOpen, kNewPort}) {
            SCOPED_TRACE(testing::Message() << "method " << static_cast<int>(method) << " action "
                                            << static_cast<int>(action));
            rc_test::ShownExceptions display;
            Seen seen;
            TComPort p(nullptr);
            p.SetPort(kPort);
            p.SetSyncMethod(method);
            p.Open();
            LogEverything(p, seen);
            LogNotifications(p, seen);
            p.OnRxChar = [&](TCustomComPort* s, std::int32_t n) {
                std::string bytes;
                s->ReadString(n, bytes);
                seen.Add("RxChar " + bytes);
                if (action == kNewPort) {
                    s->SetPort("COM4");
                } else {
                    s->Close();
                    if (action == kCloseAndOpen)
                        s->Open(); // the same port: its handle was released
                }
                seen.Add(s->Connected() ? "done open" : "done closed");
            };
            const comm::Handle first = p.Handle();
            fake_.AddLineErrors(kPort, comm::CE_OVERRUN);
            fake_.FeedInput(kPort, "a", false);
            Raise(0x05FF);
            ASSERT_TRUE(RunUntil([&] {
                return (seen.Contains("done open") || seen.Contains("done closed")) &&
                       StoppedThreadsNotJoined() == 0;
            }));
            std::vector<std::string> expected = {"Error 4",  "RxChar a",    "CTS off",   "DSR off",
                                                 "RLSD off", "BeforeClose", "AfterClose"};
            if (action == kClose) {
                expected.push_back("done closed");
            } else {
                const bool cts = action == kNewPort;
                for (const char* e : {"BeforeOpen", "AfterOpen", cts ? "CTS on" : "CTS off",
                                      cts ? "DSR off" : "DSR on", "RLSD off", "done open"})
                    expected.push_back(e);
            }
            EXPECT_EQ(seen.Events(), expected);
            EXPECT_EQ(display.Shown(), std::vector<std::string>{});
            EXPECT_EQ(CallsAfterItsClose(fake_, first), std::vector<std::string>{});
            EXPECT_EQ(p.Connected(), action != kClose);
            if (action != kClose) {
                // On the new handle: the open's three modem queries, nothing
                // of the old batch; and its own thread delivers.
                const comm::Handle second = p.Handle();
                EXPECT_EQ(CallsOn(fake_, second, "GetCommModemStatus"), 3u);
                EXPECT_EQ(CallsOn(fake_, second, "ClearCommError"), 0u);
                EXPECT_EQ(p.Port(), action == kNewPort ? "COM4" : kPort);
                seen.Clear();
                ASSERT_TRUE(fake_.WaitForCommWait(p.Port()));
                fake_.RaiseEvents(p.Port(), comm::EV_RING);
                ASSERT_TRUE(RunUntil([&] { return seen.Size() > 0; }));
                EXPECT_EQ(seen.Events(), std::vector<std::string>{"Ring"});
                p.Close();
            }
            EXPECT_EQ(fake_.OpenHandles(), 0u);
            fake_.ClearCalls();
        }
    }
}

// A handler destroys its port in the middle of a batch: the rest of the batch
// is dropped, the port is not touched again, the event thread ends and is
// joined, and every handle is closed.
TEST_F(Events, AHandlerThatDestroysItsPortEndsTheBatch) {
    for (TSyncMethod method : kAllMethods) {
        SCOPED_TRACE(static_cast<int>(method));
        rc_test::ShownExceptions display;
        Seen seen;
        auto owner = std::make_unique<TComPort>(nullptr);
        owner->SetPort(kPort);
        owner->SetSyncMethod(method);
        owner->Open();
        LogEverything(*owner, seen);
        LogNotifications(*owner, seen);
        owner->OnRxChar = [&](TCustomComPort* s, std::int32_t n) {
            std::string bytes;
            s->ReadString(n, bytes);
            seen.Add("RxChar " + bytes);
            owner.reset();
            seen.Add("destroyed");
        };
        const comm::Handle h = owner->Handle();
        fake_.AddLineErrors(kPort, comm::CE_OVERRUN);
        fake_.FeedInput(kPort, "a", false);
        Raise(0x05FF);
        ASSERT_TRUE(
            RunUntil([&] { return seen.Contains("destroyed") && StoppedThreadsNotJoined() == 0; }));
        EXPECT_EQ(seen.Events(),
                  (std::vector<std::string>{"Error 4", "RxChar a", "CTS off", "DSR off", "RLSD off",
                                            "BeforeClose", "AfterClose", "destroyed"}));
        EXPECT_EQ(display.Shown(), std::vector<std::string>{});
        EXPECT_EQ(CallsAfterItsClose(fake_, h), std::vector<std::string>{});
        EXPECT_EQ(fake_.OpenHandles(), 0u); // the port and the thread's two events
        fake_.ClearCalls();
    }
}

// A handler that the GUI thread serves while Close waits for the event thread
// closes the port as well, as does a close notification: the port closes
// once, and the rest of that batch is dropped.
TEST_F(Events, ClosingAgainWhileClosingClosesOnce) {
    for (TSyncMethod method : {smThreadSync, smWindowSync}) {
        SCOPED_TRACE(static_cast<int>(method));
        Seen seen;
        TComPort p(nullptr);
        p.SetPort(kPort);
        p.SetSyncMethod(method);
        p.Open();
        LogNotifications(p, seen);
        p.OnBeforeClose = [&](TCustomComPort* s) {
            seen.Add("BeforeClose");
            s->Close();
        };
        p.OnRing = [&](TCustomComPort* s) {
            seen.Add(s->Connected() ? "Ring open" : "Ring closed");
            s->Close();
        };
        p.OnRxFlag = [&](TCustomComPort*) { seen.Add("RxFlag"); };
        Raise(comm::EV_RING | comm::EV_RXFLAG);
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (host::PendingHandOvers() == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        ASSERT_EQ(host::PendingHandOvers(), 1u);
        p.Close();
        EXPECT_EQ(seen.Events(),
                  (std::vector<std::string>{"BeforeClose", "Ring open", "AfterClose"}));
        EXPECT_FALSE(p.Connected());
        EXPECT_EQ(fake_.OpenHandles(), 0u);
    }
}

// Exposes the window procedure of smWindowSync.
class WindowPort : public TComPort {
public:
    using TComPort::TComPort;
    std::intptr_t Proc(std::uint32_t msg, std::uintptr_t wParam) {
        return EventWindowProc(msg, wParam, 0);
    }
};

TEST_F(Events, WindowSyncSendsOneMessagePerEventAndRepliesFirst) {
    Seen seen;
    WindowPort p(nullptr);
    p.SetPort(kPort);
    p.SetSyncMethod(smWindowSync);
    bool threadWentOn = false;
    p.OnRing = [&](TCustomComPort*) { seen.Add("Ring"); };
    p.OnRLSDChange = [&](TCustomComPort*, bool) {
        seen.Add("RLSD");
        // Released before the processing: the thread is waiting for the driver
        // again while this handler still runs.
        threadWentOn = fake_.WaitForCommWait(kPort);
    };
    p.Open();
    EXPECT_NE(p.SyncWindow(), nullptr);
    seen.Clear();
    Raise(comm::EV_RLSD | comm::EV_RING);
    ASSERT_TRUE(RunUntil([&] { return seen.Size() >= 2; }));
    EXPECT_EQ(seen.Events(), (std::vector<std::string>{"Ring", "RLSD"}));
    EXPECT_TRUE(threadWentOn);
    EXPECT_FALSE(seen.OffGuiThread());

    // The procedure: CM_ComEvent by mask bit; others and unknown bits do nothing.
    // Its number is the one documented for the window: WM_USER + 1.
    static_assert(CM_ComEvent == 1025);
    seen.Clear();
    p.Proc(CM_ComEvent, comm::EV_RING);
    p.Proc(CM_ComEvent, 0x0200);
    p.Proc(CM_ComEvent - 1, comm::EV_RING);
    EXPECT_EQ(seen.Events(), std::vector<std::string>{"Ring"});
    p.OnRLSDChange = nullptr;
    p.Close();
    EXPECT_EQ(p.SyncWindow(), nullptr);
    // A message that arrives once the port is closed is ignored.
    p.Proc(CM_ComEvent, comm::EV_RING);
    EXPECT_EQ(seen.Events(), std::vector<std::string>{"Ring"});
}

TEST_F(Events, WriteProcessesDeliveriesWhileItWaitsForTxEmpty) {
    Seen seen;
    TComPort p(nullptr);
    p.SetPort(kPort);
    p.SetEvents(TComEvents{evTxEmpty});
    p.Open();
    ASSERT_TRUE(fake_.WaitForCommWait(kPort));
    // The tick counter stands still: only the tx-empty event ends the wait,
    // so Write returns only once the event was processed inside it.
    TxEmptyFlag = false;
    EXPECT_EQ(p.Write("abc", 3), 3);
    EXPECT_TRUE(TxEmptyFlag);
    p.OnTxEmpty = [&](TCustomComPort*) { seen.Add("TxEmpty"); };
    EXPECT_EQ(p.Write("de", 2), 2);
    EXPECT_EQ(seen.Events(), std::vector<std::string>{"TxEmpty"});
}

TEST(EventsPty, ReceivedBytesReachOnRxCharOnTheGuiThread) {
    host::TPlainMainLoop loop;
    rc_test::PtyPair pty;
    Seen seen;
    std::string received;
    TComPort p(nullptr);
    p.SetPort(pty.PortName());
    p.OnRxChar = [&](TCustomComPort* s, std::int32_t n) {
        std::string bytes;
        s->ReadString(n, bytes);
        seen.Add(std::to_string(n));
        EXPECT_EQ(bytes.size(), static_cast<std::size_t>(n)); // the count is what waits
        received += bytes;
    };
    ASSERT_TRUE(p.OpenWithSettings("9600,N,8,1"));
    const std::string frame("\xF7\x8C\x8D\x8A\x83\x00\x26\x12\x08\x15\x30\x00", 12);
    ASSERT_TRUE(pty.Send(frame));
    ASSERT_TRUE(host::RunLoopUntil([&] { return received.size() >= frame.size(); }, kDeadline));
    EXPECT_EQ(received, frame);
    EXPECT_FALSE(seen.OffGuiThread());

    // Without a handler the bytes are read and dropped.
    p.OnRxChar = nullptr;
    p.SetEventChar('!');
    bool flag = false;
    p.OnRxFlag = [&](TCustomComPort*) { flag = true; };
    ASSERT_TRUE(pty.Send("dropped!"));
    ASSERT_TRUE(host::RunLoopUntil([&] { return flag; }, kDeadline));
    EXPECT_EQ(p.InQueueCount(), 0);
    p.Close();
}

// On a pseudo-terminal with the POSIX backend: a handler that has read the
// event character closes and reopens the port (whose exclusive handle must
// be free again at once) or destroys it; the event-character event of the
// same bytes is not processed, and nothing is left behind.
TEST(EventsPty, AHandlerThatClosesOrDestroysItsPortEndsTheBatch) {
    host::TPlainMainLoop loop;
    rc_test::PtyPair pty;
    for (TSyncMethod method : kAllMethods) {
        for (bool destroy : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "method " << static_cast<int>(method) << (destroy ? " destroy" : ""));
            rc_test::ShownExceptions display;
            Seen seen;
            std::string received; // by the handlers of the first open only
            // Orders what this thread did before sending with the handlers
            // (under smNone on the event thread): the pty does not, for the
            // sanitizer.
            std::mutex sent;
            auto owner = std::make_unique<TComPort>(nullptr);
            owner->SetPort(pty.PortName());
            owner->SetSyncMethod(method);
            owner->SetEventChar('!');
            owner->OnRxFlag = [&](TCustomComPort*) { seen.Add("RxFlag"); };
            owner->OnRxChar = [&](TCustomComPort* s, std::int32_t n) {
                { const std::lock_guard lock(sent); }
                std::string bytes;
                s->ReadString(n, bytes);
                received += bytes;
                if (received.find('!') == std::string::npos)
                    return;
                if (destroy) {
                    owner.reset();
                    seen.Add("destroyed");
                    return;
                }
                s->Close();
                s->Open();
                seen.Add(s->Connected() ? "reopened" : "not reopened");
                // Replaces the handler that is running.
                s->OnRxChar = [&seen](TCustomComPort* t, std::int32_t m) {
                    std::string more;
                    t->ReadString(m, more);
                    seen.Add(more);
                };
            };
            // Open is seen through its notification: under smNone the port is
            // not read here while its handlers may run.
            owner->OnAfterOpen = [&](TCustomComPort*) { seen.Add("opened"); };
            owner->Open();
            ASSERT_EQ(seen.Events(), std::vector<std::string>{"opened"});
            seen.Clear();
            { const std::lock_guard lock(sent); }
            ASSERT_TRUE(pty.Send("ab!"));
            ASSERT_TRUE(host::RunLoopUntil(
                [&] { return seen.Size() > 0 && StoppedThreadsNotJoined() == 0; }, kDeadline));
            if (destroy) {
                EXPECT_EQ(seen.Events(), std::vector<std::string>{"destroyed"});
            } else {
                ASSERT_TRUE(pty.Send("cd"));
                auto all = [&] {
                    std::string joined;
                    for (const std::string& e : seen.Events())
                        joined += e + "|";
                    return joined;
                };
                // The open inside the handler notified; the new open delivers
                // (perhaps in more than one piece).
                ASSERT_TRUE(host::RunLoopUntil(
                    [&] {
                        return all() == "opened|reopened|cd|" || all() == "opened|reopened|c|d|";
                    },
                    kDeadline))
                    << all();
                owner->Close();
            }
            EXPECT_EQ(display.Shown(), std::vector<std::string>{});
        }
    }
}

} // namespace
