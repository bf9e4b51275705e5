#pragma once
// A file descriptor with one owner, closed when the owner goes (POSIX only:
// for the Posix*.cpp files).

#include <unistd.h>

namespace host {

class TFd {
public:
    explicit TFd(int fd = -1) : FFd(fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() { Reset(); }
    int Get() const { return FFd; }
    // Gives the descriptor up, for a caller that closes it itself (and
    // wants close()'s result, where a write error can show).
    int Release() {
        const int fd = FFd;
        FFd = -1;
        return fd;
    }
    void Reset() {
        if (FFd >= 0) {
            ::close(FFd);
        }
        FFd = -1;
    }

private:
    int FFd = -1;
};

} // namespace host
