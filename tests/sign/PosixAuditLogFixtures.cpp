#include "tests/sign/AuditLogFixtures.h"

#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace rc_test {

std::vector<int> RunCopiesOfThisProgram(const std::string& variable,
                                        const std::vector<std::string>& values) {
    std::vector<std::unique_ptr<ChildProcess>> children;
    std::vector<int> statuses(values.size(), -1);
    for (const std::string& value : values) {
        try {
            children.push_back(std::make_unique<ChildProcess>(
                "/proc/self/exe", std::vector<std::string>{}, std::vector{variable + "=" + value}));
        } catch (const std::exception&) {
            children.push_back(nullptr);
        }
    }
    for (std::size_t i = 0; i < children.size(); ++i)
        if (children[i] != nullptr)
            statuses[i] = children[i]->Wait();
    return statuses;
}

TAuditLockHolder::TAuditLockHolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << path;
    FHandle = fd;
}

TAuditLockHolder::~TAuditLockHolder() {
    if (FHandle >= 0)
        ::close(static_cast<int>(FHandle));
}

namespace {

// A descriptor kept open; what can be read from it without waiting is what
// reached it.
class TKeptFd : public TKept {
public:
    explicit TKeptFd(int fd) : fd_(fd) {}
    ~TKeptFd() override {
        if (fd_ >= 0)
            ::close(fd_);
    }
    std::string Received() override {
        std::string got;
        char buffer[512];
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0)
                return got;
            got.append(buffer, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
};

std::string Made(const fs::path& folder, bool ok, std::string& skip, const char* call) {
    if (ok)
        return folder.string();
    skip = std::string(call) + " failed: " + std::strerror(errno);
    return {};
}

} // namespace

std::vector<TNotALog> PlatformNotALogs() {
    using TMake = decltype(TNotALog::Make);
    const auto row = [](const char* name, const char* what, TMake make) {
        return TNotALog{name, what, std::move(make)};
    };
    return {
        row("a symbolic link to a file", "a symbolic link",
            [](const fs::path& tmp, const fs::path& elsewhere, std::unique_ptr<TKept>&,
               std::string& skip) {
                return Made(
                    tmp,
                    ::symlink((elsewhere / "target.csv").c_str(), (tmp / "audit.csv").c_str()) == 0,
                    skip, "symlink");
            }),
        row("a symbolic link to nothing yet", "a symbolic link",
            [](const fs::path& tmp, const fs::path& elsewhere, std::unique_ptr<TKept>&,
               std::string& skip) {
                return Made(
                    tmp,
                    ::symlink((elsewhere / "new.csv").c_str(), (tmp / "audit.csv").c_str()) == 0,
                    skip, "symlink");
            }),
        row("a FIFO without a reader", "a FIFO",
            [](const fs::path& tmp, const fs::path&, std::unique_ptr<TKept>&, std::string& skip) {
                return Made(tmp, ::mkfifo((tmp / "audit.csv").c_str(), 0644) == 0, skip, "mkfifo");
            }),
        row("a FIFO with a reader", "a FIFO",
            [](const fs::path& tmp, const fs::path&, std::unique_ptr<TKept>& kept,
               std::string& skip) {
                const std::string path = (tmp / "audit.csv").string();
                if (::mkfifo(path.c_str(), 0644) != 0)
                    return Made(tmp, false, skip, "mkfifo");
                const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                kept = std::make_unique<TKeptFd>(fd);
                return Made(tmp, fd >= 0, skip, "open");
            }),
        // /dev/null's numbers: a write there would vanish, a test that
        // failed would show nothing else; the log must not open it at all.
        row("a character device", "a character device",
            [](const fs::path& tmp, const fs::path&, std::unique_ptr<TKept>&, std::string& skip) {
                return Made(
                    tmp, ::mknod((tmp / "audit.csv").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0,
                    skip, "mknod (root only)");
            }),
        row("a socket", "a socket",
            [](const fs::path& tmp, const fs::path&, std::unique_ptr<TKept>& kept,
               std::string& skip) {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
                kept = std::make_unique<TKeptFd>(fd);
                sockaddr_un address{};
                address.sun_family = AF_UNIX;
                const std::string path = (tmp / "audit.csv").string();
                if (path.size() >= sizeof address.sun_path)
                    return Made(tmp, false, skip, "a socket's path too long");
                std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
                return Made(tmp,
                            fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address),
                                              sizeof address) == 0,
                            skip, "bind");
            }),
    };
}

} // namespace rc_test
