// The port's open of a network name on the GUI thread (the Qt binding): the
// connect runs on a worker while the GUI thread keeps processing its messages,
// and its outcome (handle, GetLastError) comes back to the caller as if the
// open had run on its thread. Servers are the test's own, on 127.0.0.1; a
// server that never answers is a listener whose queue the test has filled.
#include "serial/CPort.h"

#include "host/MessageLoop.h"
#include "host/qt/QtMainLoop.h"
#include "serial/CPortThread.h"
#include "serial/driver/CommApi.h"
#include "serial/driver/NetCommApi.h"
#include "tests/support/LoopbackTcpServer.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

using namespace cport;
using namespace std::chrono_literals;

namespace {

constexpr auto kConnectTimeout = 600ms;

// A port on 127.0.0.1 that nothing listens on any more: connects are refused.
std::string RefusedName() {
    rc_test::LoopbackTcpServer gone;
    return gone.Name();
}

class NetOpen : public ::testing::Test {
protected:
    void SetUp() override { comm::net::SetConnectTimeout(kConnectTimeout); }
    void TearDown() override { comm::net::SetConnectTimeout(5s); }

    // A host that never answers the connect: a listener whose queue is full
    // drops the next ones.
    std::unique_ptr<rc_test::LoopbackTcpServer> Silent() {
        auto full = std::make_unique<rc_test::LoopbackTcpServer>(0);
        for (int i = 0; i < 4; ++i)
            full->KnockUnanswered();
        return full;
    }

    host::qt::TQtMainLoop loop_;
};

TEST_F(NetOpen, TheOutcomeComesBackToTheGuiThreadAsIfTheOpenRanThere) {
    rc_test::LoopbackTcpServer answering;
    const auto silent = Silent();
    struct Row {
        std::string name;
        bool connected;
        std::uint32_t error; // checked when not connected
    };
    const Row rows[] = {
        {answering.Name(), true, 0},
        {RefusedName(), false, comm::WSAECONNREFUSED},
        {silent->Name(), false, comm::WSAETIMEDOUT},
        {"tcp://127.0.0.1:99999", false, comm::ERROR_INVALID_NAME},
        {"TCP://127.0.0.1", false, comm::ERROR_INVALID_NAME},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TComPort p(nullptr);
        p.SetPort(row.name);
        p.SetEvents(TComEvents());
        comm::Api().SetLastError(12345);
        p.Open();
        const std::uint32_t error = comm::Api().GetLastError();
        EXPECT_EQ(p.Connected(), row.connected);
        if (row.connected) {
            EXPECT_NE(p.Handle(), comm::INVALID_HANDLE_VALUE);
            EXPECT_TRUE(answering.Accept());
            EXPECT_EQ(p.Write("hi", 2), 2);
            EXPECT_EQ(answering.Receive(2), "hi");
            p.Close();
            EXPECT_TRUE(answering.PeerClosed());
        } else {
            EXPECT_EQ(p.Handle(), comm::INVALID_HANDLE_VALUE);
            EXPECT_EQ(error, row.error);
        }
    }
}

TEST_F(NetOpen, TheGuiThreadRunsTimersAndHandOversWhileAPortConnects) {
    const auto silent = Silent();
    TComPort p(nullptr);
    p.SetPort(silent->Name());
    std::atomic<int> ticks{0};
    QTimer timer;
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start();
    // A hand-over from another thread, queued once the connect is under way.
    std::atomic<bool> handedOver{false};
    std::atomic<bool> ranOnGuiThread{false};
    std::thread poster;
    QTimer::singleShot(50, [&] {
        poster = std::thread([&] {
            host::PostToMainThread([&] {
                ranOnGuiThread = host::IsMainThread();
                handedOver = true;
            });
        });
    });
    const auto start = std::chrono::steady_clock::now();
    p.Open();
    const auto took = std::chrono::steady_clock::now() - start;
    const std::uint32_t error = comm::Api().GetLastError();
    if (poster.joinable())
        poster.join();
    EXPECT_FALSE(p.Connected());
    EXPECT_EQ(error, comm::WSAETIMEDOUT);
    // The whole connect time-out was waited, and the loop ran all through it.
    EXPECT_GE(took, kConnectTimeout - 50ms);
    EXPECT_GE(ticks.load(), 5) << "the timer did not run while the port connected";
    EXPECT_TRUE(handedOver.load()) << "a hand-over waited for the connect to end";
    EXPECT_TRUE(ranOnGuiThread.load());
}

TEST_F(NetOpen, HandlersThatRunDuringTheConnectCannotOpenItTwice) {
    const auto silent = Silent();
    rc_test::LoopbackTcpServer answering;
    TComPort p(nullptr);
    p.SetPort(silent->Name());
    p.SetEvents(TComEvents());
    int beforeOpen = 0;
    p.OnBeforeOpen = [&](TCustomComPort*) { ++beforeOpen; };
    bool nestedConnected = true;
    QTimer::singleShot(50, [&] {
        // Another open, a close and a new name, from inside the open.
        p.Open();
        nestedConnected = p.Connected();
        p.Close();
        p.SetPort(answering.Name());
    });
    p.Open();
    EXPECT_EQ(beforeOpen, 1) << "a second open started inside the first";
    EXPECT_FALSE(nestedConnected);
    EXPECT_FALSE(p.Connected());
    EXPECT_EQ(comm::Api().GetLastError(), comm::WSAETIMEDOUT);
    // The name set meanwhile is the one the next open uses.
    p.Open();
    EXPECT_TRUE(p.Connected());
    EXPECT_TRUE(answering.Accept());
    EXPECT_EQ(beforeOpen, 2);
}

} // namespace
