#include "tests/host/IniFileTest.h"

#include <sys/stat.h>

namespace rc_test {

std::uint64_t FileIdentity(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return static_cast<std::uint64_t>(st.st_ino);
}

} // namespace rc_test
