#pragma once
// A test's own temporary folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

namespace rc_test {

// A new folder under the temporary directory, removed with everything in it
// (write permission given back first, for tests that take it away: on
// Windows that clears the read-only attributes that keep files). The name
// is random and the folder made only if new, as mkdtemp does, with the
// standard library alone so that Windows builds it too.
class TempDir {
public:
    TempDir() {
        std::random_device seed;
        std::mt19937_64 random(seed());
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::filesystem::path path = std::filesystem::temp_directory_path() /
                                         ("rc-test-" + std::to_string(random() % 1000000000u));
            std::error_code ec;
            if (std::filesystem::create_directory(path, ec)) {
                FPath = path;
                return;
            }
        }
        ADD_FAILURE() << "no temporary folder could be made";
    }
    ~TempDir() {
        using std::filesystem::perm_options;
        using std::filesystem::perms;
        std::error_code ec;
        std::filesystem::permissions(FPath, perms::owner_all, perm_options::add, ec);
        for (auto it = std::filesystem::recursive_directory_iterator(FPath, ec);
             !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            std::error_code ignored;
            std::filesystem::permissions(
                it->path(), it->is_directory(ignored) ? perms::owner_all : perms::owner_write,
                perm_options::add | perm_options::nofollow, ignored);
        }
        std::filesystem::remove_all(FPath, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return (FPath / name).string(); }
    const std::filesystem::path& Path() const { return FPath; }
    // The names in the folder (not below it), in no particular order.
    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(FPath))
            names.push_back(e.path().filename().string());
        return names;
    }

private:
    std::filesystem::path FPath;
};

} // namespace rc_test
