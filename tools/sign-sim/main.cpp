// sign-sim: a simulated radar speed sign on a pseudo-terminal. It plays the
// sign's controller on the master side; the configurator, the command-line
// tool or a test opens the slave as its port. See Usage() for the options.
//
// One thread, one poll() on the master and on a signalfd for the stop
// signals, which stay blocked (no handler runs at an odd moment, and a signal
// that comes before poll() waits in the fd): an idle simulator costs no CPU.
// The slave is held open here for the whole run, so that the last opener
// closing it does not leave the master hung up (which poll() would report
// without end); this fd is never locked and never made exclusive, so openers
// may lock theirs.

#include "tools/sign-sim/SimOptions.h"
#include "tools/sign-sim/SimSign.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string.h> // sigabbrev_np, a GNU extension
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace {

using signsim::Clock;
using std::chrono::milliseconds;

int gSignalFd = -1;

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // a closed or broken output: nothing to be done
        done += static_cast<std::size_t>(n);
    }
}

std::string Errno() {
    return std::strerror(errno);
}

// The log: one line per event, with the seconds since the start, on stderr
// and in the --log file.
class TLog {
public:
    explicit TLog(Clock::time_point start) : FStart(start) {}
    ~TLog() {
        if (FFile >= 0)
            ::close(FFile);
    }
    TLog(const TLog&) = delete;
    TLog& operator=(const TLog&) = delete;

    bool OpenFile(const std::string& path) {
        FFile = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        return FFile >= 0;
    }
    void Line(const std::string& text) const {
        const double s = std::chrono::duration<double>(Clock::now() - FStart).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%8.3f ", s);
        const std::string line = stamp + text + "\n";
        WriteAll(STDERR_FILENO, line);
        if (FFile >= 0)
            WriteAll(FFile, line);
    }

private:
    Clock::time_point FStart;
    int FFile = -1;
};

// A line for the reader of stdout, at once (stdout may be a pipe).
void Show(const std::string& text) {
    std::fputs((text + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// The --link symlink: made to the slave, removed at exit if it still points
// there.
class TLink {
public:
    // Makes `path` a symlink to `target`; an existing symlink to a
    // pseudo-terminal (one made by a simulator before) is replaced, any other
    // file is left alone. Empty on success, otherwise why not.
    std::string Make(const std::string& path, const std::string& target) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode))
                return path + " exists and is not a symlink: not replaced";
            const std::string old = ReadLink(path);
            if (old.rfind("/dev/pts/", 0) != 0)
                return path + " is a symlink to " + old +
                       ", not to a pseudo-terminal: not replaced";
            if (::unlink(path.c_str()) != 0)
                return "cannot replace " + path + ": " + Errno();
        } else if (errno != ENOENT) {
            return "cannot use " + path + ": " + Errno();
        }
        if (::symlink(target.c_str(), path.c_str()) != 0)
            return "cannot make the link " + path + ": " + Errno();
        FPath = path;
        FTarget = target;
        return {};
    }
    void Remove() {
        if (!FPath.empty() && ReadLink(FPath) == FTarget)
            ::unlink(FPath.c_str());
        FPath.clear();
    }
    ~TLink() { Remove(); }

private:
    static std::string ReadLink(const std::string& path) {
        char buf[4096];
        const ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
        return n < 0 ? std::string() : std::string(buf, static_cast<std::size_t>(n));
    }
    std::string FPath;
    std::string FTarget;
};

// Bytes waiting to be written to the line: not before a given time, and a
// pause after the write before them (the second part of a split reply).
struct TOutgoing {
    Clock::time_point NotBefore;
    milliseconds AfterPrevious{0};
    std::string Bytes;
    std::string Note; // for the log: "with noise, first 3 bytes"
};

// More replies than this waiting (nobody reads the port): new ones are dropped.
constexpr std::size_t MaxQueuedBytes = 65536;
// After the line hangs up, the master is left alone this long.
constexpr milliseconds HangupPause{100};

class TSimulator {
public:
    TSimulator(const signsim::TSimOptions& options, TLog& log) : FOptions(options), FLog(log) {
        if (options.ClockBytes)
            FSign.SignClock().Stop(*options.ClockBytes);
    }
    ~TSimulator() {
        for (const int fd : {FMaster, FSlave})
            if (fd >= 0)
                ::close(fd);
    }
    TSimulator(const TSimulator&) = delete;
    TSimulator& operator=(const TSimulator&) = delete;

