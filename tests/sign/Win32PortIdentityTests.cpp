// The port identity on Windows, as far as Wine can show it: Wine lists no
// device in SetupAPI's "Ports" class for the COM names it maps to Unix
// devices, so the enumeration must run through and answer such a name, like
// any name it does not find, with empty fields. The port of the test run
// (RC_TEST_COM_PORT, a pseudo-terminal that scripts/test-windows mapped) when
// there is one; what SetupAPI reports for real adapters is read by the
// parsing tested in test_PortIdentity.cpp.

#include "sign/PortIdentity.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace sign;

namespace {

TEST(Win32PortIdentity, ComNameWithoutDeviceIsAnsweredEmpty) {
    const char* mapped = std::getenv("RC_TEST_COM_PORT");
    const std::string port = mapped != nullptr && *mapped != '\0' ? mapped : "COM42";
    const std::vector<TPortIdentity> identities =
        PortIdentities({port, "\\\\.\\" + port, "COM1", "COM255"});
    ASSERT_EQ(identities.size(), 4u);
    EXPECT_EQ(identities[0].Name, port);
    EXPECT_EQ(identities[1].Name, "\\\\.\\" + port);
    for (const TPortIdentity& identity : identities) {
        EXPECT_FALSE(identity.Known()) << identity.Name << ": " << identity.Description;
    }
}

} // namespace
