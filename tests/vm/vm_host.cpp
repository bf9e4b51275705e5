// The host's side of the guest tests: plays the far end of the emulated USB
// adapter and carries out what the guest asks on its console.
//
// It listens on three Unix sockets that QEMU connects to as a client: the
// guest's console (/dev/ttyS0 in the guest), the adapter's character device
// (the far end of the guest's /dev/ttyUSB0) and QEMU's monitor (QMP). The
// console is copied to standard output; a console line "@vm <request>" is a
// request, answered on the console's input with one line "@host <answer>":
//
//   peer drop | echo | sign       what the far end does with the bytes
//   peer sink N                    checks N bytes of the pattern (Pattern.h)
//   peer source N                  sends N bytes of the pattern
//   status                         "sink <bytes> <first bad offset or -1>" once
//                                  N bytes came in (or 20 s passed without one);
//                                  "source <bytes sent>"; "other"
//   unplug | plug                  device_del / device_add of the adapter
//   done <status>                  the guest's tests ended with this status
//
// "sign" bridges the adapter to sign-sim's pseudo-terminal (--sign-port).
// Exit status: the guest's, or 1 when the guest did not report one before
// its console closed or --timeout seconds passed.

#include "tests/vm/Pattern.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int Listen(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ::unlink(path.c_str());
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, 1) != 0) {
        std::fprintf(stderr, "vm-host: cannot listen on %s: %s\n", path.c_str(),
                     std::strerror(errno));
        std::exit(1);
    }
    return fd;
}

void SetNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Writes all of text, waiting for room (the sockets are non-blocking).
void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        }
    }
}

enum class Mode { Drop, Echo, Sink, Source, Sign };

struct Host {
    int Console = -1, Usb = -1, Qmp = -1, Sign = -1;
    Mode PeerMode = Mode::Drop;
    std::size_t Target = 0;     // sink/source: the stream's length
    std::size_t Count = 0;      // bytes received (sink) or sent (source)
    long long Mismatch = -1;    // sink: first offset that was not the pattern
    std::string ToUsb;          // echo / sign: bytes waiting for the adapter
    bool StatusPending = false; // a status request waits for the sink
    Clock::time_point LastProgress = Clock::now();
    // A monitor command waits for its answer: the guest's, or the host's own.
    enum class Pending { None, Guest, Own } QmpPending = Pending::None;
    bool Deleting = false;    // device_del sent, DEVICE_DELETED not yet seen
    bool PlugPending = false; // a plug request waits for that
    Clock::time_point PlugRequested;
    std::string ConsoleLine, QmpLine;
    int GuestStatus = -1;

    void Answer(const std::string& text) { WriteAll(Console, "@host " + text + "\n"); }

    void Monitor(const std::string& json) {
        WriteAll(Qmp, json + "\n");
        QmpPending = Pending::Guest;
    }

    void Request(const std::string& line) {
        const std::string r = line.substr(4);
        const auto number = [&r](std::size_t at) {
            return static_cast<std::size_t>(std::strtoull(r.c_str() + at, nullptr, 10));
        };
        if (r == "peer drop" || r == "peer echo" || r == "peer sign") {
            PeerMode = r == "peer drop" ? Mode::Drop : r == "peer echo" ? Mode::Echo : Mode::Sign;
            ToUsb.clear();
            Answer(PeerMode == Mode::Sign && Sign < 0 ? "error no sign" : "ok");
        } else if (r.rfind("peer sink ", 0) == 0 || r.rfind("peer source ", 0) == 0) {
            const bool sink = r[6] == 'i';
            PeerMode = sink ? Mode::Sink : Mode::Source;
            Target = number(sink ? 10 : 12);
            Count = 0;
            Mismatch = -1;
            LastProgress = Clock::now();
            Answer("ok");
        } else if (r == "status") {
            StatusPending = true;
            LastProgress = Clock::now();
        } else if (r == "unplug") {
            // QEMU 7.2 crashes (SIGSEGV) when the adapter goes while its
            // character device still has bytes for it: the stream stops and
            // QEMU takes what the socket holds before the device goes.
            if (PeerMode == Mode::Source)
                Target = Count;
            const auto limit = Clock::now() + std::chrono::seconds(5);
            int queued = 0;
            while (::ioctl(Usb, SIOCOUTQ, &queued) == 0 && queued > 0 && Clock::now() < limit)
                ::usleep(1000);
            Deleting = true;
            Monitor(R"({"execute":"device_del","arguments":{"id":"adapter"}})");
        } else if (r == "plug") {
            PlugPending = true;
            PlugRequested = Clock::now();
        } else if (r.rfind("done ", 0) == 0) {
            GuestStatus = static_cast<int>(number(5));
            Answer("ok");
        } else {
            Answer("error unknown request");
        }
    }

