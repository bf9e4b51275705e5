// The network backend (NetCommApi.h) against device servers that the test
// plays on 127.0.0.1, byte for byte: opening (the errors a user acts on;
// what the OS says is injected in PosixNetCommApiTests.cpp and
// Win32NetCommApiTests.cpp), the RFC 2217 negotiation, the line settings on
// the wire and the server's answers, the modem and line notifications,
// purge. Data, time-outs, the device gone and closing are in
// NetCommApiTransfersTests.cpp.
#include "tests/serial/driver/NetCommApiTest.h"
#include "tests/support/FakeCommApi.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace net_test {
namespace {

// ---- Opening ---------------------------------------------------------------

TEST_F(NetCommApiTest, MalformedNamesAreRefusedAsNamesAndNameNothing) {
    for (const char* name : {"tcp://127.0.0.1:99999", "tcp://127.0.0.1", "rfc2217://[::1",
                             "tcp://host:0", "TCP://:80", "tcp://a b:1"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(OpenError(name), comm::ERROR_INVALID_NAME);
        EXPECT_EQ(comm::PortNamePresence(name), comm::TNamePresence::npAbsent);
    }
}

TEST_F(NetCommApiTest, APortNothingListensOnIsRefused) {
    // A port nothing listens on: refused, for real.
    std::uint16_t closedPort = 0;
    {
        LoopbackTcpServer gone;
        closedPort = gone.Port();
    }
    EXPECT_EQ(OpenError("tcp://127.0.0.1:" + std::to_string(closedPort)), comm::WSAECONNREFUSED);
    EXPECT_EQ(OpenError("rfc2217://127.0.0.1:" + std::to_string(closedPort)),
              comm::WSAECONNREFUSED);
}

TEST_F(NetCommApiTest, AnAddressIsNeverLookedUpAndANameTriesEachAddress) {
    LoopbackTcpServer server;
    std::atomic<int> lookups{0};
    comm::net::SetSocketFaults({[&](const std::string&) {
                                    ++lookups;
                                    return 0;
                                },
                                {}});
    EXPECT_NE(Open(server.Name()), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(server.Accept());
    EXPECT_EQ(lookups.load(), 0);
    // localhost may come first as ::1, where nothing listens: the next
    // address is tried.
    EXPECT_NE(Open("tcp://localhost:" + std::to_string(server.Port())), INVALID_HANDLE_VALUE)
        << api_.GetLastError();
    EXPECT_TRUE(server.Accept());
    EXPECT_EQ(lookups.load(), 1);
}

TEST_F(NetCommApiTest, AnIpv6AddressConnectsUnlookedUp) {
    std::unique_ptr<LoopbackTcpServer> server;
    try {
        server = std::make_unique<LoopbackTcpServer>(8, true);
    } catch (const std::exception& e) {
        GTEST_SKIP() << "this system cannot listen on [::1]: " << e.what();
    }
    comm::net::SetSocketFaults({[&](const std::string&) {
                                    ADD_FAILURE() << "looked up";
                                    return 0;
                                },
                                {}});
    const Handle h = OpenRaw(*server);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    server->Send("6");
    EXPECT_EQ(ReadBytes(h, 1), "6");
}

TEST_F(NetCommApiTest, ASlowNameServerEndsTheOpenInTime) {
    comm::net::SetConnectTimeout(300ms);
    // A name server that answers only when the test lets it: the open gives
    // up at its time-out, and the answer that comes after touches nothing
    // freed (AddressSanitizer watches). What the look-up thread shares with
    // the test outlives both.
    struct Gate {
        std::mutex mutex;
        std::condition_variable cv;
        bool open = false;
    };
    const auto gate = std::make_shared<Gate>();
    comm::net::SetSocketFaults({[gate](const std::string&) {
                                    std::unique_lock<std::mutex> lock(gate->mutex);
                                    gate->cv.wait(lock, [&] { return gate->open; });
                                    return 1;
                                },
                                {}});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenError("tcp://slow.example:4001"), comm::WSATRY_AGAIN);
    EXPECT_GE(MsSince(start), 250u);
    EXPECT_LT(MsSince(start), 1500u);
    {
        std::lock_guard<std::mutex> lock(gate->mutex);
        gate->open = true;
    }
    gate->cv.notify_all();
}

TEST_F(NetCommApiTest, ANameInUseIsRefusedUntilItsPortCloses) {
    LoopbackTcpServer server;
    const Handle h = OpenRaw(server);
    // Written otherwise, the same port: refused without a connect.
    EXPECT_EQ(OpenError("TCP://127.0.0.1:" + std::to_string(server.Port())),
              comm::ERROR_ACCESS_DENIED);
    EXPECT_FALSE(server.Knocked());
    Close(h);
    EXPECT_NE(Open(server.Name()), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(server.Accept());
    // A failed open leaves the name free.
    std::string gone;
    {
        LoopbackTcpServer closed;
        gone = closed.Name();
    }
    EXPECT_EQ(OpenError(gone), comm::WSAECONNREFUSED);
    EXPECT_EQ(OpenError(gone), comm::WSAECONNREFUSED);
}

TEST_F(NetCommApiTest, EventsAndErrorsAreThoseOfTheBackendInUse) {
    // A test's fake in use: a network port still opens on its own, and
    // signals and reports through the fake, as it would through kernel32.
    comm::FakeCommApi fake;
    comm::ScopedCommApi use(fake);
    std::string gone;
    {
        LoopbackTcpServer closed;
        gone = closed.Name();
    }
    EXPECT_EQ(api_.CreateFileA(gone.c_str(), 0, 0, comm::OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake.GetLastError(), comm::WSAECONNREFUSED);

    LoopbackTcpServer server;
    const Handle h = api_.CreateFileA(server.Name().c_str(), 0, 0, comm::OPEN_EXISTING, 0);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(server.Accept());
    EXPECT_EQ(fake.CallCount("CreateFileA"), 0u);
    const Handle event = api_.CreateEventA(true, true);
    EXPECT_TRUE(fake.IsSignalled(event));
    char byte = 0;
    comm::Overlapped ov;
    ov.hEvent = event;
    std::uint32_t count = 0;
    EXPECT_FALSE(api_.ReadFile(h, &byte, 1, &count, &ov));
    EXPECT_EQ(api_.GetLastError(), comm::ERROR_IO_PENDING);
    EXPECT_FALSE(fake.IsSignalled(event)); // reset when the read began
    server.Send("z");
    EXPECT_TRUE(api_.GetOverlappedResult(h, &ov, &count, true));
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(byte, 'z');
    EXPECT_TRUE(fake.IsSignalled(event));
    EXPECT_TRUE(api_.CloseHandle(h));
    EXPECT_TRUE(api_.CloseHandle(event));
    EXPECT_EQ(fake.OpenHandles(), 0u);
}

TEST_F(NetCommApiTest, PresenceOfANetworkNameNeverConnects) {
    LoopbackTcpServer server;
    EXPECT_EQ(comm::PortNamePresence(server.Name().c_str()), comm::TNamePresence::npPresent);
    EXPECT_EQ(comm::PortNamePresence(("\\\\.\\" + server.Name("rfc2217")).c_str()),
              comm::TNamePresence::npPresent);
    EXPECT_FALSE(server.Knocked());
}

// ---- RFC 2217 negotiation ------------------------------------------------------

TEST_F(NetCommApiTest, Rfc2217OpenNeedsTheServerToTakeComPortOption) {
    comm::net::SetConnectTimeout(400ms);
    struct Row {
        const char* what;
        std::function<void(LoopbackTcpServer&, std::atomic<bool>&)> play;
        std::uint32_t error;
    };
    const Row rows[] = {
        {"refuses COM-PORT-OPTION",
         [](LoopbackTcpServer& s, std::atomic<bool>&) {
             s.Receive(kStart.size());
             s.Send(B({255, 253, 0, 255, 251, 0, 255, 254, 44}));
         },
         comm::ERROR_NOT_SUPPORTED},
        {"never answers", [](LoopbackTcpServer&, std::atomic<bool>&) {}, comm::WSAETIMEDOUT},
        {"closes at once", [](LoopbackTcpServer& s, std::atomic<bool>&) { s.Close(); },
         comm::WSAECONNRESET},
        {"floods option garbage and reads nothing",
         [](LoopbackTcpServer& s, std::atomic<bool>& stop) {
             std::string flood;
             for (int option = 0; option < 256; ++option) {
                 flood += B({255, option % 2 != 0 ? 251 : 252, option});
                 flood += B({255, 250, option, 1, 2, 3, 255, 255, 4});
             }
             flood += std::string(4096, '\xF3');
             // A millisecond between tries: a flood, not a busy loop.
             while (!stop && s.TrySend(flood))
                 std::this_thread::sleep_for(1ms);
         },
         comm::WSAETIMEDOUT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        LoopbackTcpServer server;
        std::atomic<bool> stop{false};
        std::thread play([&] {
            if (server.Accept())
                row.play(server, stop);
        });
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(OpenError(server.Name("rfc2217")), row.error);
        EXPECT_LT(MsSince(start), 1500u);
        stop = true;
        play.join();
    }
}

TEST_F(NetCommApiTest, Rfc2217OpensWhenTheServerTakesIt) {
    LoopbackTcpServer server;
    const Handle h = OpenRfc2217(server);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::uint32_t status = 0xFFFF;
    EXPECT_TRUE(api_.GetCommModemStatus(h, &status));
    EXPECT_EQ(status, 0u); // no notification yet
}

// ---- Line settings ---------------------------------------------------------------

TEST_F(NetCommApiTest, SetCommStateSendsTheLineAndWaitsForEachAnswer) {
    struct Row {
        const char* what;
        comm::DCB dcb;
        std::vector<std::string> wire;
    };
    const Row rows[] = {
        {"9600 8N1, DTR and RTS on",
         MakeDcb(9600, 8, 0, 0, kDtrOn | kRtsOn),
         {Sb(5, B({8})), Sb(5, B({11})), Sb(1, B({0, 0, 0x25, 0x80})), Sb(2, B({8})), Sb(3, B({1})),
          Sb(4, B({1})), Sb(5, B({1}))}},
        {"115200 7E2, hardware flow, DTR off",
         MakeDcb(115200, 7, 2, 2, kRtsHandshake | comm::DCB_fOutxCtsFlow),
         {Sb(5, B({9})), Sb(1, B({0, 1, 0xC2, 0})), Sb(2, B({7})), Sb(3, B({3})), Sb(4, B({2})),
          Sb(5, B({3}))}},
        {"19200 5O1.5, XON/XOFF, DTR handshake, RTS off",
         MakeDcb(19200, 5, 1, 1, comm::DCB_fOutX | comm::DCB_fInX | kDtrHandshake),
         {Sb(5, B({8})), Sb(5, B({12})), Sb(1, B({0, 0, 0x4B, 0})), Sb(2, B({5})), Sb(3, B({2})),
          Sb(4, B({3})), Sb(5, B({2}))}},
        {"255 baud (IAC in the value), mark parity, RTS toggle",
         MakeDcb(255, 6, 3, 0, kRtsToggle),
         {Sb(5, B({9})), Sb(1, B({0, 0, 0, 255, 255})), Sb(2, B({6})), Sb(3, B({4})), Sb(4, B({1})),
          Sb(5, B({1}))}},
        {"space parity",
         MakeDcb(1200, 8, 4, 2, kRtsOn),
         {Sb(5, B({9})), Sb(5, B({11})), Sb(1, B({0, 0, 4, 0xB0})), Sb(2, B({8})), Sb(3, B({5})),
          Sb(4, B({2})), Sb(5, B({1}))}},
    };
    LoopbackTcpServer server;
    const Handle h = OpenRfc2217(server);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string expected;
        std::string answers;
        for (const std::string& command : row.wire) {
            expected += command;
            answers += Answer(command);
        }
        std::thread play([&] {
            EXPECT_EQ(Hex(server.Receive(expected.size())), Hex(expected));
            server.Send(answers);
        });
        EXPECT_TRUE(api_.SetCommState(h, &row.dcb)) << api_.GetLastError();
        play.join();
        comm::DCB back;
        ASSERT_TRUE(api_.GetCommState(h, &back));
        EXPECT_EQ(back.BaudRate, row.dcb.BaudRate);
        EXPECT_EQ(back.Flags, row.dcb.Flags);
    }
}

TEST_F(NetCommApiTest, SetCommStateFailsUnlessTheServerConfirmsIt) {
    comm::net::SetConnectTimeout(300ms);
    LoopbackTcpServer server;
    const Handle h = OpenRfc2217(server);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const comm::DCB first = MakeDcb(9600, 8, 0, 0, kDtrOn | kRtsOn);
    // DTR on, RTS on, 9600, 8 bits, no parity, 1 stop bit, no flow control.
    const std::string lines = Sb(5, B({8})) + Sb(5, B({11}));
    const std::string firstWire = lines + Sb(1, B({0, 0, 0x25, 0x80})) + Sb(2, B({8})) +
                                  Sb(3, B({1})) + Sb(4, B({1})) + Sb(5, B({1}));
    std::string firstAnswers;
    for (std::size_t at = 0; at < firstWire.size();) {
        const std::size_t end = firstWire.find("\xFF\xF0", at) + 2;
        firstAnswers += Answer(firstWire.substr(at, end - at));
        at = end;
    }
    std::thread play([&] {
        server.Receive(firstWire.size());
        server.Send(firstAnswers);
    });
    ASSERT_TRUE(api_.SetCommState(h, &first));
    play.join();

    // Refused by the driver's rules: nothing goes on the wire.
    comm::DCB bad = first;
    bad.ByteSize = 9;
    EXPECT_FALSE(api_.SetCommState(h, &bad));
    EXPECT_EQ(api_.GetLastError(), comm::ERROR_INVALID_PARAMETER);
    EXPECT_EQ(server.ReceiveAvailable(50), "");

    // The device cannot take the speed: the server answers another one.
    comm::DCB fast = first;
    fast.BaudRate = 921600;
    play = std::thread([&] {
        server.Receive(firstWire.size());
        server.Send(Sb(101, B({0, 1, 0xC2, 0})) +
                    firstAnswers.substr(firstAnswers.find("\xFF\xFA\x2C\x66", 0)));
    });
    EXPECT_FALSE(api_.SetCommState(h, &fast));
    EXPECT_EQ(api_.GetLastError(), comm::ERROR_INVALID_PARAMETER);
    play.join();

    // A device without DTR and RTS (a server on a pseudo-terminal): the
    // server answers all but those, which is no failure; but a line that
    // the server says it set otherwise than asked is.
    const std::string lineAnswers = Answer(Sb(5, B({8}))) + Answer(Sb(5, B({11})));
    const std::string settingAnswers = firstAnswers.substr(lineAnswers.size());
    play = std::thread([&] {
        server.Receive(firstWire.size());
        server.Send(settingAnswers);
    });
    EXPECT_TRUE(api_.SetCommState(h, &first)) << api_.GetLastError();
    play.join();
    play = std::thread([&] {
        server.Receive(firstWire.size());
        server.Send(Answer(Sb(5, B({9}))) + settingAnswers);
    });
    EXPECT_FALSE(api_.SetCommState(h, &first));
    EXPECT_EQ(api_.GetLastError(), comm::ERROR_INVALID_PARAMETER);
    play.join();

    // No answer: fails at the bound, never reported as done.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(api_.SetCommState(h, &fast));
    EXPECT_EQ(api_.GetLastError(), comm::ERROR_TIMEOUT);
    EXPECT_LT(MsSince(start), 1500u);
    comm::DCB back;
    ASSERT_TRUE(api_.GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 9600u);
}

TEST_F(NetCommApiTest, RawPortKeepsItsSettingsLocally) {
    LoopbackTcpServer server;
    const Handle h = OpenRaw(server);
    comm::DCB dcb = MakeDcb(57600, 7, 2, 0, kDtrOn);
    EXPECT_TRUE(api_.SetCommState(h, &dcb));
    comm::DCB back;
    ASSERT_TRUE(api_.GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 57600u);
    EXPECT_EQ(back.ByteSize, 7);
    dcb.Parity = 5;
    EXPECT_FALSE(api_.SetCommState(h, &dcb));
    EXPECT_EQ(api_.GetLastError(), comm::ERROR_INVALID_PARAMETER);
    std::uint32_t status = 0xFFFF;
    EXPECT_TRUE(api_.GetCommModemStatus(h, &status));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(server.ReceiveAvailable(50), ""); // nothing on a raw wire but data
}

// ---- Modem and line notifications, purge ----------------------------------------

TEST_F(NetCommApiTest, NotificationsBecomeModemStatusErrorsAndEvents) {
    LoopbackTcpServer server;
    const Handle h = OpenRfc2217(server);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(api_.SetCommMask(h, comm::EV_CTS | comm::EV_DSR | comm::EV_RLSD | comm::EV_RING |
                                        comm::EV_ERR | comm::EV_BREAK));
    struct Row {
        int value; // NOTIFY-MODEMSTATE
        std::uint32_t status;
        std::uint32_t events;
    };
    const Row rows[] = {
        {0x11, comm::MS_CTS_ON, comm::EV_CTS},                   // CTS on, delta CTS
        {0x30, comm::MS_CTS_ON | comm::MS_DSR_ON, comm::EV_DSR}, // DSR on, no delta bit
        {0xB0, comm::MS_CTS_ON | comm::MS_DSR_ON | comm::MS_RLSD_ON, comm::EV_RLSD},
        {0xF0, comm::MS_CTS_ON | comm::MS_DSR_ON | comm::MS_RLSD_ON | comm::MS_RING_ON,
         comm::EV_RING},
        {0x00, 0, comm::EV_CTS | comm::EV_DSR | comm::EV_RLSD}, // all off: no ring edge
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.value);
        server.Send(Sb(107, row.value == 255 ? B({255, 255}) : B({row.value})));
        EXPECT_EQ(NextEvents(h), row.events);
        std::uint32_t status = 0;
        ASSERT_TRUE(api_.GetCommModemStatus(h, &status));
        EXPECT_EQ(status, row.status);
    }
    // NOTIFY-LINESTATE: break and overrun, then parity and framing.
    server.Send(Sb(106, B({0x12})));
    EXPECT_EQ(NextEvents(h), comm::EV_BREAK | comm::EV_ERR);
    server.Send(Sb(106, B({0x0C})));
    EXPECT_EQ(NextEvents(h), comm::EV_ERR);
    std::uint32_t errors = 0;
    ASSERT_TRUE(api_.ClearCommError(h, &errors, nullptr));
    EXPECT_EQ(errors, comm::CE_BREAK | comm::CE_OVERRUN | comm::CE_RXPARITY | comm::CE_FRAME);
}

TEST_F(NetCommApiTest, PurgeClearsTheServersBuffersToo) {
    LoopbackTcpServer server;
    const Handle h = OpenRfc2217(server);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    server.Send("queued");
    EXPECT_EQ(ReadBytes(h, 1), "q");
    struct Row {
        std::uint32_t flags;
        std::string wire;
    };
    const Row rows[] = {
        {comm::PURGE_RXCLEAR, Sb(12, B({1}))},
        {comm::PURGE_TXCLEAR, Sb(12, B({2}))},
        {comm::PURGE_RXCLEAR | comm::PURGE_TXCLEAR | comm::PURGE_RXABORT, Sb(12, B({3}))},
        {comm::PURGE_TXABORT | comm::PURGE_RXABORT, ""},
    };
    for (const Row& row : rows) {
        // The server answers each PURGE-DATA, as RFC 2217 has it: PurgeComm
        // waits for that (PurgeTests.cpp).
        std::thread play([&] {
            if (!row.wire.empty()) {
                EXPECT_EQ(Hex(server.Receive(row.wire.size())), Hex(row.wire));
                server.Send(Answer(row.wire));
            }
        });
        EXPECT_TRUE(api_.PurgeComm(h, row.flags));
        play.join();
    }
    EXPECT_EQ(server.ReceiveAvailable(50), "");
    comm::COMSTAT stat;
    ASSERT_TRUE(api_.ClearCommError(h, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_FALSE(api_.PurgeComm(h, 0x10));
    EXPECT_EQ(api_.GetLastError(), comm::ERROR_INVALID_PARAMETER);
}

} // namespace
} // namespace net_test
