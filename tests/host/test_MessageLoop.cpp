// The GUI thread's message loop with the plain binding: hand-overs from
// worker threads, the serving waits, and sent messages of hidden windows.
#include "host/MessageLoop.h"

#include "host/ExceptionDisplay.h"
#include "host/Exceptions.h"
#include "host/PlainMainLoop.h"
#include "tests/host/SynchronizeFromThreads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 30s; // generous: a loaded machine must never fail a test

class MessageLoopTest : public ::testing::Test {
protected:
    // Blocks, without serving, until `count` hand-overs are queued.
    void WaitQueued(std::size_t count) {
        const auto deadline = host::Clock::now() + kDeadline;
        while (host::PendingHandOvers() < count) {
            ASSERT_LT(host::Clock::now(), deadline) << "hand-over never queued";
            loop.WaitForWake(deadline);
        }
    }

    host::TPlainMainLoop loop;
    const std::thread::id gui = std::this_thread::get_id();
};

TEST_F(MessageLoopTest, SynchronizeFromSeveralThreadsRunsEachOnTheGuiThreadInOrder) {
    rc_test::SynchronizeFromThreads calls(4, 50, [] { host::WakeMainThread(); });
    EXPECT_TRUE(host::RunLoopUntil([&] { return calls.Finished(); }, kDeadline));
    calls.JoinAndCheck();
}

TEST_F(MessageLoopTest, HandOversRunFirstInFirstOut) {
    std::vector<std::string> order;
    std::thread worker([&] {
        host::PostToMainThread([&] { order.push_back("post 1"); });
        host::PostToMainThread([&] { order.push_back("post 2"); });
        host::Synchronize([&] { order.push_back("sync"); });
    });
    host::WaitForThreadServing(worker);
    EXPECT_EQ(order, (std::vector<std::string>{"post 1", "post 2", "sync"}));
}

TEST_F(MessageLoopTest, SynchronizeCarriesTheExceptionBackToTheCaller) {
    std::string caught;
    std::thread worker([&] {
        try {
            host::Synchronize(
                [] { throw host::EConvertError("'x' is not a valid integer value"); });
        } catch (const host::EConvertError& e) {
            caught = e.Message();
        }
    });
    host::WaitForThreadServing(worker);
    EXPECT_EQ(caught, "'x' is not a valid integer value");
    // On the GUI thread the call runs directly and raises there.
    EXPECT_THROW(host::Synchronize([] { throw host::Exception("direct"); }), host::Exception);
}

TEST_F(MessageLoopTest, ProcessMessagesRunsWhatIsQueuedOnceAndNeverWaits) {
    int ran = 0;
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) {
            host::PostToMainThread([&] {
                ++ran;
                if (ran == 3) {
                    // Queued during the pass: it waits for the next pass.
                    host::PostToMainThread([&] { ran += 10; });
                }
            });
        }
        host::ProcessMessages(); // on a worker: does nothing
    });
    worker.join();
    EXPECT_EQ(ran, 0);
    host::ProcessMessages();
    EXPECT_EQ(ran, 3);
    host::ProcessMessages();
    EXPECT_EQ(ran, 13);
    host::ProcessMessages(); // nothing queued: returns at once
    EXPECT_EQ(ran, 13);
}

TEST_F(MessageLoopTest, WaitForThreadServesAThreadBlockedInAHandOver) {
    int served = 0;
    host::THiddenWindow window([&](host::TMessage& m) {
        served += static_cast<int>(m.WParam);
        m.Result = 5;
    });
    std::intptr_t result = 0;
    std::thread worker([&] {
        for (int i = 0; i < 3; ++i) {
            host::Synchronize([&] { ++served; });
        }
        result = host::SendMessage(window, 1025, 100, 0);
    });
    host::WaitForThreadServing(worker); // would deadlock without serving
    EXPECT_FALSE(worker.joinable());
    EXPECT_EQ(served, 103);
    EXPECT_EQ(result, 5);
}

