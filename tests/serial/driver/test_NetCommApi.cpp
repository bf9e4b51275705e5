// The network backend (NetCommApi.h) against device servers that the test
// plays on 127.0.0.1, byte for byte: opening (the errors a user acts on, by
// fault injection where a real fault cannot be made here), the RFC 2217
// negotiation, the line settings on the wire and the server's answers, the
// modem and line notifications, data both ways with 0xFF, the input queue,
// the device gone when the server closes, time-outs, and closing with
// transfers pending. Expected bytes are written out from RFC 854 and 2217,
// never made with the code under test.
#include "serial/driver/CommApi.h"
#include "serial/driver/NetCommApi.h"
#include "serial/driver/NetSocket.h"
#include "serial/driver/PosixCommApi.h"
#include "tests/support/LoopbackTcpServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <netdb.h>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using comm::Handle;
using comm::INVALID_HANDLE_VALUE;
using rc_test::LoopbackTcpServer;

namespace {

// The client's opening (RFC 1143 requests): WILL and DO for BINARY (0) and
// SUPPRESS-GO-AHEAD (3), WILL COM-PORT-OPTION (44).
const std::string kStart("\xFF\xFB\x00\xFF\xFD\x00\xFF\xFB\x03\xFF\xFD\x03\xFF\xFB\x2C", 15);
// A server that agrees to all of it.
const std::string kAccept("\xFF\xFD\x00\xFF\xFB\x00\xFF\xFD\x03\xFF\xFB\x03\xFF\xFD\x2C", 15);
// What the client asks once COM-PORT-OPTION is on: every modem line
// (SET-MODEMSTATE-MASK 255, doubled) and the line errors and breaks
// (SET-LINESTATE-MASK 0x1E).
const std::string kMasks("\xFF\xFA\x2C\x0B\xFF\xFF\xFF\xF0"
                         "\xFF\xFA\x2C\x0A\x1E\xFF\xF0",
                         15);

// IAC SB COM-PORT-OPTION code value IAC SE, the value as written (IAC
// already doubled where it must be).
std::string Sb(int code, const std::string& value) {
    return std::string("\xFF\xFA\x2C", 3) + static_cast<char>(code) + value + "\xFF\xF0";
}
std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s += static_cast<char>(b);
    return s;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

std::uint32_t MsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
}

class NetCommApiTest : public ::testing::Test {
protected:
    comm::ICommApi& api_ = comm::Api();

    void SetUp() override { comm::net::SetConnectTimeout(2000ms); }
    void TearDown() override {
        for (Handle h : open_)
            api_.CloseHandle(h);
        for (Handle e : events_)
            api_.CloseHandle(e);
        comm::net::SetConnectTimeout(comm::net::kDefaultConnectTimeout);
        comm::net::SetSocketFaults({});
    }

    Handle Open(const std::string& name) {
        const Handle h =
            api_.CreateFileA(("\\\\.\\" + name).c_str(), comm::GENERIC_READ | comm::GENERIC_WRITE,
                             0, comm::OPEN_EXISTING, comm::FILE_FLAG_OVERLAPPED);
        if (h != INVALID_HANDLE_VALUE)
            open_.push_back(h);
        return h;
    }
    // Opens the name and returns the error it failed with (0: it opened).
    std::uint32_t OpenError(const std::string& name) {
        const Handle h = Open(name);
        return h == INVALID_HANDLE_VALUE ? api_.GetLastError() : 0u;
    }
    void Close(Handle h) {
        EXPECT_TRUE(api_.CloseHandle(h));
        std::erase(open_, h);
    }

    Handle OpenRaw(LoopbackTcpServer& server) {
        const Handle h = Open(server.Name());
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << api_.GetLastError();
        EXPECT_TRUE(server.Accept());
        return h;
    }
    // Opens an rfc2217:// port on a server that accepts every option.
    Handle OpenRfc2217(LoopbackTcpServer& server) {
        std::thread play([&] {
            if (!server.Accept())
                return;
            EXPECT_EQ(Hex(server.Receive(kStart.size())), Hex(kStart));
            server.Send(kAccept);
        });
        const Handle h = Open(server.Name("rfc2217"));
        play.join();
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << api_.GetLastError();
        EXPECT_EQ(Hex(server.Receive(kMasks.size())), Hex(kMasks));
        return h;
    }

