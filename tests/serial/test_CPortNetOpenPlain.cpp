// A network port opened on the GUI thread of the plain binding (no GUI
// framework): the connect runs on a worker, hand-overs from other threads are
// served meanwhile, and the outcome comes back to the opening thread. Qt-free,
// so that ThreadSanitizer watches the worker hand its outcome over. Servers
// are the test's own on 127.0.0.1; the silent one is a full listen queue.
#include "serial/CPort.h"

#include "host/MessageLoop.h"
#include "host/PlainMainLoop.h"
#include "serial/driver/CommApi.h"
#include "serial/driver/NetCommApi.h"
#include "tests/support/LoopbackTcpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

using namespace cport;
using namespace std::chrono_literals;

namespace {

TEST(NetOpenPlainLoop, HandOversRunDuringTheConnectAndTheOutcomeComesBack) {
    comm::net::SetConnectTimeout(400ms);
    host::TPlainMainLoop loop;
    rc_test::LoopbackTcpServer silent(0);
    for (int i = 0; i < 4; ++i)
        silent.KnockUnanswered();
    rc_test::LoopbackTcpServer answering;
    TComPort p(nullptr);
    p.SetEvents(TComEvents());
    p.SetPort(silent.Name());
    // Hand-overs from another thread while the port connects: the last one
    // renames the port, which the open under way does not see.
    bool opening = false; // both read and written on this thread only
    int servedDuringTheOpen = 0;
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i)
            host::Synchronize([&] { servedDuringTheOpen += opening ? 1 : 0; });
        host::Synchronize([&] { p.SetPort(answering.Name()); });
    });
    comm::Api().SetLastError(12345);
    opening = true;
    p.Open();
    opening = false;
    const std::uint32_t error = comm::Api().GetLastError();
    host::WaitForThreadServing(poster);
    EXPECT_EQ(servedDuringTheOpen, 3) << "hand-overs waited for the connect to end";
    EXPECT_FALSE(p.Connected());
    EXPECT_EQ(error, comm::WSAETIMEDOUT);
    // The name set meanwhile is the next open's.
    p.Open();
    EXPECT_TRUE(p.Connected());
    EXPECT_TRUE(answering.Accept());
    p.Close();
    comm::net::SetConnectTimeout(5s);
}

} // namespace
