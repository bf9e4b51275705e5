#pragma once
// What the shared and the per-platform tests of the file replacement have in
// common: whole-file writes and reads, and the names in a test's folder.

#include "host/FileIo.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace rc_test {

inline void Put(const std::string& path, const std::string& text) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

inline std::string Get(const std::string& path) {
    return host::ReadWholeFile(path).value_or("<missing>");
}

inline std::vector<std::string> SortedNames(const TempDir& dir) {
    auto names = dir.Names();
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace rc_test