    Handle Event() {
        const Handle e = api_.CreateEventA(true, false);
        events_.push_back(e);
        return e;
    }
    void SetTimeouts(Handle h, std::uint32_t interval, std::uint32_t multiplier,
                     std::uint32_t constant, std::uint32_t writeConstant = 0) {
        comm::COMMTIMEOUTS t;
        t.ReadIntervalTimeout = interval;
        t.ReadTotalTimeoutMultiplier = multiplier;
        t.ReadTotalTimeoutConstant = constant;
        t.WriteTotalTimeoutConstant = writeConstant;
        ASSERT_TRUE(api_.SetCommTimeouts(h, &t));
    }
    // Waits for an overlapped operation to end (5 s at most); its result.
    bool Finish(Handle h, comm::Overlapped& ov, std::uint32_t* count, std::uint32_t* error) {
        EXPECT_EQ(api_.WaitForSingleObject(ov.hEvent, 5000), comm::WAIT_OBJECT_0);
        const bool ok = api_.GetOverlappedResult(h, &ov, count, false);
        *error = ok ? 0u : api_.GetLastError();
        return ok;
    }
    // Reads n bytes, in as many reads as it takes, each ending at its first
    // byte or after 2 s.
    std::string ReadBytes(Handle h, std::size_t n) {
        SetTimeouts(h, comm::MAXDWORD, comm::MAXDWORD, 2000);
        std::string got;
        while (got.size() < n) {
            std::string buffer(n - got.size(), '\0');
            comm::Overlapped ov;
            ov.hEvent = Event();
            std::uint32_t count = 0;
            std::uint32_t error = 0;
            if (!api_.ReadFile(h, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &count,
                               &ov)) {
                EXPECT_EQ(api_.GetLastError(), comm::ERROR_IO_PENDING);
                if (!Finish(h, ov, &count, &error)) {
                    ADD_FAILURE() << "read failed: " << error;
                    break;
                }
            }
            if (count == 0) {
                ADD_FAILURE() << "got " << got.size() << " of " << n;
                break;
            }
            got.append(buffer.data(), count);
        }
        return got;
    }
    void Write(Handle h, const std::string& bytes) {
        comm::Overlapped ov;
        ov.hEvent = Event();
        std::uint32_t count = 0;
        std::uint32_t error = 0;
        if (!api_.WriteFile(h, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &count,
                            &ov)) {
            ASSERT_EQ(api_.GetLastError(), comm::ERROR_IO_PENDING);
            ASSERT_TRUE(Finish(h, ov, &count, &error)) << error;
        }
        EXPECT_EQ(count, bytes.size());
    }
    // The events of one WaitCommEvent under `mask` (5 s at most).
    std::uint32_t NextEvents(Handle h, std::uint32_t* error = nullptr) {
        comm::Overlapped ov;
        ov.hEvent = Event();
        std::uint32_t mask = 0;
        std::uint32_t count = 0;
        std::uint32_t e = 0;
        if (!api_.WaitCommEvent(h, &mask, &ov)) {
            e = api_.GetLastError();
            if (e == comm::ERROR_IO_PENDING) {
                Finish(h, ov, &count, &e);
            }
        }
        if (error != nullptr)
            *error = e;
        else
            EXPECT_EQ(e, 0u);
        return mask;
    }

    std::vector<Handle> open_;
    std::vector<Handle> events_;
};

// ---- Opening ---------------------------------------------------------------