    // device_add once the previous device_del has finished (its DEVICE_DELETED
    // event: until then the character device is still taken).
    void Plug() {
        if (!PlugPending || QmpPending != Pending::None)
            return;
        if (Deleting && Clock::now() - PlugRequested < std::chrono::seconds(10))
            return;
        PlugPending = false;
        Monitor(R"({"execute":"device_add","arguments":{"driver":"usb-serial",)"
                R"("id":"adapter","chardev":"adapter"}})");
    }

    void AnswerStatus() {
        if (!StatusPending)
            return;
        if (PeerMode == Mode::Sink) {
            if (Count < Target && Clock::now() - LastProgress < std::chrono::seconds(20))
                return;
            Answer("sink " + std::to_string(Count) + " " + std::to_string(Mismatch));
        } else if (PeerMode == Mode::Source) {
            Answer("source " + std::to_string(Count));
        } else {
            Answer("other");
        }
        StatusPending = false;
    }

    void FromUsb(const std::uint8_t* data, std::size_t n) {
        switch (PeerMode) {
        case Mode::Sink:
            if (Mismatch < 0)
                Mismatch = rc_vm::FirstMismatch(data, n, Count);
            Count += n;
            LastProgress = Clock::now();
            break;
        case Mode::Echo:
            ToUsb.append(reinterpret_cast<const char*>(data), n);
            break;
        case Mode::Sign:
            WriteAll(Sign, std::string(reinterpret_cast<const char*>(data), n));
            break;
        default:
            break;
        }
    }

    // One pass of the adapter's outgoing side: pending echo/sign bytes, then
    // the source stream, as far as the socket takes them.
    void ToAdapter() {
        if (!ToUsb.empty()) {
            const ssize_t n = ::write(Usb, ToUsb.data(), ToUsb.size());
            if (n > 0)
                ToUsb.erase(0, static_cast<std::size_t>(n));
        }
        if (PeerMode == Mode::Source && Count < Target) {
            std::uint8_t buf[4096];
            const std::size_t n = std::min(sizeof buf, Target - Count);
            for (std::size_t k = 0; k < n; ++k)
                buf[k] = rc_vm::PatternByte(Count + k);
            const ssize_t w = ::write(Usb, buf, n);
            if (w > 0)
                Count += static_cast<std::size_t>(w);
        }
    }

    bool WantsToWrite() const {
        return !ToUsb.empty() || (PeerMode == Mode::Source && Count < Target);
    }

    // Console bytes: copied out, and requests picked from the lines.
    void FromConsole(const char* data, std::size_t n) {
        std::fwrite(data, 1, n, stdout);
        std::fflush(stdout);
        for (std::size_t k = 0; k < n; ++k) {
            if (data[k] == '\n' || data[k] == '\r') {
                if (ConsoleLine.rfind("@vm ", 0) == 0)
                    Request(ConsoleLine);
                ConsoleLine.clear();
            } else {
                ConsoleLine += data[k];
            }
        }
    }

    void FromMonitor(const char* data, std::size_t n) {
        for (std::size_t k = 0; k < n; ++k) {
            if (data[k] != '\n') {
                QmpLine += data[k];
                continue;
            }
            const bool answer = QmpLine.find("\"return\"") != std::string::npos ||
                                QmpLine.find("\"error\"") != std::string::npos;
            if (answer && QmpPending == Pending::Own) {
                QmpPending = Pending::None;
            } else if (answer && QmpPending == Pending::Guest) {
                QmpPending = Pending::None;
                Answer(QmpLine.find("\"error\"") != std::string::npos ? "error " + QmpLine : "ok");
            }
            if (QmpLine.find("DEVICE_DELETED") != std::string::npos &&
                QmpLine.find("\"adapter\"") != std::string::npos)
                Deleting = false;
            QmpLine.clear();
        }
    }
};

} // namespace

