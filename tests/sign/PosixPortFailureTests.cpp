// A network port's facts on POSIX, where its name could be read as a path.
#include "sign/PortFailure.h"

#include "serial/driver/CommApi.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

// On POSIX a network name would be a relative path ("tcp:" then a folder):
// a file of that name in the current folder must not make it "not a serial
// port".
TEST(PosixPortFailure, ANetworkNameIsNoPathEvenWhereOneOfThatNameExists) {
    rc_test::TempDir dir;
    std::filesystem::create_directories(dir.Path() / "tcp:" / "127.0.0.1:1");
    std::ofstream(dir.Path() / "tcp:" / "127.0.0.1:1" / "x") << "x";
    std::filesystem::create_directories(dir.Path() / "tcp:" / "127.0.0.1:2");
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    const sign::TPortFacts folder = sign::PortFacts("tcp://127.0.0.1:2", comm::WSAECONNREFUSED);
    std::filesystem::current_path(before);
    EXPECT_FALSE(folder.NotADevice);
    EXPECT_FALSE(folder.NoAccess);
    EXPECT_EQ(folder.NetAddress, "127.0.0.1:2");
    EXPECT_EQ(folder.ErrorName, "WSAECONNREFUSED, OS error 10061");
    EXPECT_EQ(sign::OpenFailureText(comm::WSAECONNREFUSED, folder),
              "nothing accepts connections at 127.0.0.1:2 (WSAECONNREFUSED, OS error 10061)");
}

} // namespace
