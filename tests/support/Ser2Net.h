#pragma once
// ser2net, a real serial device server, started by a test in front of a
// device the test made (a pseudo-terminal's slave, never a machine's serial
// port): one RFC 2217 accepter (telnet(rfc2217),tcp) and one raw accepter
// (tcp), both on 127.0.0.1 only, 9600 8N1 with the modem lines ignored
// ("local": a pty has none).
//
// The server is the program named by RC_SER2NET, else the one scripts/setup
// unpacks into the cache (${RC_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/
// radar-configurator}/ser2net/usr/sbin/ser2net); there is no system
// installation, and none is looked for. A missing server is an error with a
// message saying so: the tests that need it fail, they are not skipped.
//
// It runs in the foreground (-d: its log on its standard output, kept in a
// file of its temporary folder), with UUCP locks off (-u: no lock files in
// system folders), on a configuration of its own written into that folder
// (-c: nothing is read from /etc), without a control port, mDNS or pid file.
// It is killed with SIGKILL and reaped when the object goes, and also when
// the thread that made it ends without it (PR_SET_PDEATHSIG: a test program
// killed by its time-out leaves no server behind).
//
// The ports: two free ones are found by binding sockets to 127.0.0.1:0 and
// closing them; another process may take one before ser2net binds it. That
// is seen, not waited out: ser2net logs that it could not start a network
// port (and runs on without it), so the server is killed and started again
// on new ports, five times at most, then the start fails with its log. The
// server is ready once both ports are listening sockets that ser2net itself
// holds (/proc/net/tcp and /proc/PID/fd), so that another program listening
// there is never taken for it.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace rc_test {

// The ser2net program the tests use; throws std::runtime_error, saying where
// it was looked for and how to get it, when it is not there.
std::string Ser2NetProgram();

// Two ports of 127.0.0.1 for the two accepters (RFC 2217, raw).
using TPortPair = std::pair<std::uint16_t, std::uint16_t>;
// Two distinct ports that were free a moment ago.
TPortPair TwoFreePorts();

class Ser2Net {
public:
    // Starts ser2net in front of `device` (a path); throws std::runtime_error
    // with the reason and ser2net's log when it does not come up within 10 s.
    // `ports` chooses the ports of each attempt (a test may hand out taken
    // ones).
    explicit Ser2Net(const std::string& device,
                     const std::function<TPortPair()>& ports = TwoFreePorts);
    ~Ser2Net();
    Ser2Net(const Ser2Net&) = delete;
    Ser2Net& operator=(const Ser2Net&) = delete;

    // The port names of the two accepters, as the communications interface
    // takes them: "rfc2217://127.0.0.1:P" and "tcp://127.0.0.1:Q".
    std::string Rfc2217Name() const;
    std::string RawName() const;
    std::uint16_t Rfc2217Port() const { return rfc2217Port_; }
    std::uint16_t RawPort() const { return rawPort_; }

    // The server goes away at once (SIGKILL): its connections close as a
    // device server's do when it loses power or its link. Reaped before this
    // returns.
    void Kill();
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }
    // What ser2net logged so far.
    std::string Log() const;
    // The temporary folder of its configuration and log, removed with the
    // object.
    const std::string& Folder() const { return dir_; }

private:
    enum class Started { kReady, kPortTaken };
    Started Start(const std::string& program, const std::string& device, TPortPair ports);

    std::string dir_;
    std::string config_;
    std::string log_;
    pid_t pid_ = -1;
    std::uint16_t rfc2217Port_ = 0;
    std::uint16_t rawPort_ = 0;
};

} // namespace rc_test
