#pragma once
// A program run by a test or a benchmark: stdout through a pipe, read line by
// line with a deadline; stderr to a file, read whole. Killed at the end if
// still running. Every wait gives up after 20 s. Needs no test framework.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

extern char** environ;

namespace rc_test {

using ChildClock = std::chrono::steady_clock;

// Milliseconds until deadline, at least 0, for poll().
inline int MsLeft(ChildClock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - ChildClock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Waits for fd to become readable until deadline.
inline bool Readable(int fd, ChildClock::time_point deadline) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        const int n = ::poll(&p, 1, MsLeft(deadline));
        if (n >= 0 || errno != EINTR)
            return n > 0;
    }
}

class ChildProcess {
public:
    static constexpr std::chrono::seconds kDeadline{20};

    // Starts program with args; env entries ("NAME=value") come before the
    // test's own environment.
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {}) {
        char dir[] = "/tmp/rc-child-XXXXXX";
        if (::mkdtemp(dir) == nullptr)
            throw std::runtime_error("mkdtemp failed");
        dir_ = dir;
        errFile_ = dir_ + "/stderr";
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<std::string> all = {program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> envText = env;
        for (char** e = environ; *e != nullptr; ++e)
            envText.emplace_back(*e);
        std::vector<char*> envp;
        for (std::string& e : envText)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        started_ = ChildClock::now();
        const int rc =
            ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        out_ = out[0];
        if (rc != 0)
            throw std::runtime_error("cannot start " + program);
    }
    ~ChildProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        ::close(out_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // The next line on stdout; empty at its end or after the deadline.
    std::string StdoutLine() {
        const auto deadline = ChildClock::now() + kDeadline;
        for (;;) {
            if (const std::size_t nl = buffer_.find('\n'); nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            if (!Fill(deadline))
                return {};
        }
    }
    // What has come on stdout within window and was not read yet.
    std::string StdoutWithin(std::chrono::milliseconds window) {
        const auto deadline = ChildClock::now() + window;
        while (Fill(deadline)) {
        }
        return std::exchange(buffer_, {});
    }
    // Waits for the end (stdout closes); answers the exit status, -1 when it
    // was ended by a signal. Raises std::runtime_error when it did not end in
    // time (a test then fails with that message; the program is killed when
    // this object goes).
    int Wait() {
        const auto deadline = ChildClock::now() + kDeadline;
        while (Fill(deadline)) {
        }
        elapsed_ =
            std::chrono::duration_cast<std::chrono::milliseconds>(ChildClock::now() - started_);
        int status = 0;
        if (eof_ && ::waitpid(pid_, &status, 0) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        throw std::runtime_error("the program did not end");
    }
    // Sends sig, then waits as Wait does.
    int Stop(int sig) {
        ::kill(pid_, sig);
        return Wait();
    }
    // Stdout not yet taken by StdoutLine or StdoutWithin.
    const std::string& Stdout() const { return buffer_; }
    std::string Stderr() const {
        std::ifstream in(errFile_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // From the start to the end seen by Wait.
    std::chrono::milliseconds Elapsed() const { return elapsed_; }

private:
    bool Fill(ChildClock::time_point deadline) {
        if (eof_ || !Readable(out_, deadline))
            return false;
        char buf[4096];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        buffer_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    std::string dir_;
    std::string errFile_;
    pid_t pid_ = -1;
    int out_ = -1;
    bool eof_ = false;
    std::string buffer_;
    ChildClock::time_point started_;
    std::chrono::milliseconds elapsed_{0};
};

} // namespace rc_test
