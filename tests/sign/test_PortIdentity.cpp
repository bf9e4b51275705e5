// The port identity, what every platform shares: the reading of the device
// managers' texts (udev's escapes, Windows device IDs, tested natively too)
// and the look-up of names that are no port. The look-ups on real devices:
// PosixPortIdentityTests.cpp (mocked USB adapters), Win32PortIdentityTests.cpp.

#include "sign/PortIdentity.h"
#include "sign/PortIdentityText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace sign;
using namespace sign::identity;

namespace {

TPortIdentity Named(const std::string& name) {
    TPortIdentity identity;
    identity.Name = name;
    return identity;
}

struct TextCase {
    const char* Input;
    const char* Expected;
};

TEST(PortIdentityText, HexIdIsFourLowerCaseDigitsOrNothing) {
    const TextCase cases[] = {
        {"0403", "0403"},   {"10C4", "10c4"}, {"0x1A86", "1a86"}, {"0403\n", "0403"},
        {" 2341 ", "2341"}, {"403", ""},      {"04030", ""},      {"04G3", ""},
        {"0x", ""},         {"", ""},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(HexId(c.Input), c.Expected) << '"' << c.Input << '"';
    }
}

TEST(PortIdentityText, DescriptionNamesProductAndMakerOrWhicheverIsKnown) {
    struct Case {
        const char* Product;
        const char* Manufacturer;
        const char* Expected;
    };
    const Case cases[] = {
        {"FT232R USB UART", "FTDI", "FT232R USB UART (FTDI)"},
        {"CP2102 USB to UART Bridge Controller  ", " Silicon Labs",
         "CP2102 USB to UART Bridge Controller (Silicon Labs)"},
        {"USB Serial", "", "USB Serial"},
        {"", "Prolific Technology Inc.", "Prolific Technology Inc."},
        {"  ", "\t", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Describe(c.Product, c.Manufacturer), c.Expected)
            << c.Product << '/' << c.Manufacturer;
    }
}

TEST(PortIdentityText, UdevEscapesAreDecoded) {
    const TextCase cases[] = {
        {"FT232R\\x20USB\\x20UART", "FT232R USB UART"},
        {"Silicon\\x20Labs\\x2fCP210x", "Silicon Labs/CP210x"},
        {"caf\\xc3\\xa9", "caf\xc3\xa9"}, // UTF-8 bytes pass through
        {"A\\x2", "A\\x2"},               // cut short: kept as it is
        {"A\\xZZ", "A\\xZZ"},
        {"plain", "plain"},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(UdevUnescape(c.Input), c.Expected) << c.Input;
    }
}

TEST(PortIdentityText, WindowsDeviceIdsGiveVendorAndProduct) {
    struct Case {
        const char* Id;
        const char* Vendor;
        const char* Product;
    };
    const Case cases[] = {
        {"FTDIBUS\\COMPORT&VID_0403&PID_6001", "0403", "6001"},
        {"FTDIBUS\\VID_0403+PID_6015+DK0AHAJZA\\0000", "0403", "6015"},
        {"USB\\VID_10C4&PID_EA60&REV_0100", "10c4", "ea60"},
        {"USB\\Vid_1a86&Pid_7523&Rev_0254", "1a86", "7523"},
        {"USB\\VID_2341&PID_8036&MI_00\\6&2E5A2D8A&0&0000", "2341", "8036"},
        {"ACPI\\PNP0501\\1", "", ""},
        {"USB\\VID_04&PID_60", "", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        const TUsbIds ids = UsbIdsOf(c.Id);
        EXPECT_EQ(ids.VendorId, c.Vendor) << c.Id;
        EXPECT_EQ(ids.ProductId, c.Product) << c.Id;
    }
}

TEST(PortIdentityText, InstanceIdGivesTheUsbSerialNumberOnlyWhereItIsOne) {
    const TextCase cases[] = {
        {"USB\\VID_10C4&PID_EA60\\0001", "0001"},
        {"USB\\VID_2341&PID_0043\\85736323838351F0B1C1", "85736323838351F0B1C1"},
        {"FTDIBUS\\VID_0403+PID_6001+A50285BIA\\0000", "A50285BI"}, // port A
        {"FTDIBUS\\VID_0403+PID_6010+FT4ZS6I1B\\0000", "FT4ZS6I1"}, // port B of a dual
        {"USB\\VID_1A86&PID_7523\\5&1A2B3C4D&0&2", ""},             // made up by Windows
        {"USB\\VID_2341&PID_8036&MI_00\\6&2E5A2D8A&0&0000", ""},    // an interface
        {"FTDIBUS\\VID_0403+PID_6001+5&2A3B4C5D&0&2\\0000", ""},
        {"ACPI\\PNP0501\\1", ""},
        {"BTHENUM\\{00001101-0000-1000-8000-00805F9B34FB}_LOCALMFG&0002\\7&1D4F&0&0", ""},
        {"USB\\VID_10C4&PID_EA60", ""},
        {"", ""},
    };
    for (const TextCase& c : cases) {
        EXPECT_EQ(SerialOfInstanceId(c.Input), c.Expected) << c.Input;
    }
}

// Whatever the platform, a name that is no port answers with the name and
// nothing else, in the order given; nothing fails.
TEST(PortIdentity, NamesThatAreNoPortAreAnsweredEmptyInOrder) {
    const std::vector<std::string> names = {"", "COM250", "/no/such/folder/ttyUSB9", "ttyNOPE7",
                                            "COM250"};
    const std::vector<TPortIdentity> identities = PortIdentities(names);
    ASSERT_EQ(identities.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(identities[i], Named(names[i])) << names[i];
        EXPECT_FALSE(identities[i].Known());
        EXPECT_EQ(identities[i].VidPid(), "");
    }
    EXPECT_EQ(PortIdentityOf("COM250"), Named("COM250"));
    EXPECT_TRUE(PortIdentities({}).empty());
}

} // namespace