    // Opens the pseudo-terminal; empty on success, otherwise why not.
    std::string OpenPty() {
        char name[4096] = {};
        if (::openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0)
            return "cannot open a pseudo-terminal: " + Errno();
        FSlaveName = name;
        for (const int fd : {FMaster, FSlave})
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(FMaster, F_SETFL, ::fcntl(FMaster, F_GETFL) | O_NONBLOCK);
        termios t{};
        if (::tcgetattr(FMaster, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(FMaster, TCSANOW, &t);
        }
        return SetUpSlave();
    }
    const std::string& SlaveName() const { return FSlaveName; }

    // Serves the line until a signal comes; answers the exit status.
    int Run() {
        Clock::time_point masterPausedUntil{};
        for (;;) {
            Clock::time_point now = Clock::now();
            SendDue(now);
            const bool paused = now < masterPausedUntil;
            int timeout = -1;
            if (!FQueue.empty() && !FBlocked)
                timeout = MsUntil(Due(), now);
            if (paused)
                timeout = timeout < 0 ? MsUntil(masterPausedUntil, now)
                                      : std::min(timeout, MsUntil(masterPausedUntil, now));
            pollfd fds[2] = {
                {gSignalFd, POLLIN, 0},
                {paused ? -1 : FMaster, static_cast<short>(POLLIN | (FBlocked ? POLLOUT : 0)), 0}};
            if (::poll(fds, 2, timeout) < 0) {
                if (errno == EINTR)
                    continue;
                FLog.Line("poll failed: " + Errno());
                return 1;
            }
            if (fds[0].revents != 0) {
                signalfd_siginfo info{};
                if (::read(gSignalFd, &info, sizeof info) == sizeof info) {
                    // SIGINT, SIGTERM or SIGHUP: the signals it waits for.
                    const char* name = ::sigabbrev_np(static_cast<int>(info.ssi_signo));
                    FLog.Line(std::string("stopped by SIG") + (name != nullptr ? name : "?"));
                    return 0;
                }
            }
            if ((fds[1].revents & POLLOUT) != 0)
                FBlocked = false;
            if ((fds[1].revents & POLLIN) != 0) {
                if (!ReadLine())
                    masterPausedUntil = Clock::now() + HangupPause;
            } else if ((fds[1].revents & (POLLHUP | POLLERR)) != 0) {
                Reattach();
                masterPausedUntil = Clock::now() + HangupPause;
            }
        }
    }

private:
    static int MsUntil(Clock::time_point t, Clock::time_point now) {
        if (t <= now)
            return 0;
        return static_cast<int>(std::chrono::ceil<milliseconds>(t - now).count());
    }

    // Raw 9600 8N1 on the slave (for show: a pty has no line speed), held
    // open by FSlave.
    std::string SetUpSlave() {
        termios t{};
        if (::tcgetattr(FSlave, &t) != 0)
            return "cannot set up " + FSlaveName + ": " + Errno();
        ::cfmakeraw(&t);
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
        t.c_cflag |= CS8 | CREAD | CLOCAL;
        ::cfsetispeed(&t, B9600);
        ::cfsetospeed(&t, B9600);
        if (::tcsetattr(FSlave, TCSANOW, &t) != 0)
            return "cannot set up " + FSlaveName + ": " + Errno();
        return {};
    }

    // The line hung up under our own slave fd (a vhangup): the slave is opened
    // afresh so that the master is no longer hung up.
    void Reattach() {
        ::close(FSlave);
        FSlave = ::open(FSlaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (FSlave < 0) {
            FLog.Line("line hung up; cannot open " + FSlaveName + " again: " + Errno());
            return;
        }
        FLog.Line("line hung up; " + FSlaveName + " opened again");
    }

    // Takes what the line holds; false when it hung up.
    bool ReadLine() {
        for (;;) {
            char buf[4096];
            const ssize_t n = ::read(FMaster, buf, sizeof buf);
            if (n > 0) {
                for (const signsim::TParsed& p :
                     FParser.Feed(std::string(buf, static_cast<std::size_t>(n))))
                    Take(p);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return true;
            Reattach();
            return false;
        }
    }

    void Take(const signsim::TParsed& p) {
        const std::string hex = sign::HexBytes(p.Bytes);
        if (p.Kind == signsim::TParsed::Junk) {
            FLog.Line("junk " + hex + " (no frame)");
            return;
        }
        if (p.Kind == signsim::TParsed::Rejected) {
            FLog.Line("rejected " + hex + " (" + p.Reason + ")");
            return;
        }
        const std::string what = "rx " + hex + " (" + signsim::TSimSign::Describe(p) + ")";
        ++FValidFrames;
        if (FValidFrames <= FOptions.Ignore) {
            FLog.Line(what + " ignored, " + std::to_string(FValidFrames) + " of " +
                      std::to_string(FOptions.Ignore));
            return;
        }
        const bool muted = p.Code == FOptions.Mute;
        FLog.Line(FOptions.Silent ? what + " not answered (--silent)"
                  : muted         ? what + " not answered (--mute)"
                                  : what);
        const Clock::time_point now = Clock::now();
        signsim::TAnswer answer;
        if (FOptions.KeepClock && p.Code == sign::CmdSetTime) {
            answer.Reply = sign::BuildReply(p.Code);
            answer.Shown = "clock not set (--keep-clock): " + signsim::ClockWords(p.Payload);
        } else {
            answer = FSign.Handle(p, now);
        }
        if (!answer.Shown.empty()) {
            Show(answer.Shown);
            FLog.Line(answer.Shown);
        }
        if (!FOptions.Silent && !muted)
            Schedule(answer.Reply, now);
    }

    void Schedule(const std::string& reply, Clock::time_point now) {
        std::string once = FOptions.Noise + reply;
        const std::string all = FOptions.Double ? once + once : once;
        std::size_t queued = 0;
        for (const TOutgoing& o : FQueue)
            queued += o.Bytes.size();
        if (queued + all.size() > MaxQueuedBytes) {
            FLog.Line("reply dropped: " + std::to_string(queued) + " bytes wait for the port");
            return;
        }
        std::string note;
        const auto addNote = [&note](const std::string& n) {
            note += (note.empty() ? "" : ", ") + n;
        };
        if (!FOptions.Noise.empty())
            addNote("with noise");
        if (FOptions.Double)
            addNote("two replies");
        const Clock::time_point due = now + milliseconds(FOptions.DelayMs);
        if (FOptions.SplitAt > 0 && FOptions.SplitAt < all.size()) {
            addNote("first " + std::to_string(FOptions.SplitAt) + " bytes");
            FQueue.push_back({due, milliseconds(0), all.substr(0, FOptions.SplitAt), note});
            FQueue.push_back({{},
                              milliseconds(FOptions.SplitPauseMs),
                              all.substr(FOptions.SplitAt),
                              "the rest, " + std::to_string(FOptions.SplitPauseMs) + " ms later"});
        } else {
            FQueue.push_back({due, milliseconds(0), all, note});
        }
    }

    // When the next bytes are due.
    Clock::time_point Due() const {
        const TOutgoing& o = FQueue.front();
        return std::max(o.NotBefore, FLastWrite + o.AfterPrevious);
    }

    void SendDue(Clock::time_point now) {
        while (!FQueue.empty() && !FBlocked && Due() <= now) {
            TOutgoing& o = FQueue.front();
            const ssize_t n = ::write(FMaster, o.Bytes.data(), o.Bytes.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                FBlocked = true;
                return;
            }
            if (n < 0) {
                FLog.Line("tx failed: " + Errno());
                FQueue.pop_front();
                continue;
            }
            const std::string sent = o.Bytes.substr(0, static_cast<std::size_t>(n));
            FLastWrite = Clock::now();
            const std::string note = o.Note.empty() ? "" : " (" + o.Note + ")";
            FLog.Line("tx " + sign::HexBytes(sent) + note);
            if (static_cast<std::size_t>(n) < o.Bytes.size()) {
                o.Bytes.erase(0, static_cast<std::size_t>(n));
                o.Note = "the rest, the port was full";
                o.AfterPrevious = milliseconds(0);
                FBlocked = true;
                return;
            }
            FQueue.pop_front();
        }
    }

    const signsim::TSimOptions& FOptions;
    TLog& FLog;
    int FMaster = -1;
    int FSlave = -1;
    std::string FSlaveName;
    signsim::TRequestParser FParser;
    signsim::TSimSign FSign;
    unsigned long FValidFrames = 0;
    std::deque<TOutgoing> FQueue;
    bool FBlocked = false; // the last write found the port full
    Clock::time_point FLastWrite;
};

// The stop signals are blocked and read from gSignalFd.
bool InstallSignals() {
    sigset_t stops;
    ::sigemptyset(&stops);
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        ::sigaddset(&stops, s);
    if (::sigprocmask(SIG_BLOCK, &stops, nullptr) != 0)
        return false;
    gSignalFd = ::signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    if (gSignalFd < 0)
        return false;
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const Clock::time_point start = Clock::now();
    const signsim::TParsedOptions parsed =
        signsim::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.Options) {
        std::fprintf(stderr, "sign-sim: %s\n%s", parsed.Error.c_str(), signsim::Usage().c_str());
        return 2;
    }
    const signsim::TSimOptions& options = *parsed.Options;
    if (options.Help) {
        std::fputs(signsim::Usage().c_str(), stdout);
        return 0;
    }
    TLog log(start);
    if (!options.LogFile.empty() && !log.OpenFile(options.LogFile)) {
        std::fprintf(stderr, "sign-sim: cannot open the log %s: %s\n", options.LogFile.c_str(),
                     Errno().c_str());
        return 2;
    }
    // Signals first: a stop that comes while the link is being made still
    // removes it.
    if (!InstallSignals()) {
        std::fprintf(stderr, "sign-sim: cannot install the signal handlers: %s\n", Errno().c_str());
        return 1;
    }
    TSimulator sim(options, log);
    if (const std::string error = sim.OpenPty(); !error.empty()) {
        std::fprintf(stderr, "sign-sim: %s\n", error.c_str());
        return 1;
    }
    TLink link;
    if (!options.Link.empty()) {
        if (const std::string error = link.Make(options.Link, sim.SlaveName()); !error.empty()) {
            std::fprintf(stderr, "sign-sim: %s\n", error.c_str());
            return 2;
        }
    }
    Show("sign-sim: listening on " + sim.SlaveName());
    log.Line("listening on " + sim.SlaveName() +
             (options.Link.empty() ? "" : ", linked as " + options.Link));
    return sim.Run();
}
