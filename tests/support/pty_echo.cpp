// A native far end for the Windows port tests under Wine: makes a
// pseudo-terminal pair (raw, so that no byte is changed), prints the slave's
// path on one line, and sends back every byte that arrives, until its standard
// input ends. It keeps the slave open itself, so that the pair lives while
// the port under test is closed and opened again.

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main() {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    std::printf("%s\n", name);
    std::fflush(stdout);

    pollfd fds[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    char buffer[4096];
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return 1;
        }
        if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
                return 0;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            const ssize_t n = read(master, buffer, sizeof buffer);
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = write(master, buffer + done, static_cast<size_t>(n - done));
                if (w < 0 && errno != EINTR)
                    return 1;
                done += w > 0 ? w : 0;
            }
        }
    }
}
