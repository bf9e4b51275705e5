// On Windows only a COM name is a serial port, and a name that is none is
// said to be none, whatever its open answered: a folder gives "access
// denied", which would read as a port in use.
#include "sign/PortFailure.h"
#include "sign/PortName.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

TEST(Win32PortName, OnlyACOMNameMayBeASerialPort) {
    for (const char* name : {"COM3", "com12", "\\\\.\\COM255"})
        EXPECT_TRUE(sign::CanNameASerialPort(name)) << name;
    for (const char* name : {"CON", "NUL", "C:\\windows", "Z:\\dev\\pts\\0", "\\\\.\\CON", "COM0"})
        EXPECT_FALSE(sign::CanNameASerialPort(name)) << name;
}

TEST(Win32PortName, AnOpenOfANameThatIsNoPortFailsAsNotASerialPort) {
    const struct {
        const char* port;
        DWORD error; // what the open of it answers
    } rows[] = {
        {"C:\\windows", ERROR_ACCESS_DENIED},
        {"CON", ERROR_INVALID_HANDLE},
        {"C:\\nowhere\\port", ERROR_PATH_NOT_FOUND},
        {"\\\\.\\PhysicalDrive0", ERROR_ACCESS_DENIED},
    };
    for (const auto& row : rows) {
        EXPECT_TRUE(sign::PortFacts(row.port, row.error).NotADevice) << row.port;
        EXPECT_EQ(sign::OpenFailureText(row.error, row.port), "not a serial port") << row.port;
    }
    // A COM port keeps the open's own reason.
    EXPECT_FALSE(sign::PortFacts("COM3", ERROR_ACCESS_DENIED).NotADevice);
    EXPECT_EQ(sign::OpenFailureText(ERROR_ACCESS_DENIED, "COM3"), "in use by another program");
    EXPECT_EQ(sign::OpenFailureText(ERROR_FILE_NOT_FOUND, "\\\\.\\COM49"), "no such port");
}

} // namespace
