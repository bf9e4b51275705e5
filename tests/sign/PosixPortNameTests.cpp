// On POSIX any name may lead to a terminal: whether it does is told by what
// it opens, so no name is refused for its form.
#include "sign/PortName.h"

#include <gtest/gtest.h>

namespace {

TEST(PosixPortName, AnyNameMayBeASerialPort) {
    for (const char* name :
         {"ttyUSB0", "/dev/ttyUSB0", "/dev/pts/3", "../pts/3", "COM3", "CON", "C:\\windows"})
        EXPECT_TRUE(sign::CanNameASerialPort(name)) << name;
}

} // namespace
