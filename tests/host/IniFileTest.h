#pragma once
// The fixture of the INI-file tests: a fresh folder with test.ini to be, and
// whole-file reads and writes. Shared by test_IniFile.cpp and the
// Windows' own Win32IniFileTests.cpp.

#include "host/FileIo.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <system_error>

namespace rc_test {

// What identifies the file itself rather than its name (the inode on POSIX,
// the file index on Windows), so that a test can tell a file replaced from
// one left alone. Per platform: PosixFileIdentity.cpp, Win32FileIdentity.cpp.
std::uint64_t FileIdentity(const std::string& path);

class IniFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::mt19937_64 random{std::random_device{}()};
        for (int attempt = 0; attempt < 100 && dir_.empty(); ++attempt) {
            const auto path = std::filesystem::temp_directory_path() /
                              ("inifile-" + std::to_string(random() % 1000000000u));
            std::error_code ec;
            if (std::filesystem::create_directory(path, ec))
                dir_ = path;
        }
        ASSERT_FALSE(dir_.empty()) << "no temporary folder could be made";
        path_ = (dir_ / "test.ini").string();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    void Put(const std::string& text) {
        std::ofstream f(path_, std::ios::binary | std::ios::trunc);
        f << text;
    }
    std::string Get() { return host::ReadWholeFile(path_).value_or("<missing>"); }
    std::size_t Entries() const {
        return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(dir_),
                                                      std::filesystem::directory_iterator()));
    }

    std::filesystem::path dir_;
    std::string path_;
};

} // namespace rc_test
