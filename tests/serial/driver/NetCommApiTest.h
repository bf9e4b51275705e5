#pragma once
// The network backend's tests share this: the fixture that opens ports on
// servers the test plays on 127.0.0.1 (tests/support/LoopbackTcpServer.h),
// and the RFC 854 / 2217 bytes written out by hand, never made with the
// code under test.
#include "serial/driver/CommApi.h"
#include "serial/driver/NetCommApi.h"
#include "serial/driver/NetSocket.h"
#include "tests/support/LoopbackTcpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace net_test {

using namespace std::chrono_literals;
using comm::Handle;
using comm::INVALID_HANDLE_VALUE;
using rc_test::LoopbackTcpServer;

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
inline std::string Sb(int code, const std::string& value) {
    return std::string("\xFF\xFA\x2C", 3) + static_cast<char>(code) + value + "\xFF\xF0";
}
inline std::string B(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s += static_cast<char>(b);
    return s;
}

inline std::string Hex(const std::string& bytes) {
    std::string out;
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

inline std::uint32_t MsSince(std::chrono::steady_clock::time_point start) {
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

inline comm::DCB MakeDcb(std::uint32_t baud, std::uint8_t size, std::uint8_t parity,
                         std::uint8_t stop, std::uint32_t flags) {
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
inline std::string Answer(const std::string& command) {
    std::string a = command;
    a[3] = static_cast<char>(static_cast<unsigned char>(a[3]) + 100);
    return a;
}

} // namespace net_test
