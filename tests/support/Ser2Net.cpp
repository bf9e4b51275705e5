// ser2net started by a test: see Ser2Net.h.

#include "tests/support/Ser2Net.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

extern char** environ;

namespace rc_test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int kAttempts = 5;
constexpr auto kStartDeadline = std::chrono::seconds(10);
// What ser2net logs when an accepter cannot listen (and it runs on without it).
constexpr const char* kPortFailed = "Unable to startup network port";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The inodes of the sockets listening on 127.0.0.1:port (/proc/net/tcp).
std::set<unsigned long> ListenersOn(std::uint16_t port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::set<unsigned long> inodes;
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line); // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string sl, address, remote, state, queues, timer, retransmits, uid, timeout;
        unsigned long inode = 0;
        if (fields >> sl >> address >> remote >> state >> queues >> timer >> retransmits >> uid >>
                timeout >> inode &&
            address == local && state == "0A") // TCP_LISTEN
            inodes.insert(inode);
    }
    return inodes;
}

// The inodes of the sockets process pid holds.
std::set<unsigned long> SocketsOf(pid_t pid) {
    std::set<unsigned long> inodes;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(dir, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::error_code ignored;
        const std::string target = std::filesystem::read_symlink(it->path(), ignored).string();
        unsigned long inode = 0;
        if (std::sscanf(target.c_str(), "socket:[%lu]", &inode) == 1)
            inodes.insert(inode);
    }
    return inodes;
}

bool HeldBy(pid_t pid, std::uint16_t port) {
    const std::set<unsigned long> mine = SocketsOf(pid);
    for (unsigned long inode : ListenersOn(port))
        if (mine.count(inode) != 0)
            return true;
    return false;
}

// A path in a message: bytes outside printable ASCII as \xNN.
std::string Visible(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < ' ' || u >= 0x7F || c == '\\') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        } else {
            out += c;
        }
    }
    return out;
}

// A device path goes into a gensio string in YAML: no character that either
// would read as syntax.
void CheckDevicePath(const std::string& device) {
    if (device.empty() || device[0] != '/')
        throw std::runtime_error("ser2net: the device must be an absolute path: '" +
                                 Visible(device) + "'");
    for (const char c : device) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= ' ' || u >= 0x7F || std::strchr(",#\"'\\()[]{}:&*!|>%@`", c) != nullptr)
            throw std::runtime_error("ser2net: the device path has a character ser2net's "
                                     "configuration would read as syntax: '" +
                                     Visible(device) + "'");
    }
}

} // namespace

