// The probe of Ser2NetLine.h.

#include "tests/support/Ser2NetLine.h"

#include "serial/driver/CommApi.h"
#include "serial/driver/NetCommApi.h"
#include "tests/support/Ser2Net.h"

#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace rc_test {
namespace {

std::string Probe() {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    std::string why;
    {
        Ser2Net server(name);
        comm::ICommApi& api = comm::Api();
        // An answer that comes at all comes within milliseconds over loopback.
        const auto before = comm::net::ConnectTimeout();
        comm::net::SetConnectTimeout(std::chrono::seconds(1));
        const std::string file = "\\\\.\\" + server.Rfc2217Name();
        const comm::Handle port =
            api.CreateFileA(file.c_str(), comm::GENERIC_READ | comm::GENERIC_WRITE, 0,
                            comm::OPEN_EXISTING, comm::FILE_FLAG_OVERLAPPED);
        if (port == comm::INVALID_HANDLE_VALUE) {
            why =
                "rfc2217:// on ser2net does not open: error " + std::to_string(api.GetLastError());
        } else {
            comm::DCB dcb;
            api.GetCommState(port, &dcb);
            dcb.BaudRate = 9600;
            dcb.ByteSize = 8;
            dcb.Parity = 0;
            dcb.StopBits = 0;
            dcb.Flags = comm::DCB_fBinary | (1u << comm::DCB_fDtrControlShift) |
                        (1u << comm::DCB_fRtsControlShift);
            if (!api.SetCommState(port, &dcb)) {
                const std::uint32_t error = api.GetLastError();
                why = "ser2net in front of a pty never answers a DTR or RTS setting "
                      "(SET-CONTROL 8, 9, 11, 12: the pty has no modem lines), and the network "
                      "backend's SetCommState waits for those answers: it fails with error " +
                      std::to_string(error) +
                      (error == comm::ERROR_TIMEOUT ? " (ERROR_TIMEOUT)" : "");
            }
            api.CloseHandle(port);
        }
        comm::net::SetConnectTimeout(before);
    }
    ::close(master);
    ::close(slave);
    return why;
}

} // namespace

const std::string& Rfc2217LineUnsettable() {
    static const std::string why = Probe();
    return why;
}

} // namespace rc_test
