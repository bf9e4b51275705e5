#include "tests/sign/SettingsFixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace rc_test {

void MakeFileReadOnly(const std::string& path) {
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0) << path;
}

bool IsFileReadOnly(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & 0222) == 0;
}

// No write bit at all: the save's rule, so that it holds for the superuser too.
bool MakeFolderUnwritable(const std::string& dir, std::string& why) {
    if (::chmod(dir.c_str(), 0500) != 0) {
        why = "chmod " + dir + " failed";
        return false;
    }
    return true;
}

void MakeFolderWritable(const std::string& dir) {
    ::chmod(dir.c_str(), 0700);
}

} // namespace rc_test