int main(int argc, char** argv) {
    // QEMU may go before the last answer is written.
    ::signal(SIGPIPE, SIG_IGN);
    std::string dir, signPort;
    int timeout = 300;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--dir")
            dir = argv[i + 1];
        else if (a == "--sign-port")
            signPort = argv[i + 1];
        else if (a == "--timeout")
            timeout = std::atoi(argv[i + 1]);
    }
    if (dir.empty()) {
        std::fprintf(stderr, "usage: vm-host --dir DIR [--sign-port PTY] [--timeout S]\n"
                             "  listens on DIR/console.sock, DIR/adapter.sock, DIR/qmp.sock\n");
        return 2;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(timeout);
    Host h;
    int listeners[3] = {Listen(dir + "/console.sock"), Listen(dir + "/adapter.sock"),
                        Listen(dir + "/qmp.sock")};
    int* accepted[3] = {&h.Console, &h.Usb, &h.Qmp};
    // Ready: the script starts QEMU once this file exists.
    if (FILE* f = std::fopen((dir + "/ready").c_str(), "w"))
        std::fclose(f);
    for (int left = 3; left > 0;) {
        pollfd p[3];
        for (int k = 0; k < 3; ++k)
            p[k] = {*accepted[k] < 0 ? listeners[k] : -1, POLLIN, 0};
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "vm-host: QEMU did not connect\n");
            return 1;
        }
        ::poll(p, 3, 1000);
        for (int k = 0; k < 3; ++k)
            if (p[k].revents & POLLIN) {
                *accepted[k] = ::accept4(listeners[k], nullptr, nullptr, SOCK_CLOEXEC);
                SetNonBlocking(*accepted[k]);
                --left;
            }
    }
    if (!signPort.empty()) {
        h.Sign = ::open(signPort.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        if (h.Sign >= 0 && ::tcgetattr(h.Sign, &t) == 0) {
            ::cfmakeraw(&t);
            ::tcsetattr(h.Sign, TCSANOW, &t);
        }
    }
    WriteAll(h.Qmp, R"({"execute":"qmp_capabilities"})"
                    "\n");
    h.QmpPending = Host::Pending::Own;
    for (;;) {
        if (Clock::now() > deadline) {
            std::fprintf(stderr, "\nvm-host: the guest did not finish within %d s\n", timeout);
            return 1;
        }
        pollfd p[4] = {{h.Console, POLLIN, 0},
                       {h.Usb, static_cast<short>(POLLIN | (h.WantsToWrite() ? POLLOUT : 0)), 0},
                       {h.Qmp, POLLIN, 0},
                       {h.Sign, POLLIN, 0}};
        ::poll(p, 4, 100);
        char buf[65536];
        if (p[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t n = ::read(h.Console, buf, sizeof buf);
            if (n == 0)
                break;
            if (n > 0)
                h.FromConsole(buf, static_cast<std::size_t>(n));
        }
        if (p[1].revents & POLLIN) {
            const ssize_t n = ::read(h.Usb, buf, sizeof buf);
            if (n > 0)
                h.FromUsb(reinterpret_cast<std::uint8_t*>(buf), static_cast<std::size_t>(n));
        }
        if (p[1].revents & POLLOUT)
            h.ToAdapter();
        if (p[2].revents & POLLIN) {
            const ssize_t n = ::read(h.Qmp, buf, sizeof buf);
            if (n > 0)
                h.FromMonitor(buf, static_cast<std::size_t>(n));
        }
        if (p[3].revents & POLLIN) {
            const ssize_t n = ::read(h.Sign, buf, sizeof buf);
            if (n > 0 && h.PeerMode == Mode::Sign)
                h.ToUsb.append(buf, static_cast<std::size_t>(n));
        }
        h.AnswerStatus();
        h.Plug();
    }
    if (h.GuestStatus < 0) {
        std::fprintf(stderr, "\nvm-host: the guest ended without reporting its tests\n");
        return 1;
    }
    return h.GuestStatus;
}
