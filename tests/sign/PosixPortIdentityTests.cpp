// The port identity on Linux, on USB serial adapters mocked by umockdev
// (tests/support/MockAdapter.h: the program runs under umockdev's preload):
// what udev's properties say, what sysfs alone says, the names a port goes
// by, and the port scan over a folder of links to the mocked nodes.

#include "sign/PortIdentity.h"
#include "sign/PortList.h"
#include "sign/SignTransaction.h"

#include "serial/CPort.h"
#include "tests/support/MockAdapter.h"
#include "tests/support/PtyPair.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace sign;
using rc_test::TMockAdapter;
using rc_test::TMockAdapterKind;

namespace {

TPortIdentity Identity(std::string name, std::string description, std::string vendor,
                       std::string product, std::string serial, std::string driver) {
    TPortIdentity identity;
    identity.Name = std::move(name);
    identity.Description = std::move(description);
    identity.VendorId = std::move(vendor);
    identity.ProductId = std::move(product);
    identity.SerialNumber = std::move(serial);
    identity.Driver = std::move(driver);
    return identity;
}

TPortIdentity Unknown(std::string name) {
    return Identity(std::move(name), "", "", "", "", "");
}

TMockAdapterKind WithoutUdevProperties(TMockAdapterKind kind) {
    kind.UdevProperties = false;
    return kind;
}

class MockedPorts : public ::testing::Test {
protected:
    rc_test::TMockTestbed FTestbed;
};

// Each kind of adapter, with udev's properties and with sysfs alone (no
// udevd): the same IDs, serial number and driver. Names come from the
// device's own strings; udev's hardware database names the device that has
// none, and without udev such a device has no description.
TEST_F(MockedPorts, EachAdapterIsKnownByEveryField) {
    struct Case {
        const char* What;
        TMockAdapterKind Kind;
        TPortIdentity Expected;
    };
    const Case cases[] = {
        {"FTDI, udev", rc_test::FtdiAdapter(),
         Identity("ttyUSB0", "FT232R USB UART (FTDI)", "0403", "6001", "A50285B0", "ftdi_sio")},
        {"FTDI, sysfs", WithoutUdevProperties(rc_test::FtdiAdapter()),
         Identity("ttyUSB0", "FT232R USB UART (FTDI)", "0403", "6001", "A50285B0", "ftdi_sio")},
        {"CDC ACM, udev", rc_test::AcmAdapter(),
         Identity("ttyACM0", "STM32 Virtual ComPort (STMicroelectronics)", "0483", "5740",
                  "6D8E3B5A5540", "cdc_acm")},
        {"CDC ACM, sysfs", WithoutUdevProperties(rc_test::AcmAdapter()),
         Identity("ttyACM0", "STM32 Virtual ComPort (STMicroelectronics)", "0483", "5740",
                  "6D8E3B5A5540", "cdc_acm")},
        {"CH340 without strings, udev", rc_test::Ch340Adapter(),
         Identity("ttyUSB0", "CH340 serial converter (QinHeng Electronics)", "1a86", "7523", "",
                  "ch341")},
        {"CH340 without strings, sysfs", WithoutUdevProperties(rc_test::Ch340Adapter()),
         Identity("ttyUSB0", "", "1a86", "7523", "", "ch341")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TMockAdapter adapter(FTestbed, 0, c.Kind);
        adapter.Plug();
        const TPortIdentity identity = PortIdentityOf(adapter.TtyName());
        EXPECT_EQ(identity, c.Expected);
        EXPECT_TRUE(identity.Known());
        EXPECT_EQ(identity.VidPid(), c.Expected.VendorId + ":" + c.Expected.ProductId);
    }
}

// A bare name, the node's path and a link to the node (as in
// /dev/serial/by-id) find the same device; each answer keeps its name.
TEST_F(MockedPorts, AdapterIsFoundByNamePathAndLink) {
    TMockAdapter adapter(FTestbed, 3);
    adapter.Plug();
    const std::string folder = FTestbed.LinkFolder("by-id", {"ttyUSB3"});
    for (const std::string& name :
         std::vector<std::string>{"ttyUSB3", "/dev/ttyUSB3", folder + "/ttyUSB3"}) {
        EXPECT_EQ(PortIdentityOf(name),
                  Identity(name, "FT232R USB UART (FTDI)", "0403", "6001", "A50285B3", "ftdi_sio"));
    }
}

TEST_F(MockedPorts, PseudoTerminalIsNoKnownDevice) {
    rc_test::PtyPair pty;
    char slave[256] = {};
    ASSERT_EQ(::ttyname_r(pty.Slave(), slave, sizeof slave), 0);
    for (const std::string& name : std::vector<std::string>{pty.PortName(), slave}) {
        const TPortIdentity identity = PortIdentityOf(name);
        EXPECT_EQ(identity, Unknown(name));
        EXPECT_FALSE(identity.Known());
    }
}

TEST_F(MockedPorts, PulledAdapterIsForgotten) {
    TMockAdapter adapter(FTestbed, 0);
    adapter.Plug();
    ASSERT_TRUE(PortIdentityOf("ttyUSB0").Known());
    adapter.Unplug();
    EXPECT_EQ(PortIdentityOf("ttyUSB0"), Unknown("ttyUSB0"));
    adapter.Plug();
    EXPECT_TRUE(PortIdentityOf("ttyUSB0").Known());
}

// One call for a list as the window shows it: adapters of three kinds, a
// link, a pseudo-terminal, a name that is gone and an empty one, each
// answered in its place.
TEST_F(MockedPorts, EightNamesInOneCallAreAnsweredInOrder) {
    TMockAdapter ftdi0(FTestbed, 0);
    TMockAdapter ftdi1(FTestbed, 1);
    TMockAdapter ch340(FTestbed, 2, rc_test::Ch340Adapter());
    TMockAdapter acm(FTestbed, 3, rc_test::AcmAdapter());
    for (TMockAdapter* adapter : {&ftdi0, &ftdi1, &ch340, &acm}) {
        adapter->Plug();
    }
    const std::string folder = FTestbed.LinkFolder("scan", {"ttyUSB0"});
    rc_test::PtyPair pty;

    const std::vector<std::string> names = {
        "ttyUSB1",           pty.PortName(), "ttyACM3", "ttyUSB9",
        folder + "/ttyUSB0", "ttyUSB2",      "",        "ttyUSB0"};
    const TPortIdentity ftdi =
        Identity("", "FT232R USB UART (FTDI)", "0403", "6001", "", "ftdi_sio");
    const auto named = [](TPortIdentity identity, std::string name, std::string serial) {
        identity.Name = std::move(name);
        identity.SerialNumber = std::move(serial);
        return identity;
    };
    const std::vector<TPortIdentity> expected = {
        named(ftdi, "ttyUSB1", "A50285B1"),
        Unknown(pty.PortName()),
        Identity("ttyACM3", "STM32 Virtual ComPort (STMicroelectronics)", "0483", "5740",
                 "6D8E3B5A5543", "cdc_acm"),
        Unknown("ttyUSB9"),
        named(ftdi, folder + "/ttyUSB0", "A50285B0"),
        Identity("ttyUSB2", "CH340 serial converter (QinHeng Electronics)", "1a86", "7523", "",
                 "ch341"),
        Unknown(""),
        named(ftdi, "ttyUSB0", "A50285B0"),
    };
    EXPECT_EQ(PortIdentities(names), expected);
}

// The port scan as the window runs it, over a folder of links to the mocked
// nodes (never /dev itself: the mocked /sys names no console to leave out):
// the mocked ports open, and their identities are found by the names the
// scan gives.
TEST_F(MockedPorts, ScanListsTheMockedPortsAndTheirIdentity) {
    TMockAdapter ftdi(FTestbed, 0);
    TMockAdapter acm(FTestbed, 1, rc_test::AcmAdapter());
    ftdi.Plug();
    acm.Plug();
    const std::string folder = FTestbed.LinkFolder("scan", {"ttyUSB0", "ttyACM1"});

    const std::vector<std::string> candidates = PortCandidates(folder);
    ASSERT_EQ(candidates, (std::vector<std::string>{folder + "/ttyUSB0", folder + "/ttyACM1"}));
    cport::TComPort port(nullptr);
    const std::vector<std::string> found = ScanPorts(port, candidates);
    ASSERT_EQ(found, candidates);

    const std::vector<TPortIdentity> identities = PortIdentities(found);
    ASSERT_EQ(identities.size(), 2u);
    EXPECT_EQ(identities[0].VidPid(), "0403:6001");
    EXPECT_EQ(identities[0].SerialNumber, "A50285B0");
    EXPECT_EQ(identities[1].VidPid(), "0483:5740");
    EXPECT_EQ(identities[1].Driver, "cdc_acm");
}

} // namespace
