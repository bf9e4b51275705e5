// Settings persistence of the port component. Temporary: the store and load
// operations are built with the registry class; until then they refuse to run.

#include "serial/CPort.h"

#include <stdexcept>

namespace cport {

void TCustomComPort::StoreToRegistry(host::TRegistry&) {
    throw std::logic_error("not built yet");
}
void TCustomComPort::StoreToIniFile(host::TIniFile&) {
    throw std::logic_error("not built yet");
}
void TCustomComPort::LoadFromRegistry(host::TRegistry&) {
    throw std::logic_error("not built yet");
}
void TCustomComPort::LoadFromIniFile(host::TIniFile&) {
    throw std::logic_error("not built yet");
}

} // namespace cport
