// The GUI thread's message loop on the Qt event loop: hand-overs served by
// Qt's own loop, by ProcessMessages and by the serving waits.
#include "host/qt/QtMainLoop.h"

#include "host/Exceptions.h"
#include "host/MessageLoop.h"
#include "tests/host/SynchronizeFromThreads.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 30s;

class QtMainLoopTest : public ::testing::Test {
protected:
    host::qt::TQtMainLoop loop;
};

TEST_F(QtMainLoopTest, QtsOwnLoopServesSynchronizeFromSeveralThreadsInOrder) {
    QEventLoop qtLoop;
    QTimer::singleShot(kDeadline, &qtLoop, [&] { qtLoop.exit(1); });
    rc_test::SynchronizeFromThreads calls(3, 40,
                                          [&] { host::PostToMainThread([&] { qtLoop.exit(0); }); });
    EXPECT_EQ(qtLoop.exec(), 0) << "Qt's loop did not serve the hand-overs";
    calls.JoinAndCheck();
}

TEST_F(QtMainLoopTest, ProcessMessagesRunsHandOversQueuedBeforeItAndQtEvents) {
    std::vector<std::string> ran;
    std::thread([&] { host::PostToMainThread([&] { ran.push_back("hand-over"); }); }).join();
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [&] { ran.push_back("qt event"); }, Qt::QueuedConnection);
    host::ProcessMessages();
    EXPECT_EQ(ran, (std::vector<std::string>{"hand-over", "qt event"}));
}

TEST_F(QtMainLoopTest, SynchronizeCarriesTheExceptionBack) {
    std::string caught;
    std::thread worker([&] {
        try {
            host::Synchronize([] { throw host::Exception("ClearCommError function failed"); });
        } catch (const host::Exception& e) {
            caught = e.Message();
        }
    });
    host::WaitForThreadServing(worker);
    EXPECT_EQ(caught, "ClearCommError function failed");
}

TEST_F(QtMainLoopTest, WaitForThreadServesSynchronizeAndSentMessages) {
    int served = 0;
    bool released = false;
    std::atomic<bool> senderReturned{false};
    host::THiddenWindow window([&](host::TMessage& m) {
        if (host::InSendMessage()) {
            host::ReplyMessage(0);
        }
        released = host::WaitServingUntil([&] { return senderReturned.load(); }, kDeadline);
        served += static_cast<int>(m.WParam);
    });
    std::thread worker([&] {
        host::Synchronize([&] { ++served; });
        host::SendMessage(window, 1025, 0x20, 0);
        senderReturned = true;
        host::WakeMainThread();
    });
    host::WaitForThreadServing(worker);
    EXPECT_EQ(served, 0x21);
    EXPECT_TRUE(released);
}

TEST_F(QtMainLoopTest, RunLoopUntilWakesForAConditionSetByAWorker) {
    std::atomic<bool> flag{false};
    int timerFired = 0;
    QTimer::singleShot(0, QCoreApplication::instance(), [&] { ++timerFired; });
    std::thread worker([&] {
        flag = true;
        host::WakeMainThread();
    });
    EXPECT_TRUE(host::RunLoopUntil([&] { return flag.load() && timerFired > 0; }, kDeadline));
    worker.join();
    EXPECT_FALSE(host::RunLoopUntil([] { return false; }, 1ms));
}

} // namespace