TEST_F(NetCommApiTest, MalformedNamesAreRefusedAsNamesAndNameNothing) {
    for (const char* name : {"tcp://127.0.0.1:99999", "tcp://127.0.0.1", "rfc2217://[::1",
                             "tcp://host:0", "TCP://:80", "tcp://a b:1"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(OpenError(name), comm::ERROR_INVALID_NAME);
        EXPECT_EQ(comm::PortNamePresence(name), comm::TNamePresence::npAbsent);
    }
}

TEST_F(NetCommApiTest, OpenErrorsTellWhatWentWrong) {
    // A port nothing listens on: refused, for real.
    std::uint16_t closedPort = 0;
    {
        LoopbackTcpServer gone;
        closedPort = gone.Port();
    }
    EXPECT_EQ(OpenError("tcp://127.0.0.1:" + std::to_string(closedPort)), comm::WSAECONNREFUSED);
    EXPECT_EQ(OpenError("rfc2217://127.0.0.1:" + std::to_string(closedPort)),
              comm::WSAECONNREFUSED);

    // What the resolver and the connect say, as the OS says it.
    struct Row {
        int lookup;
        int connect;
        std::uint32_t error;
        int errnoBehind;
    };
    const Row rows[] = {
        {EAI_NONAME, 0, comm::WSAHOST_NOT_FOUND, 0},  {EAI_FAIL, 0, comm::WSAHOST_NOT_FOUND, 0},
        {EAI_AGAIN, 0, comm::WSATRY_AGAIN, 0},        {0, ENETUNREACH, comm::WSAENETUNREACH, 0},
        {0, EHOSTUNREACH, comm::WSAEHOSTUNREACH, 0},  {0, ETIMEDOUT, comm::WSAETIMEDOUT, 0},
        {0, ECONNREFUSED, comm::WSAECONNREFUSED, 0},  {0, EMFILE, comm::ERROR_GEN_FAILURE, EMFILE},
        {0, ENFILE, comm::ERROR_GEN_FAILURE, ENFILE},
    };
    LoopbackTcpServer server;
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.lookup) + "/" + std::to_string(row.connect));
        comm::net::SetSocketFaults(
            {[&](const std::string&) { return row.lookup; }, [&] { return row.connect; }});
        const std::string name = row.lookup != 0 ? "tcp://sign-17.example:4001" : server.Name();
        EXPECT_EQ(OpenError(name), row.error);
        EXPECT_EQ(comm::posix::ErrnoBehind(row.error), row.errnoBehind);
    }
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

TEST_F(NetCommApiTest, ASlowNameServerOrASilentHostEndsTheOpenInTime) {
    comm::net::SetConnectTimeout(300ms);
    // A name server that answers only when the test lets it: the open gives
    // up at its time-out, and the answer that comes after touches nothing
    // freed (AddressSanitizer watches).
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
    comm::net::SetSocketFaults({[&](const std::string&) {
                                    std::unique_lock<std::mutex> lock(mutex);
                                    cv.wait(lock, [&] { return release; });
                                    return EAI_NONAME;
                                },
                                {}});
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenError("tcp://slow.example:4001"), comm::WSATRY_AGAIN);
    EXPECT_GE(MsSince(start), 250u);
    EXPECT_LT(MsSince(start), 1500u);
    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    cv.notify_all();

    // A host that never answers the connect: a listener whose queue is full
    // drops the next ones.
    comm::net::SetSocketFaults({});
    LoopbackTcpServer full(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(full.Port());
        ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(fd);
    }
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(OpenError(full.Name()), comm::WSAETIMEDOUT);
    EXPECT_GE(MsSince(start), 250u);
    EXPECT_LT(MsSince(start), 1500u);
    for (int fd : fillers)
        ::close(fd);
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
             while (!stop && s.TrySend(flood)) {
                 pollfd p{-1, 0, 0};
                 ::poll(&p, 0, 1);
             }
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

