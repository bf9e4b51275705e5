// A ports file: which lines are ports, and which files are refused unread.
#include "sign/PortsFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

using sign::TPortsLine;

struct ListRow {
    const char* What;
    std::string Text;
    std::vector<TPortsLine> Ports;
};

TEST(PortsFile, EachNameWithItsLineCommentsAndBlanksPassedOver) {
    const ListRow rows[] = {
        {"empty", "", {}},
        {"one without a line end", "tcp://a:1", {{1, "tcp://a:1"}}},
        {"blank and comment lines keep the numbering",
         "# fleet\n\n  \t\nrfc2217://b:2\n",
         {{4, "rfc2217://b:2"}}},
        {"comment after a name, blanks around it", "  tcp://a:1 \t# Main St\n", {{1, "tcp://a:1"}}},
        {"CR LF line ends", "COM3\r\nCOM4\r\n", {{1, "COM3"}, {2, "COM4"}}},
        {"byte order mark", "\xEF\xBB\xBFttyUSB0\n", {{1, "ttyUSB0"}}},
        {"a name's own bytes are kept for the caller to check",
         "a\x01"
         "b\n\xff\n",
         {{1, "a\x01"
              "b"},
          {2, "\xff"}}},
        {"the same name twice is the caller's to refuse", "x\nx\n", {{1, "x"}, {2, "x"}}},
    };
    for (const ListRow& row : rows)
        EXPECT_EQ(sign::ParsePortsList(row.Text), row.Ports) << row.What;
}

class PortsFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        FDir =
            std::filesystem::temp_directory_path() /
            ("rc-ports-file-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(FDir);
        std::filesystem::create_directories(FDir);
    }
    void TearDown() override { std::filesystem::remove_all(FDir); }
    std::string Write(const std::string& name, const std::string& text) {
        const auto path = FDir / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
    std::filesystem::path FDir;
};

TEST_F(PortsFileOnDisk, ReadsAFileAndALinkToIt) {
    const std::string path = Write("ports.txt", "tcp://a:1\n");
    EXPECT_EQ(sign::ReadPortsFile(path).Ports, (std::vector<TPortsLine>{{1, "tcp://a:1"}}));
    std::error_code error;
    std::filesystem::create_symlink(path, FDir / "link", error);
    if (!error) {
        const sign::TPortsFile linked = sign::ReadPortsFile((FDir / "link").string());
        EXPECT_EQ(linked.Error, "");
        EXPECT_EQ(linked.Ports.size(), 1u);
    }
}

TEST_F(PortsFileOnDisk, RefusesWhatIsNoListWithAReason) {
    struct Row {
        std::string Path;
        const char* Reason;
    };
    const Row rows[] = {
        {(FDir / "missing").string(), "no such file"},
        {FDir.string(), "is a folder"},
        {Write("huge", std::string(sign::MaxPortsFileSize + 1, 'x')), "larger than 1 MiB"},
    };
    for (const Row& row : rows) {
        const sign::TPortsFile file = sign::ReadPortsFile(row.Path);
        EXPECT_TRUE(file.Ports.empty()) << row.Path;
        EXPECT_NE(file.Error.find(row.Reason), std::string::npos) << file.Error;
    }
}

} // namespace