TEST_F(MessageLoopTest, ReplyMessageReleasesTheSenderBeforeProcessing) {
    std::atomic<bool> senderReturned{false};
    bool inSend = false;
    bool sawSenderReturn = false;
    host::THiddenWindow window([&](host::TMessage&) {
        inSend = host::InSendMessage();
        EXPECT_TRUE(host::ReplyMessage(7));
        EXPECT_FALSE(host::ReplyMessage(8)); // released already
        // The processing goes on only after the sender has returned.
        sawSenderReturn = host::WaitServingUntil([&] { return senderReturned.load(); }, kDeadline);
    });
    std::intptr_t result = 0;
    std::thread worker([&] {
        result = host::SendMessage(window, 1025, 1, 0);
        senderReturned = true;
        host::WakeMainThread();
    });
    host::WaitForThreadServing(worker);
    EXPECT_TRUE(inSend);
    EXPECT_TRUE(sawSenderReturn);
    EXPECT_EQ(result, 7);
    EXPECT_FALSE(host::InSendMessage());
}

TEST_F(MessageLoopTest, SendMessageOnTheGuiThreadCallsTheProcedureDirectly) {
    bool inSend = true;
    host::THiddenWindow window([&](host::TMessage& m) {
        inSend = host::InSendMessage();
        EXPECT_FALSE(host::ReplyMessage(1));
        m.Result = static_cast<std::intptr_t>(m.Msg + m.WParam) + m.LParam;
    });
    EXPECT_EQ(host::SendMessage(window, 1025, 2, 3), 1030);
    EXPECT_FALSE(inSend);
}

TEST_F(MessageLoopTest, DestroyingTheWindowReleasesAWaitingSender) {
    bool called = false;
    auto window = std::make_unique<host::THiddenWindow>([&](host::TMessage&) { called = true; });
    std::intptr_t result = -1;
    std::thread worker([&] { result = host::SendMessage(*window, 1025, 1, 0); });
    WaitQueued(1);
    window.reset();
    worker.join(); // would hang if the sender were not released
    EXPECT_EQ(result, 0);
    host::ProcessMessages();
    EXPECT_FALSE(called);
}

TEST_F(MessageLoopTest, ExceptionsFromPostedCallsAndProceduresReachTheExceptionDisplay) {
    std::vector<std::string> shown;
    const auto previous = host::SetExceptionDisplay([&](const std::string& m) {
        EXPECT_EQ(std::this_thread::get_id(), gui);
        shown.push_back(m);
    });
    host::THiddenWindow window([](host::TMessage&) { throw host::Exception("from procedure"); });
    std::intptr_t result = -1;
    std::thread worker([&] {
        host::QueueException(std::make_exception_ptr(host::Exception("queued")));
        host::PostToMainThread([] { throw std::runtime_error("from posted call"); });
        result = host::SendMessage(window, 1025, 1, 0);
    });
    host::WaitForThreadServing(worker);
    host::SetExceptionDisplay(previous);
    EXPECT_EQ(shown, (std::vector<std::string>{"queued", "from posted call", "from procedure"}));
    EXPECT_EQ(result, 0);
}

TEST(MessageLoopWithoutBinding, RemovingTheLoopRunsQueuedHandOversAndLaterCallsRunDirectly) {
    std::thread::id ranOn;
    std::thread worker;
    {
        host::TPlainMainLoop loop;
        worker =
            std::thread([&] { host::Synchronize([&] { ranOn = std::this_thread::get_id(); }); });
        const auto deadline = host::Clock::now() + kDeadline;
        while (host::PendingHandOvers() < 1 && host::Clock::now() < deadline) {
            loop.WaitForWake(deadline);
        }
    } // the loop's end serves the blocked worker
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    EXPECT_EQ(host::MainLoop(), nullptr);
    std::thread([&] {
        host::Synchronize([&] { ranOn = std::this_thread::get_id(); });
        EXPECT_EQ(ranOn, std::this_thread::get_id());
    }).join();
}

} // namespace