comm::DCB MakeDcb(std::uint32_t baud, std::uint8_t size, std::uint8_t parity, std::uint8_t stop,
                  std::uint32_t flags) {
    comm::DCB dcb;
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = baud;
    dcb.ByteSize = size;
    dcb.Parity = parity;
    dcb.StopBits = stop;
    dcb.Flags = comm::DCB_fBinary | flags;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

constexpr std::uint32_t kDtrOn = 1u << comm::DCB_fDtrControlShift;
constexpr std::uint32_t kDtrHandshake = 2u << comm::DCB_fDtrControlShift;
constexpr std::uint32_t kRtsOn = 1u << comm::DCB_fRtsControlShift;
constexpr std::uint32_t kRtsHandshake = 2u << comm::DCB_fRtsControlShift;
constexpr std::uint32_t kRtsToggle = 3u << comm::DCB_fRtsControlShift;

// The server's answer to a command: the same with the code + 100.
std::string Answer(const std::string& command) {
    std::string a = command;
    a[3] = static_cast<char>(static_cast<unsigned char>(a[3]) + 100);
    return a;
}

TEST_F(NetCommApiTest, SetCommStateSendsTheLineAndWaitsForEachAnswer) {
    struct Row {
        const char* what;
        comm::DCB dcb;
        std::vector<std::string> wire;
    };
    const Row rows[] = {
        {"9600 8N1, DTR and RTS on",
         MakeDcb(9600, 8, 0, 0, kDtrOn | kRtsOn),
         {Sb(1, B({0, 0, 0x25, 0x80})), Sb(2, B({8})), Sb(3, B({1})), Sb(4, B({1})), Sb(5, B({1})),
          Sb(5, B({8})), Sb(5, B({11}))}},
        {"115200 7E2, hardware flow, DTR off",
         MakeDcb(115200, 7, 2, 2, kRtsHandshake | comm::DCB_fOutxCtsFlow),
         {Sb(1, B({0, 1, 0xC2, 0})), Sb(2, B({7})), Sb(3, B({3})), Sb(4, B({2})), Sb(5, B({3})),
          Sb(5, B({9}))}},
        {"19200 5O1.5, XON/XOFF, DTR handshake, RTS off",
         MakeDcb(19200, 5, 1, 1, comm::DCB_fOutX | comm::DCB_fInX | kDtrHandshake),
         {Sb(1, B({0, 0, 0x4B, 0})), Sb(2, B({5})), Sb(3, B({2})), Sb(4, B({3})), Sb(5, B({2})),
          Sb(5, B({8})), Sb(5, B({12}))}},
        {"255 baud (IAC in the value), mark parity, RTS toggle",
         MakeDcb(255, 6, 3, 0, kRtsToggle),
         {Sb(1, B({0, 0, 0, 255, 255})), Sb(2, B({6})), Sb(3, B({4})), Sb(4, B({1})), Sb(5, B({1})),
          Sb(5, B({9}))}},
        {"space parity",
         MakeDcb(1200, 8, 4, 2, kRtsOn),
         {Sb(1, B({0, 0, 4, 0xB0})), Sb(2, B({8})), Sb(3, B({5})), Sb(4, B({2})), Sb(5, B({1})),
          Sb(5, B({9})), Sb(5, B({11}))}},
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
    const std::string firstWire = Sb(1, B({0, 0, 0x25, 0x80})) + Sb(2, B({8})) + Sb(3, B({1})) +
                                  Sb(4, B({1})) + Sb(5, B({1})) + Sb(5, B({8})) + Sb(5, B({11}));
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
        EXPECT_TRUE(api_.PurgeComm(h, row.flags));
        if (!row.wire.empty()) {
            EXPECT_EQ(Hex(server.Receive(row.wire.size())), Hex(row.wire));
        }
    }
    EXPECT_EQ(server.ReceiveAvailable(50), "");
    comm::COMSTAT stat;
    ASSERT_TRUE(api_.ClearCommError(h, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_FALSE(api_.PurgeComm(h, 0x10));
    EXPECT_EQ(api_.GetLastError(), comm::ERROR_INVALID_PARAMETER);
}

// ---- Data ------------------------------------------------------------------------------

TEST_F(NetCommApiTest, DataWithIacCrossesBothWays) {
    const std::string data("a\xFF"
                           "b\r\n\x00\xFF",
                           7);
    {
        SCOPED_TRACE("rfc2217");
        LoopbackTcpServer server;
        const Handle h = OpenRfc2217(server);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        // IAC doubled on the wire, a notification in the middle of the data.
        server.Send(std::string("a\xFF\xFF"
                                "b",
                                4) +
                    Sb(107, B({0x10})) + std::string("\r\n\x00\xFF\xFF", 5));
        EXPECT_EQ(Hex(ReadBytes(h, data.size())), Hex(data));
        Write(h, data);
        EXPECT_EQ(Hex(server.Receive(9)), Hex(std::string("a\xFF\xFF"
                                                          "b\r\n\x00\xFF\xFF",
                                                          9)));
    }
    {
        SCOPED_TRACE("raw");
        LoopbackTcpServer server;
        const Handle h = OpenRaw(server);
        server.Send(data);
        EXPECT_EQ(Hex(ReadBytes(h, data.size())), Hex(data));
        Write(h, data);
        EXPECT_EQ(Hex(server.Receive(data.size())), Hex(data));
    }
}

TEST_F(NetCommApiTest, InputBeyondTheQueueIsDroppedOrHeldByFlowControl) {
    std::string stream;
    for (int i = 0; i < 64 * 1024; ++i)
        stream += static_cast<char>(i * 7 % 251);
    {
        SCOPED_TRACE("no flow control: the oldest 4096 bytes kept, CE_RXOVER");
        LoopbackTcpServer server;
        const Handle h = OpenRaw(server);
        ASSERT_TRUE(api_.SetCommMask(h, comm::EV_RXCHAR));
        server.Send(stream);
        server.Close();
        std::uint32_t error = 0;
        for (int i = 0; i < 1000 && error == 0; ++i)
            NextEvents(h, &error);
        EXPECT_EQ(error, comm::ERROR_DEVICE_REMOVED);
        std::uint32_t errors = 0;
        comm::COMSTAT stat;
        ASSERT_TRUE(api_.ClearCommError(h, &errors, &stat));
        EXPECT_EQ(errors, comm::CE_RXOVER | comm::CE_IOE);
        EXPECT_EQ(stat.cbInQue, 4096u);
        EXPECT_EQ(ReadBytes(h, 4096), stream.substr(0, 4096));
    }
    for (const std::uint32_t flow : {comm::DCB_fInX, kRtsHandshake}) {
        SCOPED_TRACE("flow control: nothing lost");
        LoopbackTcpServer server;
        const Handle h = OpenRaw(server);
        const comm::DCB dcb = MakeDcb(9600, 8, 0, 0, flow);
        ASSERT_TRUE(api_.SetCommState(h, &dcb));
        std::thread send([&] { server.Send(stream); });
        EXPECT_EQ(ReadBytes(h, stream.size()), stream);
        send.join();
        std::uint32_t errors = 0;
        ASSERT_TRUE(api_.ClearCommError(h, &errors, nullptr));
        EXPECT_EQ(errors, 0u);
    }
}

TEST_F(NetCommApiTest, ReadsEndByTheirTimeouts) {
    LoopbackTcpServer server;
    const Handle h = OpenRaw(server);
    struct Row {
        std::uint32_t interval, multiplier, constant;
        std::string sent;
        std::uint32_t count;
        std::uint32_t got;
        std::uint32_t atLeastMs;
    };
    const Row rows[] = {
        {0, 0, 200, "ab", 10, 2, 180},              // total: ends with what came
        {comm::MAXDWORD, 0, 0, "", 10, 0, 0},       // at once, empty
        {comm::MAXDWORD, 0, 3000, "xyz", 10, 3, 0}, // first byte: ends with it
        {50, 0, 0, "pq", 10, 2, 40},                // the interval after the bytes
        {0, 10, 100, "", 10, 0, 180},               // multiplier x count + constant
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.interval) + "/" + std::to_string(row.constant));
        SetTimeouts(h, row.interval, row.multiplier, row.constant);
        if (!row.sent.empty())
            server.Send(row.sent);
        // The bytes in the queue before the read starts, where they are sent.
        if (!row.sent.empty() && row.interval != comm::MAXDWORD) {
            comm::COMSTAT stat;
            for (int i = 0; i < 2000 && stat.cbInQue < row.sent.size(); ++i) {
                ASSERT_TRUE(api_.ClearCommError(h, nullptr, &stat));
                std::this_thread::yield();
            }
        }
        std::string buffer(row.count, '\0');
        comm::Overlapped ov;
        ov.hEvent = Event();
        std::uint32_t count = 0;
        std::uint32_t error = 0;
        const auto start = std::chrono::steady_clock::now();
        if (!api_.ReadFile(h, buffer.data(), row.count, &count, &ov)) {
            ASSERT_EQ(api_.GetLastError(), comm::ERROR_IO_PENDING);
            EXPECT_TRUE(Finish(h, ov, &count, &error)) << error;
        }
        EXPECT_GE(MsSince(start), row.atLeastMs);
        EXPECT_EQ(count, row.got);
        EXPECT_EQ(buffer.substr(0, count), row.sent.substr(0, count));
    }
}

TEST_F(NetCommApiTest, WritesEndWhenTheSocketTookThem) {
    LoopbackTcpServer server;
    const Handle h = OpenRaw(server);
    ASSERT_TRUE(api_.SetCommMask(h, comm::EV_TXEMPTY));
    Write(h, "hello");
    EXPECT_EQ(NextEvents(h), comm::EV_TXEMPTY);
    EXPECT_EQ(server.Receive(5), "hello");

    // A server that reads nothing: the write times out with what went.
    server.ShrinkReceiveBuffer();
    SetTimeouts(h, 0, 0, 0, 300);
    const std::string big(32u << 20, 'w');
    comm::Overlapped ov;
    ov.hEvent = Event();
    std::uint32_t count = 0;
    std::uint32_t error = 0;
    ASSERT_FALSE(
        api_.WriteFile(h, big.data(), static_cast<std::uint32_t>(big.size()), &count, &ov));
    ASSERT_EQ(api_.GetLastError(), comm::ERROR_IO_PENDING);
    EXPECT_TRUE(Finish(h, ov, &count, &error));
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, big.size());
}

