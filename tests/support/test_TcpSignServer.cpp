// The network signs' server, seen from a client socket: the replies and the
// sign's state per port, the delay, the ways a port ends a connection, many
// connections at once on each thread count.

#include "tests/support/TcpSignServer.h"

#include "sign/SignLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using rc_test::TcpSignServer;
using rc_test::TcpSignServerOptions;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kDeadline = 20s;

// A client connection to one port of the server.
class Client {
public:
    explicit Client(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~Client() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool Connected() const { return connected_; }
    void Send(const std::string& bytes) const {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // `count` bytes, or fewer when the connection ends or the deadline passes.
    std::string Receive(std::size_t count, Clock::duration within = kDeadline) {
        const auto deadline = Clock::now() + within;
        std::string got;
        while (got.size() < count) {
            if (!Readable(deadline))
                break;
            char buf[256];
            const ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, count - got.size()), 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    // True when the server closed the connection before the deadline.
    bool ClosedByServer() {
        const auto deadline = Clock::now() + kDeadline;
        while (!closed_ && Readable(deadline)) {
            char buf[256];
            if (::recv(fd_, buf, sizeof buf, 0) <= 0)
                closed_ = true;
        }
        return closed_;
    }

private:
    bool Readable(Clock::time_point deadline) const {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, left.count() < 0 ? 0 : static_cast<int>(left.count())) > 0;
    }
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
};

std::string ReadTime() {
    return sign::BuildFrame(sign::CmdReadTime, "");
}

TEST(TcpSignServer, AnswersEachCommandAsTheSignDoesOnEveryPort) {
    TcpSignServer server(3);
    ASSERT_EQ(server.Ports().size(), 3u);
    const sign::TSignClock clock{2026, 12, 7, 14, 35, 9};
    const struct {
        std::int32_t code;
        std::string payload;
        std::size_t replySize;
    } requests[] = {
        {sign::CmdSetTime, sign::SetTimePayload(clock), 6},
        {sign::CmdDownload, std::string(12, '\x01'), 6},
        {sign::CmdReadTime, "", sign::ClockReplySize},
    };
    for (std::size_t port = 0; port < 3; ++port) {
        EXPECT_EQ(server.Name(port), "tcp://127.0.0.1:" + std::to_string(server.Ports()[port]));
        Client client(server.Ports()[port]);
        ASSERT_TRUE(client.Connected());
        for (const auto& r : requests) {
            SCOPED_TRACE("port " + std::to_string(port) + " code " + std::to_string(r.code));
            client.Send(sign::BuildFrame(r.code, r.payload));
            const std::string reply = client.Receive(r.replySize);
            if (r.code == sign::CmdReadTime) {
                ASSERT_EQ(reply.size(), sign::ClockReplySize);
                const auto read = sign::ReplyClock(reply);
                ASSERT_TRUE(read.has_value());
                // Set a moment ago on this port: the same minute.
                EXPECT_EQ(read->Year, 2026);
                EXPECT_EQ(read->Hour, 14);
                EXPECT_EQ(read->Minute, 35);
            } else {
                EXPECT_EQ(reply, sign::BuildReply(r.code));
            }
        }
    }
    EXPECT_EQ(server.Requests(), 9u);
    EXPECT_EQ(server.Replies(), 9u);
    EXPECT_EQ(server.Connections(), 3u);
}

TEST(TcpSignServer, KeepsEachSignsClockAcrossConnectionsAndApartFromTheOthers) {
    TcpSignServer server(2);
    {
        Client first(server.Ports()[0]);
        first.Send(sign::BuildFrame(sign::CmdSetTime, sign::SetTimePayload({2031, 3, 4, 5, 6, 7})));
        ASSERT_EQ(first.Receive(6).size(), 6u);
    }
    Client again(server.Ports()[0]);
    again.Send(ReadTime());
    const auto kept = sign::ReplyClock(again.Receive(sign::ClockReplySize));
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ(kept->Year, 2031);
    Client other(server.Ports()[1]);
    other.Send(ReadTime());
    const auto untouched = sign::ReplyClock(other.Receive(sign::ClockReplySize));
    ASSERT_TRUE(untouched.has_value());
    EXPECT_NE(untouched->Year, 2031);
}

TEST(TcpSignServer, StoppedClockAnswersItsBytesAndRequestsSplitOrNoisyAreFound) {
    const std::string bytes("\x26\x12\x07\x14\x35\x09", 6);
    TcpSignServerOptions stopped;
    stopped.ClockBytes = bytes;
    TcpSignServer server(stopped);
    Client client(server.Ports()[0]);
    // Junk before the frame and the frame in two pieces: one request.
    const std::string frame = ReadTime();
    client.Send("\x01\x02" + frame.substr(0, 3));
    client.Send(frame.substr(3));
    const std::string reply = client.Receive(sign::ClockReplySize);
    EXPECT_EQ(sign::ClockText(reply), "12/07 2026  14:35");
    EXPECT_EQ(server.Requests(), 1u);
}

TEST(TcpSignServer, ReplyWaitsForTheDelay) {
    const auto delay = 200ms;
    TcpSignServer server(1, delay);
    Client client(server.Ports()[0]);
    const auto sent = Clock::now();
    client.Send(ReadTime());
    EXPECT_EQ(client.Receive(sign::ClockReplySize).size(), sign::ClockReplySize);
    EXPECT_GE(Clock::now() - sent, delay);
}

TEST(TcpSignServer, SilentPortTakesRequestsAndAnswersNone) {
    TcpSignServerOptions silent;
    silent.OnRequest = TcpSignServerOptions::Silent;
    TcpSignServer server(silent);
    Client client(server.Ports()[0]);
    client.Send(ReadTime());
    client.Send(ReadTime());
    // Both taken (counted) before anything could have come back.
    const auto deadline = Clock::now() + kDeadline;
    while (server.Requests() < 2 && Clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(server.Requests(), 2u);
    EXPECT_EQ(client.Receive(1, 100ms), "");
    EXPECT_EQ(server.Replies(), 0u);
}

TEST(TcpSignServer, ConnectionsEndAsADeviceServerEndsThem) {
    {
        SCOPED_TRACE("closed on a request");
        TcpSignServerOptions closing;
        closing.OnRequest = TcpSignServerOptions::Close;
        TcpSignServer server(closing);
        Client client(server.Ports()[0]);
        client.Send(ReadTime());
        EXPECT_TRUE(client.ClosedByServer());
        // The port still listens.
        Client next(server.Ports()[0]);
        EXPECT_TRUE(next.Connected());
    }
    {
        SCOPED_TRACE("all dropped, ports go on");
        TcpSignServerOptions two;
        two.Ports = 2;
        two.Threads = 2;
        TcpSignServer server(two);
        Client a(server.Ports()[0]);
        Client b(server.Ports()[1]);
        a.Send(ReadTime());
        ASSERT_EQ(a.Receive(sign::ClockReplySize).size(), sign::ClockReplySize);
        server.CloseConnections();
        EXPECT_TRUE(a.ClosedByServer());
        EXPECT_TRUE(b.ClosedByServer());
        Client c(server.Ports()[1]);
        c.Send(ReadTime());
        EXPECT_EQ(c.Receive(sign::ClockReplySize).size(), sign::ClockReplySize);
    }
    {
        SCOPED_TRACE("stopped with clients connected and a reply pending");
        auto server = std::make_unique<TcpSignServer>(1, 10s);
        Client client(server->Ports()[0]);
        client.Send(ReadTime());
        server->Stop();
        EXPECT_TRUE(client.ClosedByServer());
        server->Stop(); // again: nothing
        server.reset();
    }
}

TEST(TcpSignServer, ServesManyConnectionsAtOnce) {
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        constexpr std::size_t kSigns = 50;
        TcpSignServerOptions options;
        options.Ports = kSigns;
        options.Delay = 50ms;
        options.Threads = threads;
        TcpSignServer server(options);
        std::vector<std::unique_ptr<Client>> clients;
        for (std::size_t i = 0; i < kSigns; ++i) {
            // Two connections on each port.
            for (int k = 0; k < 2; ++k) {
                clients.push_back(std::make_unique<Client>(server.Ports()[i]));
                ASSERT_TRUE(clients.back()->Connected());
                clients.back()->Send(ReadTime());
            }
        }
        for (auto& c : clients)
            EXPECT_EQ(c->Receive(sign::ClockReplySize).size(), sign::ClockReplySize);
        EXPECT_EQ(server.Replies(), 2 * kSigns);
    }
}

TEST(TcpSignServer, ReplyToAClientThatNeverReadsIsBoundedAndOthersGoOn) {
    TcpSignServer server;
    Client hog(server.Ports()[0]);
    // Far more requests than the socket buffers hold replies for.
    std::string many;
    for (int i = 0; i < 40000; ++i)
        many += ReadTime();
    hog.Send(many);
    Client polite(server.Ports()[0]);
    polite.Send(ReadTime());
    EXPECT_EQ(polite.Receive(sign::ClockReplySize).size(), sign::ClockReplySize);
}

} // namespace
