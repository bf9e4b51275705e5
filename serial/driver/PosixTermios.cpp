#include "serial/driver/PosixTermios.h"

#include <cstdlib>
#include <termios.h>

namespace comm::posix {

namespace {

struct SpeedEntry {
    std::uint32_t baud;
    speed_t constant;
};

constexpr SpeedEntry kSpeeds[] = {
    {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

constexpr tcflag_t kMarkSpace =
#ifdef CMSPAR
    CMSPAR;
#else
    0;
#endif

std::uint32_t RtsControl(const DCB& dcb) {
    return (dcb.Flags & DCB_fRtsControlMask) >> DCB_fRtsControlShift;
}

} // namespace

unsigned SpeedConstant(std::uint32_t baud) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.baud == baud)
            return entry.constant;
    }
    return 0;
}

std::uint32_t SpeedValue(unsigned speed) {
    for (const SpeedEntry& entry : kSpeeds) {
        if (entry.constant == speed)
            return entry.baud;
    }
    return 0;
}

std::uint32_t ValidateDcb(const DCB& dcb) {
    if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > 4 ||
        dcb.StopBits > 2)
        return ERROR_INVALID_PARAMETER;
    if ((dcb.Flags & (DCB_fInX | DCB_fOutX)) != 0 && dcb.XonChar == dcb.XoffChar)
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

std::uint32_t DcbToTermios(const DCB& dcb, termios* t, bool* anyBaud) {
    // Raw mode, as cfmakeraw() makes it, plus the receiver on and modem
    // control lines ignored for the open/read decision.
    t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                         IXON | IXOFF | IXANY | INPCK | IGNPAR);
    t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    t->c_cflag &= ~kMarkSpace;
    t->c_cflag |= CREAD | CLOCAL;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;

    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t->c_cflag |= kSizes[dcb.ByteSize - 5];

    switch (dcb.Parity) {
    case 1: // odd
        t->c_cflag |= PARENB | PARODD;
        break;
    case 2: // even
        t->c_cflag |= PARENB;
        break;
    case 3: // mark: the parity bit is always 1
    case 4: // space: always 0
        if (kMarkSpace == 0)
            return ERROR_INVALID_PARAMETER;
        t->c_cflag |= PARENB | kMarkSpace | (dcb.Parity == 3 ? PARODD : 0);
        break;
    default:
        break;
    }
    // One and a half stop bits do not exist in termios: two are sent.
    if (dcb.StopBits != 0)
        t->c_cflag |= CSTOPB;

    // termios has one switch for both directions of hardware handshake.
    if ((dcb.Flags & DCB_fOutxCtsFlow) != 0 || RtsControl(dcb) == 2)
        t->c_cflag |= CRTSCTS;
    if ((dcb.Flags & DCB_fOutX) != 0)
        t->c_iflag |= IXON;
    if ((dcb.Flags & DCB_fInX) != 0)
        t->c_iflag |= IXOFF;
    t->c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    t->c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);

    // Parity errors are marked in the input (0xFF 0x00 byte) so that the
    // input path can count them and put ErrorChar in their place.
    if ((dcb.Flags & DCB_fParity) != 0)
        t->c_iflag |= INPCK | PARMRK;

    const speed_t speed = SpeedConstant(dcb.BaudRate);
    *anyBaud = false;
    if (speed == 0) {
        if (!HasAnyBaud())
            return ERROR_INVALID_PARAMETER;
        *anyBaud = true;
        // A placeholder until SetAnyBaud puts the real rate.
        cfsetispeed(t, B38400);
        cfsetospeed(t, B38400);
    } else {
        cfsetispeed(t, speed);
        cfsetospeed(t, speed);
    }
    return ERROR_SUCCESS;
}

bool EssentialsMatch(const termios& wanted, const termios& got, bool lineless) {
    tcflag_t cmask = CSTOPB | CRTSCTS | kMarkSpace | PARODD;
    if (!lineless)
        cmask |= CSIZE | PARENB;
    const tcflag_t imask = INPCK | IXON | IXOFF;
    return (wanted.c_cflag & cmask) == (got.c_cflag & cmask) &&
           (wanted.c_iflag & imask) == (got.c_iflag & imask);
}

DCB DcbFromTermios(const termios& t, std::uint32_t baud) {
    DCB dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baud;
    dcb.Flags = DCB_fBinary;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if ((t.c_cflag & PARENB) != 0) {
        const bool odd = (t.c_cflag & PARODD) != 0;
        if (kMarkSpace != 0 && (t.c_cflag & kMarkSpace) != 0)
            dcb.Parity = odd ? 3 : 4;
        else
            dcb.Parity = odd ? 1 : 2;
    }
    dcb.StopBits = (t.c_cflag & CSTOPB) != 0 ? 2 : 0;
    if ((t.c_cflag & CRTSCTS) != 0)
        dcb.Flags |= DCB_fOutxCtsFlow | (2u << DCB_fRtsControlShift);
    if ((t.c_iflag & IXON) != 0)
        dcb.Flags |= DCB_fOutX;
    if ((t.c_iflag & IXOFF) != 0)
        dcb.Flags |= DCB_fInX;
    if ((t.c_iflag & INPCK) != 0)
        dcb.Flags |= DCB_fParity;
    dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    return dcb;
}

} // namespace comm::posix