// ---- The device gone, closing -------------------------------------------------------

TEST_F(NetCommApiTest, AServerThatClosesIsTheDeviceGone) {
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "closed");
        LoopbackTcpServer server;
        const Handle h = OpenRaw(server);
        const std::string name = server.Name();
        SetTimeouts(h, 0, 0, 0);
        ASSERT_TRUE(api_.SetCommMask(h, comm::EV_RXFLAG));
        server.Send("ab");
        EXPECT_EQ(ReadBytes(h, 1), "a");
        SetTimeouts(h, 0, 0, 0);

        char buffer[8];
        comm::Overlapped readOv;
        readOv.hEvent = Event();
        std::uint32_t count = 0;
        ASSERT_FALSE(api_.ReadFile(h, buffer, sizeof buffer, &count, &readOv));
        ASSERT_EQ(api_.GetLastError(), comm::ERROR_IO_PENDING);
        comm::Overlapped waitOv;
        waitOv.hEvent = Event();
        std::uint32_t mask = 0;
        ASSERT_FALSE(api_.WaitCommEvent(h, &mask, &waitOv));
        ASSERT_EQ(api_.GetLastError(), comm::ERROR_IO_PENDING);
        EXPECT_EQ(comm::PortNamePresence(name.c_str()), comm::TNamePresence::npPresent);

        server.Close(reset);
        std::uint32_t error = 0;
        // The read had a byte: it ends with it; the wait with the device gone.
        EXPECT_TRUE(Finish(h, readOv, &count, &error));
        EXPECT_EQ(count, 1u);
        EXPECT_FALSE(Finish(h, waitOv, &count, &error));
        EXPECT_EQ(error, comm::ERROR_DEVICE_REMOVED);

        EXPECT_FALSE(api_.ReadFile(h, buffer, 1, &count, nullptr));
        EXPECT_EQ(api_.GetLastError(), comm::ERROR_DEVICE_REMOVED);
        EXPECT_FALSE(api_.WriteFile(h, "x", 1, &count, nullptr));
        EXPECT_EQ(api_.GetLastError(), comm::ERROR_DEVICE_REMOVED);
        comm::DCB dcb = MakeDcb(9600, 8, 0, 0, 0);
        EXPECT_FALSE(api_.SetCommState(h, &dcb));
        EXPECT_EQ(api_.GetLastError(), comm::ERROR_DEVICE_REMOVED);
        std::uint32_t errors = 0;
        EXPECT_TRUE(api_.ClearCommError(h, &errors, nullptr));
        EXPECT_EQ(errors, comm::CE_IOE);
        EXPECT_EQ(comm::PortNamePresence(name.c_str()), comm::TNamePresence::npAbsent);
        Close(h);
        EXPECT_EQ(comm::PortNamePresence(name.c_str()), comm::TNamePresence::npPresent);
    }
}

