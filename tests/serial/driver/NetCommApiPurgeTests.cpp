// PurgeComm on an rfc2217:// port against a server the test plays byte for
// byte: it returns once the server has answered PURGE-DATA (the server
// purges its device first), what the server sent before its answer is
// the purged input, what it sends after is kept; a server that never
// answers, goes away, or whose port is closed meanwhile.
#include "tests/serial/driver/NetCommApiTest.h"

#include <atomic>
#include <future>

namespace net_test {
namespace {

// Runs PurgeComm on a thread of its own: it waits for the server.
struct AsyncPurge {
    std::atomic<bool> returned{false};
    std::future<std::pair<bool, std::uint32_t>> result;
    AsyncPurge(comm::ICommApi& api, Handle h, std::uint32_t flags) {
        result = std::async(std::launch::async, [this, &api, h, flags] {
            const bool ok = api.PurgeComm(h, flags);
            const std::uint32_t error = ok ? 0u : api.GetLastError();
            returned = true;
            return std::pair{ok, error};
        });
    }
};

TEST_F(NetCommApiTest, PurgeReturnsOnTheServersAnswerAndKeepsOnlyWhatCameAfter) {
    struct Row {
        const char* what;
        std::uint32_t flags;
        std::string wire;
        std::string before; // sent by the server before its answer
        std::string after;  // and after it
        bool oneSegment;    // before, answer and after in one send
        std::string kept;
    };
    const std::string iac("\xFF\xFF", 2); // one data byte 0xFF
    const Row rows[] = {
        {"receive side, answered late", comm::PURGE_RXCLEAR, Sb(12, B({1})), "stale", "new", false,
         "new"},
        {"receive side, in one segment", comm::PURGE_RXCLEAR, Sb(12, B({1})), "st" + iac + "le",
         "n" + iac + "w", true, "n\xFFw"},
        {"both sides", comm::PURGE_RXCLEAR | comm::PURGE_TXCLEAR, Sb(12, B({3})), "stale", "new",
         false, "new"},
        {"transmit side alone drops no input", comm::PURGE_TXCLEAR, Sb(12, B({2})), "old", "new",
         true, "ueuedoldnew"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LoopbackTcpServer server;
        const Handle h = OpenRfc2217(server);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        server.Send("queued");
        EXPECT_EQ(ReadBytes(h, 1), "q");

        AsyncPurge purge(api_, h, row.flags);
        EXPECT_EQ(Hex(server.Receive(row.wire.size())), Hex(row.wire));
        if (row.oneSegment) {
            server.Send(row.before + Answer(row.wire) + row.after);
        } else {
            server.Send(row.before);
            // A server slow to purge: the port is still waiting for it.
            std::this_thread::sleep_for(100ms);
            EXPECT_FALSE(purge.returned);
            server.Send(Answer(row.wire));
            const auto [ok, error] = purge.result.get();
            EXPECT_TRUE(ok) << error;
            server.Send(row.after);
        }
        const auto [ok, error] = purge.result.valid() ? purge.result.get() : std::pair{true, 0u};
        EXPECT_TRUE(ok) << error;
        EXPECT_EQ(Hex(ReadBytes(h, row.kept.size())), Hex(row.kept));
        // Nothing else came through: the queue is empty behind them.
        comm::COMSTAT stat;
        ASSERT_TRUE(api_.ClearCommError(h, nullptr, &stat));
        EXPECT_EQ(stat.cbInQue, 0u);
    }
}

TEST_F(NetCommApiTest, APurgeTheServerDoesNotAnswerEndsByTheBound) {
    comm::net::SetConnectTimeout(300ms);
    LoopbackTcpServer server;
    const Handle h = OpenRfc2217(server);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);

    // Never answered: ERROR_TIMEOUT at the connect time-out, the port's own
    // purge done, and what comes from then on kept.
    server.Send("queued");
    EXPECT_EQ(ReadBytes(h, 1), "q");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(api_.PurgeComm(h, comm::PURGE_RXCLEAR));
    EXPECT_EQ(api_.GetLastError(), comm::ERROR_TIMEOUT);
    EXPECT_GE(MsSince(start), 250u);
    EXPECT_LT(MsSince(start), 1500u);
    EXPECT_EQ(Hex(server.Receive(Sb(12, B({1})).size())), Hex(Sb(12, B({1}))));
    server.Send("after");
    EXPECT_EQ(ReadBytes(h, 5), "after");

    // A server that left one unanswered is not waited for again: the next
    // purge still goes on the wire, and returns without its answer, well
    // within the bound. A late answer then changes nothing.
    const auto again = std::chrono::steady_clock::now();
    EXPECT_TRUE(api_.PurgeComm(h, comm::PURGE_RXCLEAR | comm::PURGE_TXCLEAR));
    EXPECT_LT(MsSince(again), 250u);
    EXPECT_EQ(Hex(server.Receive(Sb(12, B({3})).size())), Hex(Sb(12, B({3}))));
    server.Send(Answer(Sb(12, B({1}))) + "kept" + Answer(Sb(12, B({3}))) + "too");
    EXPECT_EQ(ReadBytes(h, 7), "kepttoo");
}

TEST_F(NetCommApiTest, APurgeWaitingForTheServerEndsWhenThePortOrTheServerGoes) {
    struct Row {
        const char* what;
        bool closePort; // else the server closes the connection
        bool ok;
        std::uint32_t error;
    };
    const Row rows[] = {
        {"the server goes away: the port's purge done", false, true, 0u},
        {"the port is closed", true, false, comm::ERROR_INVALID_HANDLE},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LoopbackTcpServer server;
        const Handle h = OpenRfc2217(server);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        const auto start = std::chrono::steady_clock::now();
        AsyncPurge purge(api_, h, comm::PURGE_RXCLEAR);
        EXPECT_EQ(Hex(server.Receive(Sb(12, B({1})).size())), Hex(Sb(12, B({1}))));
        if (row.closePort)
            Close(h);
        else
            server.Close();
        const auto [ok, error] = purge.result.get();
        EXPECT_EQ(ok, row.ok);
        EXPECT_EQ(error, row.error);
        EXPECT_LT(MsSince(start), 1500u); // not the 2 s bound
    }
}

// A purge that only aborts transfers (the serial component cancelling one)
// never waits for the server, not even behind a SetCommState that does; two
// purges at once each end on their own answer.
TEST_F(NetCommApiTest, PurgesWaitOnlyForTheirOwnAnswer) {
    LoopbackTcpServer server;
    const Handle h = OpenRfc2217(server);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto settings = std::async(std::launch::async, [&] {
        const comm::DCB dcb = MakeDcb(9600, 8, 0, 0, 0);
        return api_.SetCommState(h, &dcb);
    });
    server.Receive(1); // the settings are on their way: SetCommState waits
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(api_.PurgeComm(h, comm::PURGE_TXABORT | comm::PURGE_RXABORT));
    EXPECT_LT(MsSince(start), 1000u); // not SetCommState's 2 s
    EXPECT_FALSE(settings.get());     // never answered
    server.ReceiveAvailable(50);

    AsyncPurge first(api_, h, comm::PURGE_RXCLEAR);
    EXPECT_EQ(Hex(server.Receive(Sb(12, B({1})).size())), Hex(Sb(12, B({1}))));
    AsyncPurge second(api_, h, comm::PURGE_TXCLEAR);
    EXPECT_EQ(Hex(server.Receive(Sb(12, B({2})).size())), Hex(Sb(12, B({2}))));
    server.Send("stale" + Answer(Sb(12, B({1}))));
    EXPECT_TRUE(first.result.get().first);
    server.Send("kept");
    // The second is still waiting for its answer; what comes now is kept.
    EXPECT_FALSE(second.returned);
    server.Send(Answer(Sb(12, B({2}))) + "too");
    EXPECT_TRUE(second.result.get().first);
    EXPECT_EQ(ReadBytes(h, 7), "kepttoo");
}

} // namespace
} // namespace net_test
