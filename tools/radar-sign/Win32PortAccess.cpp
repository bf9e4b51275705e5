#include "tools/radar-sign/PortAccess.h"

namespace radarsign {

// Windows has no permission bits on COM ports: access denied means in use.
bool NoAccess(const std::string&) {
    return false;
}

} // namespace radarsign