TEST_F(NetCommApiTest, ClosingEndsWhatIsPendingAndTheConnection) {
    LoopbackTcpServer server;
    const Handle h = OpenRfc2217(server);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    SetTimeouts(h, 0, 0, 0);
    ASSERT_TRUE(api_.SetCommMask(h, comm::EV_RXFLAG));
    char buffer[8];
    comm::Overlapped readOv, waitOv, writeOv;
    readOv.hEvent = Event();
    waitOv.hEvent = Event();
    writeOv.hEvent = Event();
    std::uint32_t count = 0;
    std::uint32_t mask = 0;
    EXPECT_FALSE(api_.ReadFile(h, buffer, sizeof buffer, &count, &readOv));
    EXPECT_FALSE(api_.WaitCommEvent(h, &mask, &waitOv));
    // More than the sockets' buffers hold while the server reads nothing.
    const std::string big(32u << 20, 'w');
    EXPECT_FALSE(
        api_.WriteFile(h, big.data(), static_cast<std::uint32_t>(big.size()), &count, &writeOv));
    Close(h);
    for (comm::Overlapped* ov : {&readOv, &waitOv, &writeOv}) {
        EXPECT_EQ(api_.WaitForSingleObject(ov->hEvent, 0), comm::WAIT_OBJECT_0);
        EXPECT_EQ(ov->Internal, comm::ERROR_OPERATION_ABORTED);
    }
    EXPECT_TRUE(server.PeerClosed());
    EXPECT_FALSE(api_.ReadFile(h, buffer, 1, &count, nullptr));
    EXPECT_EQ(api_.GetLastError(), comm::ERROR_INVALID_HANDLE);
    EXPECT_FALSE(api_.CloseHandle(h));
}

} // namespace
