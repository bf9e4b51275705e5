// comm::net::AbortOpens (NetCommApi.h): a process that is stopping ends
// the network opens under way, whatever each waits for, and fails every
// later one at once. The abort lasts for the rest of the process, so this
// is an executable of its own, and its one case opens all the waits at
// once before the abort: a slow name server (injected), a host that never
// answers the connect (a listener whose queue is full; POSIX: Winsock
// refuses such a connect), and an RFC 2217 server that never negotiates.
#include "tests/serial/driver/NetCommApiTest.h"

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

namespace net_test {
namespace {

// A flag a test thread waits on with a deadline.
struct Signal {
    std::mutex mutex;
    std::condition_variable cv;
    bool set = false;
    void Set() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            set = true;
        }
        cv.notify_all();
    }
    bool WaitFor(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, timeout, [&] { return set; });
    }
};

TEST_F(NetCommApiTest, AbortEndsEveryOpenUnderWayAndEveryLaterOne) {
    comm::net::SetConnectTimeout(30000ms);
    EXPECT_FALSE(comm::net::OpensAborted());

    // The look-up: a name server that answers only once the test is over.
    const auto lookingUp = std::make_shared<Signal>();
    const auto release = std::make_shared<Signal>();
    const auto connecting = std::make_shared<Signal>();
    comm::net::SetSocketFaults({[lookingUp, release](const std::string&) {
                                    lookingUp->Set();
                                    release->WaitFor(60s);
                                    return 1;
                                },
                                [connecting] {
                                    connecting->Set();
                                    return 0;
                                }});
    struct Open {
        const char* what;
        std::future<std::uint32_t> error;
    };
    std::vector<Open> opens;
    const auto start = [&](const char* what, const std::string& name) {
        opens.push_back({what, std::async(std::launch::async, [this, name] {
                             const Handle h = api_.CreateFileA(name.c_str(), 0, 0, 0, 0);
                             if (h == INVALID_HANDLE_VALUE)
                                 return api_.GetLastError();
                             api_.CloseHandle(h);
                             return 0u;
                         })});
    };
    start("look-up", "tcp://slow.example:4001");
    ASSERT_TRUE(lookingUp->WaitFor(5s));

#ifndef _WIN32
    LoopbackTcpServer full(0);
    for (int i = 0; i < 4; ++i)
        full.KnockUnanswered();
    start("connect", full.Name());
    ASSERT_TRUE(connecting->WaitFor(5s));
#endif

    LoopbackTcpServer silent;
    start("negotiation", silent.Name("rfc2217"));
    ASSERT_TRUE(silent.Accept());
    EXPECT_EQ(Hex(silent.Receive(kStart.size())), Hex(kStart));

    const auto aborted = std::chrono::steady_clock::now();
    comm::net::AbortOpens();
    for (Open& open : opens) {
        SCOPED_TRACE(open.what);
        ASSERT_EQ(open.error.wait_for(5s), std::future_status::ready);
        EXPECT_EQ(open.error.get(), comm::ERROR_OPERATION_ABORTED);
    }
    // Within a wake-up, not the 30 s time-out (loose, for loaded machines).
    EXPECT_LT(MsSince(aborted), 1000u);
    EXPECT_TRUE(silent.PeerClosed());

    // Every later open: at once, nothing connected, nothing looked up. A
    // malformed name is still one.
    LoopbackTcpServer listening;
    for (const std::string& name :
         {listening.Name(), listening.Name("rfc2217"), std::string("tcp://other.example:4001")}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(OpenError(name), comm::ERROR_OPERATION_ABORTED);
    }
    EXPECT_FALSE(listening.Knocked());
    EXPECT_EQ(OpenError("tcp://127.0.0.1:99999"), comm::ERROR_INVALID_NAME);
    release->Set();
}

} // namespace
} // namespace net_test
