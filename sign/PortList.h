#pragma once
// The port list: the names the port scan probes on this system, and the scan
// itself, which keeps those that open now. The window fills its port box
// with it, and radar-sign's "ports" lists it. PortCandidates is the
// platform's (PosixPortList.cpp, Win32PortList.cpp); ScanPorts is shared.

#include <string>
#include <vector>

namespace cport {
class TCustomComPort;
}

namespace sign {

// The names the port scan probes, in order. On Windows COM1 ... COM255. On
// other systems the serial devices under `deviceDir` (empty: /dev) as
// comm::posix::ListSerialPorts lists them, the console left out: bare names
// ("ttyUSB0") for /dev, full paths for another folder, so that each opens as
// it is given.
std::vector<std::string> PortCandidates(const std::string& deviceDir = {});

// The candidates that the port can open now (PortExists), in order; a port
// held open by another program is left out. Leaves the port closed.
std::vector<std::string> ScanPorts(cport::TCustomComPort& port,
                                   const std::vector<std::string>& candidates);

} // namespace sign
