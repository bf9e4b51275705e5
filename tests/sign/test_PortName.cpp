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

// A network name is one port on every system: the form it is shown and
// logged in, and which two names reach one server port, by the text alone.
TEST(PortName, ANetworkNameHasOneFormAndOneKeyWithoutBeingResolved) {
    const struct {
        const char* typed;
        const char* canonical;
    } forms[] = {
        {"tcp://127.0.0.1:4001", "tcp://127.0.0.1:4001"},
        {"TCP://127.0.0.1:4001", "tcp://127.0.0.1:4001"},
        {"Rfc2217://Sign-4.example:023", "rfc2217://Sign-4.example:23"}, // host case kept
        {"\\\\.\\tcp://[::1]:7", "tcp://[::1]:7"},
        {"//./tcp://h:7", "tcp://h:7"},
        {"tcp://h:99999", "tcp://h:99999"}, // malformed: as typed, refused later
        {"tcp://h", "tcp://h"},
    };
    for (const auto& f : forms) {
        EXPECT_TRUE(sign::IsNetworkPortName(f.typed)) << f.typed;
        EXPECT_EQ(sign::CanonicalNetPortName(f.typed), f.canonical) << f.typed;
        EXPECT_EQ(sign::CanonicalPortName(f.typed), f.canonical) << f.typed;
    }
    for (const char* other : {"ttyUSB0", "COM3", "./tcp://h:1", "tcp:/h:1", "udp://h:1",
                              "/dev/tcp://h:1", "\\\\?\\tcp://h:1"})
        EXPECT_FALSE(sign::IsNetworkPortName(other)) << other;

    const struct {
        const char* a;
        const char* b;
        bool same;
        const char* why;
    } pairs[] = {
        {"Tcp://h:023", "tcp://h:23", true, "scheme case and leading zeros"},
        {"tcp://Sign-4:1", "tcp://sign-4:1", true, "host names are case-blind"},
        {"tcp://h:1", "rfc2217://h:1", true, "one server port, one serial line"},
        {"tcp://[::1]:1", "tcp://[0:0:0:0:0:0:0:1]:1", true, "one IPv6 address"},
        {"tcp://[FE80::A]:1", "tcp://[fe80:0::a]:1", true, "IPv6 digits' case"},
        {"tcp://[::ffff:192.0.2.1]:1", "tcp://[::ffff:c000:201]:1", true, "IPv4 inside IPv6"},
        {"tcp://h:1", "tcp://h:2", false, "two server ports"},
        {"tcp://localhost:1", "tcp://127.0.0.1:1", false, "a name and its address: unknown"},
        {"tcp://h1:1", "tcp://h:11", false, "not run together"},
    };
    for (const auto& p : pairs) {
        const std::string a = sign::NetPortKey(p.a);
        ASSERT_FALSE(a.empty()) << p.a;
        EXPECT_EQ(a == sign::NetPortKey(p.b), p.same) << p.why << ": " << p.a << " " << p.b;
        EXPECT_EQ(sign::PortDeviceKey(p.a) == sign::PortDeviceKey(p.b), p.same) << p.why;
    }
    for (const char* bad : {"tcp://h:0", "tcp://h", "tcp://[fe80::1%25eth0]:1", "ttyS1"})
        EXPECT_EQ(sign::NetPortKey(bad), "") << bad;
    // A well-formed network name can name a port on every system.
    EXPECT_TRUE(sign::CanNameASerialPort("rfc2217://[2001:db8::1]:4001"));
}

} // namespace
