// Port names on Windows: COM names are case-blind, a name is its device, and
// only a COM name is a serial port.
#include "sign/PortName.h"

namespace sign {

std::string CanonicalPortName(const std::string& name) {
    if (IsNetworkPortName(name))
        return CanonicalNetPortName(name);
    return CanonicalWindowsPortName(name);
}

bool CanNameASerialPort(const std::string& name) {
    if (IsNetworkPortName(name))
        return !NetPortKey(name).empty();
    return IsWindowsSerialPortName(name);
}

std::string PortDeviceKey(const std::string& name) {
    if (IsNetworkPortName(name)) {
        const std::string key = NetPortKey(name);
        return key.empty() ? "name " + name : key;
    }
    return "name " + CanonicalWindowsPortName(name);
}

} // namespace sign
