// The network backend's transfers against servers the test plays on
// 127.0.0.1: data both ways with 0xFF on rfc2217:// and tcp://, the input
// queue with and without flow control, read and write time-outs by the
// driver's rules, the device gone when the server closes mid-read and
// mid-wait, and closing with transfers pending.
#include "tests/serial/driver/NetCommApiTest.h"

namespace net_test {
namespace {

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

TEST_F(NetCommApiTest, AServerThatFloodsAndReadsNothingIsHeldNotBuffered) {
    LoopbackTcpServer server;
    const Handle h = OpenRfc2217(server);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // BINARY turned off and on again and again: each change is answered
    // (RFC 1143), and the server reads none of the answers.
    std::string flood;
    while (flood.size() < (64u << 10))
        flood += B({255, 252, 0, 255, 251, 0});
    std::size_t sent = 0;
    std::size_t took = 1;
    // The connection stops taking more once the answers have piled up:
    // what is in flight is the sockets' buffers, not the port's memory.
    while (took != 0 && sent < (256u << 20)) {
        took = server.SendWithin(flood, 500);
        sent += took;
    }
    EXPECT_EQ(took, 0u) << sent << " bytes taken";
    std::uint32_t errors = 0;
    comm::COMSTAT stat;
    EXPECT_TRUE(api_.ClearCommError(h, &errors, &stat));
    // The answers the port holds: its backlog and one batch beyond it.
    EXPECT_LT(stat.cbOutQue, 128u << 10);
    EXPECT_LT(sent, 96u << 20); // the sockets' buffers at most
    const auto start = std::chrono::steady_clock::now();
    Close(h);
    EXPECT_LT(MsSince(start), 1000u);
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
} // namespace net_test
