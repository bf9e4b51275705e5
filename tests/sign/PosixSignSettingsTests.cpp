// LEDINFO.BIN on POSIX systems: a pipe of that name. Permission modes and
// symbolic links are the replacement's (tests/host/PosixFileIoTests.cpp).
#include "tests/sign/SignSettingsTest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace rc_test;

TEST(PosixSignSettings, PipeOfThatNameIsNotReadAndDoesNotHang) {
    TempDir dir;
    const std::string fifo = dir / "LEDINFO.BIN";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    TSignSettings s = Sample();
    EXPECT_EQ(LoadSignSettingsFile(fifo, s), TSettingsLoadResult::Unreadable);
    EXPECT_EQ(s, Sample());
    EXPECT_FALSE(SaveSignSettingsFile(fifo, s));
    EXPECT_TRUE(fs::is_fifo(fifo));
}
