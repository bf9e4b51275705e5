// Which names are serial ports before anything is opened: the Windows rule as
// plain text (checked on every system), and this system's rule in
// PosixPortNameTests.cpp and Win32PortNameTests.cpp.
#include "sign/PortName.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Only "COM" and its number, bare or behind the device prefix, is a serial
// port on Windows; each other row is a kind of name a user may type instead,
// and what opening it would reach.
TEST(PortName, OnWindowsOnlyACOMNameIsASerialPort) {
    const struct {
        std::string name;
        bool port;
        const char* what;
    } rows[] = {
        {"COM1", true, "the first"},
        {"COM3", true, "a USB adapter's"},
        {"com12", true, "in lower case"},
        {"CoM255", true, "in any case"},
        {"COM256", true, "above the scan's 255"},
        {"COM9999", true, "four digits"},
        {"\\\\.\\COM3", true, "with the device prefix"},
        {"\\\\.\\com12", true, "with the device prefix, lower case"},
        {"//./COM3", true, "with the device prefix in slashes"},
        {"COM", false, "no number"},
        {"COM0", false, "no port 0"},
        {"COM03", false, "a leading zero"},
        {"COM10000", false, "five digits"},
        {"COM3:", false, "a colon after it"},
        {"COM3.", false, "a dot after it (Windows drops it from a path)"},
        {"COM3 ", false, "a space after it"},
        {" COM3", false, "a space before it"},
        {"COM-3", false, "a sign"},
        {"COM\xC2\xB9", false, "a superscript digit (COM\xC2\xB9 is a device of its own)"},
        {"CON", false, "the console"},
        {"con", false, "the console in lower case"},
        {"\\\\.\\CON", false, "the console with the device prefix"},
        {"CONIN$", false, "the console's input"},
        {"NUL", false, "the null device"},
        {"AUX", false, "the auxiliary device"},
        {"PRN", false, "the printer"},
        {"LPT1", false, "a parallel port"},
        {"CNCA0", false, "a virtual port pair's end, not named as a COM port"},
        {"\\\\.\\PhysicalDrive0", false, "a disk"},
        {"\\\\.\\", false, "the device prefix alone"},
        {"\\\\?\\COM3", false, "the long-path prefix"},
        {"\\\\.\\COM3\\x", false, "a path inside a COM port"},
        {"\\\\.\\C:\\COM3", false, "a path behind the device prefix"},
        {"C:\\windows", false, "a folder"},
        {"C:\\windows\\win.ini", false, "a file"},
        {"C:COM3", false, "a drive letter"},
        {"Z:\\dev\\ttyS0", false, "the host's console under Wine"},
        {"Z:/dev/pts/0", false, "a host pseudo-terminal under Wine, in slashes"},
        {"\\\\?\\Z:\\dev\\pts\\0", false, "the same with the long-path prefix"},
        {"/dev/ttyUSB0", false, "a Linux device"},
        {"ttyUSB0", false, "a Linux device's name"},
        {".\\COM3", false, "a relative path"},
        {"\\\\server\\COM3", false, "a share"},
        {"", false, "empty"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(sign::IsWindowsSerialPortName(row.name), row.port)
            << row.what << ": " << row.name;
}

// A name that is a port keeps being one in its canonical form, the form in
// which it is logged and compared.
TEST(PortName, TheCanonicalFormOfAWindowsPortIsAPort) {
    for (const char* name : {"COM3", "com12", "\\\\.\\com7", "//./COM255"}) {
        const std::string canonical = sign::CanonicalWindowsPortName(name);
        EXPECT_TRUE(sign::IsWindowsSerialPortName(canonical)) << name << " -> " << canonical;
        EXPECT_EQ(canonical.rfind("COM", 0), 0u) << canonical;
    }
}

} // namespace
