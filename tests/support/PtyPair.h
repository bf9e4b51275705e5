#pragma once
// A pseudo-terminal pair for the port tests: the port opens the slave through
// a symlink made in a temporary folder; the test plays the far end on the
// master. Never a real serial device. Sending or receiving that makes no
// progress for 20 s gives up and records a test failure.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace rc_test {

class PtyPair {
public:
    PtyPair() {
        char name[256] = {};
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        termios t{};
        ::tcgetattr(master_, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master_, TCSANOW, &t);
        ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
        ::fcntl(master_, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave_, F_SETFD, FD_CLOEXEC);
        char dir[] = "/tmp/rc-port-XXXXXX";
        if (::mkdtemp(dir) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = dir;
        link_ = dir_ + "/port";
        if (::symlink(name, link_.c_str()) != 0)
            throw std::runtime_error("symlink failed");
    }
    ~PtyPair() {
        CloseMaster();
        if (slave_ >= 0)
            ::close(slave_);
        ::unlink(link_.c_str());
        ::rmdir(dir_.c_str());
    }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The port name to give the component (a path: the symlink to the slave).
    const std::string& PortName() const { return link_; }
    // The same as the communications interface takes it: "\\.\" + name.
    std::string FileName() const { return "\\\\.\\" + link_; }
    int Master() const { return master_; }
    // The slave opened by the pair itself, for reading back the driver's settings.
    int Slave() const { return slave_; }
    void CloseMaster() {
        if (master_ >= 0)
            ::close(master_);
        master_ = -1;
    }

    // Writes all bytes at the far end.
    bool Send(const std::string& bytes) const { return SendBytes(bytes.data(), bytes.size()); }
    bool SendBytes(const void* data, std::size_t size) const {
        const auto* p = static_cast<const std::uint8_t*>(data);
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (size > 0 && Clock::now() < deadline) {
            const ssize_t n = ::write(master_, p, size);
            if (n > 0) {
                p += n;
                size -= static_cast<std::size_t>(n);
                deadline = Clock::now() + std::chrono::seconds(20);
            } else {
                pollfd fd{master_, POLLOUT, 0};
                ::poll(&fd, 1, 100);
            }
        }
        if (size != 0)
            ADD_FAILURE() << "far end could not send";
        return size == 0;
    }
    // Reads n bytes at the far end, waiting at most 20 s.
    std::string Receive(std::size_t n) const {
        std::string out;
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (out.size() < n && Clock::now() < deadline) {
            char buf[65536];
            const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
            if (r > 0) {
                out.append(buf, static_cast<std::size_t>(r));
            } else {
                pollfd fd{master_, POLLIN, 0};
                ::poll(&fd, 1, 100);
            }
        }
        return out;
    }

private:
    using Clock = std::chrono::steady_clock;
    int master_ = -1;
    int slave_ = -1;
    std::string dir_;
    std::string link_;
};

} // namespace rc_test
