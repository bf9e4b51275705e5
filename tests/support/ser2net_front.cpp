// ser2net in front of a device for a script (tests/tools/wine_net.sh), as
// the tests have it (tests/support/Ser2Net.h): started on free ports of
// 127.0.0.1, it prints its two port names, one a line ("rfc2217://..." then
// "tcp://..."), and runs until its standard input ends or it is told to
// stop (SIGTERM, SIGINT, SIGHUP); then the server is killed and reaped.
//
// usage: ser2net_front DEVICE      (a path to a device the caller made: a pty)

#include "tests/support/Ser2Net.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <exception>

namespace {

volatile sig_atomic_t stop = 0;
void Stop(int) {
    stop = 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: ser2net_front DEVICE\n");
        return 2;
    }
    struct sigaction sa = {};
    sa.sa_handler = Stop;
    for (const int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    try {
        rc_test::Ser2Net server(argv[1]);
        // Names nobody reads leave a server nobody can reach: it goes at once.
        if (std::printf("%s\n%s\n", server.Rfc2217Name().c_str(), server.RawName().c_str()) < 0 ||
            std::fflush(stdout) != 0) {
            std::perror("ser2net_front: the port names could not be written");
            return 1;
        }
        while (stop == 0 && server.Running()) {
            pollfd in{STDIN_FILENO, POLLIN, 0};
            const int n = ::poll(&in, 1, -1);
            if (n < 0 && errno == EINTR)
                continue;
            char c;
            if (n < 0 || ::read(STDIN_FILENO, &c, 1) <= 0)
                break;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ser2net_front: %s\n", e.what());
        return 1;
    }
    return 0;
}