// Both sockets are bound before either is closed.
TPortPair TwoFreePorts() {
    int fds[2] = {-1, -1};
    std::uint16_t ports[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        fds[i] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fds[i] < 0 || ::bind(fds[i], reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::getsockname(fds[i], reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            const int e = errno;
            for (int fd : fds)
                if (fd >= 0)
                    ::close(fd);
            throw std::system_error(e, std::generic_category(), "no free port on 127.0.0.1");
        }
        ports[i] = ntohs(a.sin_port);
    }
    ::close(fds[0]);
    ::close(fds[1]);
    return {ports[0], ports[1]};
}

std::string Ser2NetProgram() {
    std::string path;
    if (const char* given = std::getenv("RC_SER2NET"); given != nullptr && *given != '\0') {
        path = given;
    } else {
        std::string cache;
        if (const char* c = std::getenv("RC_CACHE_DIR"); c != nullptr && *c != '\0') {
            cache = c;
        } else {
            const char* xdg = std::getenv("XDG_CACHE_HOME");
            const char* home = std::getenv("HOME");
            if (xdg != nullptr && *xdg != '\0')
                cache = std::string(xdg) + "/radar-configurator";
            else if (home != nullptr && *home != '\0')
                cache = std::string(home) + "/.cache/radar-configurator";
            else
                throw std::runtime_error("ser2net: neither RC_SER2NET, RC_CACHE_DIR, "
                                         "XDG_CACHE_HOME nor HOME is set: no place to find it");
        }
        path = cache + "/ser2net/usr/sbin/ser2net";
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || ::access(path.c_str(), X_OK) != 0)
        throw std::runtime_error("ser2net is not at " + path +
                                 " (run scripts/setup, which unpacks it there, or name it in "
                                 "RC_SER2NET): the network ports' tests need it");
    return path;
}

Ser2Net::Ser2Net(const std::string& device, const std::function<TPortPair()>& ports) {
    CheckDevicePath(device);
    const std::string program = Ser2NetProgram();
    char dir[] = "/tmp/rc-ser2net-XXXXXX";
    if (::mkdtemp(dir) == nullptr)
        throw std::system_error(errno, std::generic_category(), "ser2net: mkdtemp");
    dir_ = dir;
    config_ = dir_ + "/ser2net.yaml";
    log_ = dir_ + "/ser2net.log";
    std::string logs;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        try {
            if (Start(program, device, ports()) == Started::kReady)
                return;
        } catch (...) {
            Kill();
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
            throw;
        }
        logs += Log();
        Kill();
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    throw std::runtime_error("ser2net could not listen on free ports of 127.0.0.1 in " +
                             std::to_string(kAttempts) + " attempts; its log:\n" + logs);
}

Ser2Net::~Ser2Net() {
    Kill();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

Ser2Net::Started Ser2Net::Start(const std::string& program, const std::string& device,
                                TPortPair ports) {
    std::tie(rfc2217Port_, rawPort_) = ports;
    {
        // Both accepters on 127.0.0.1 alone; one connection at a time (a
        // second is refused while the device is in use, as on a real server).
        const std::string connector = "serialdev," + device + ",9600n81,local";
        const std::string options = "  options:\n"
                                    "    kickolduser: false\n"
                                    "    max-connections: 1\n"
                                    "    mdns: false\n";
        std::ofstream out(config_, std::ios::binary | std::ios::trunc);
        out << "%YAML 1.1\n---\n"
            << "connection: &rfc2217\n"
            << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << rfc2217Port_ << "\n"
            << "  connector: " << connector << "\n"
            << options << "\n"
            << "connection: &raw\n"
            << "  accepter: tcp,127.0.0.1," << rawPort_ << "\n"
            << "  connector: " << connector << "\n"
            << options;
        if (!out.flush())
            throw std::runtime_error("ser2net: cannot write " + config_);
    }
    // Everything the child needs, made before fork: after it, only calls
    // that are safe in a child of a threaded process.
    std::vector<std::string> args = {program, "-d", "-u", "-c", config_};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int logFd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int nullFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (logFd < 0 || nullFd < 0) {
        const int e = errno;
        if (logFd >= 0)
            ::close(logFd);
        if (nullFd >= 0)
            ::close(nullFd);
        throw std::system_error(e, std::generic_category(), "ser2net: cannot open its log");
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(nullFd, STDIN_FILENO);
        ::dup2(logFd, STDOUT_FILENO);
        ::dup2(logFd, STDERR_FILENO);
        // Nothing of the test's (the pty's master, sockets) reaches it.
        ::syscall(SYS_close_range, 3u, ~0u, 0u);
        ::chdir(dir_.c_str());
        ::execve(argv[0], argv.data(), environ);
        ::_exit(127);
    }
    const int forkErrno = errno;
    ::close(logFd);
    ::close(nullFd);
    if (pid < 0)
        throw std::system_error(forkErrno, std::generic_category(), "ser2net: fork");
    pid_ = pid;

    const auto deadline = Clock::now() + kStartDeadline;
    for (;;) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error(
                "ser2net ended as it started (" +
                std::string(WIFEXITED(status) ? "status " : "signal ") +
                std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status)) +
                "); its log:\n" + Log());
        }
        if (Log().find(kPortFailed) != std::string::npos)
            return Started::kPortTaken;
        if (HeldBy(pid_, rfc2217Port_) && HeldBy(pid_, rawPort_))
            return Started::kReady;
        if (Clock::now() >= deadline)
            throw std::runtime_error(
                "ser2net did not listen on 127.0.0.1:" + std::to_string(rfc2217Port_) +
                " and :" + std::to_string(rawPort_) + " within 10 s; its log:\n" + Log());
        // Nothing to wait on: the kernel's tables are looked at again.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string Ser2Net::Rfc2217Name() const {
    return "rfc2217://127.0.0.1:" + std::to_string(rfc2217Port_);
}

std::string Ser2Net::RawName() const {
    return "tcp://127.0.0.1:" + std::to_string(rawPort_);
}

void Ser2Net::Kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

std::string Ser2Net::Log() const {
    return ReadFile(log_);
}

} // namespace rc_test
