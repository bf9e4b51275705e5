// Port names on Windows: COM names are case-blind, and a name is its device.
#include "configurator/PortName.h"

namespace sign {

std::string CanonicalPortName(const std::string& name) {
    return CanonicalWindowsPortName(name);
}

std::string PortDeviceKey(const std::string& name) {
    return "name " + CanonicalWindowsPortName(name);
}

} // namespace sign
