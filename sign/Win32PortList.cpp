#include "sign/PortList.h"

namespace sign {

std::vector<std::string> PortCandidates(const std::string&) {
    std::vector<std::string> names;
    names.reserve(255);
    for (int n = 1; n <= 255; ++n)
        names.push_back("COM" + std::to_string(n));
    return names;
}

} // namespace sign
