#pragma once
// Whether a port that did not open is one this user may not use: the OS
// gives "access denied" both for a port held by another program and for a
// device without read and write permission, and only the second is helped
// by joining the dialout group. One file per system (PosixPortAccess.cpp,
// Win32PortAccess.cpp), chosen in CMake.

#include <string>

namespace radarsign {

// True when the device of `port` (as the serial component names it) exists
// and this process may not read and write it.
bool NoAccess(const std::string& port);

} // namespace radarsign
