// Any baud rate through the kernel's second termios interface (termios2 with
// BOTHER). Kept apart from the rest of the backend because the kernel's
// termios headers and the C library's <termios.h> cannot be included together.

#include "serial/driver/PosixTermios.h"

#include <cerrno>
#include <sys/ioctl.h>

#if __has_include(<asm/termbits.h>)
#include <asm/termbits.h>
#endif

namespace comm::posix {

#if defined(TCGETS2) && defined(TCSETS2) && defined(BOTHER)

bool HasAnyBaud() {
    return true;
}

int SetAnyBaud(int fd, std::uint32_t baud) {
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD);
    t.c_cflag |= BOTHER;
    t.c_ispeed = baud;
    t.c_ospeed = baud;
    // Input speed follows the output speed when its own field says nothing.
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD << IBSHIFT);
    if (::ioctl(fd, TCSETS2, &t) != 0)
        return errno;
    return 0;
}

int GetAnyBaud(int fd, std::uint32_t* baud) {
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    *baud = t.c_ospeed;
    return 0;
}

#else

bool HasAnyBaud() {
    return false;
}
int SetAnyBaud(int, std::uint32_t) {
    return EINVAL;
}
int GetAnyBaud(int, std::uint32_t*) {
    return ENOTTY;
}

#endif

} // namespace comm::posix
