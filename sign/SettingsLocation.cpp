#include "sign/SettingsLocation.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

std::string Join(const std::string& dir, const char* name) {
    return (std::filesystem::path(dir) / name).string();
}

// Only a regular file (through links) can hold entries: the save replaces
// nothing else, and the load reads nothing else.
bool IsSettingsFile(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

// Whether `path` was written after `than`; false when either time cannot be
// read, and for equal times. A time after now (written while the clock was
// ahead) tells nothing of the order, and would outlast every later save of
// `than`: not newer either.
bool IsNewer(const std::string& path, const std::string& than) {
    std::error_code a, b;
    const auto mine = std::filesystem::last_write_time(path, a);
    const auto theirs = std::filesystem::last_write_time(than, b);
    return !a && !b && mine > theirs && mine <= std::filesystem::file_time_type::clock::now();
}

} // namespace

TEnvironment ProcessEnvironment() {
    return [](const std::string& name) -> std::optional<std::string> {
        const char* value = std::getenv(name.c_str());
        if (value == nullptr) {
            return std::nullopt;
        }
        return std::string(value);
    };
}

TSettingsLocation ChooseSettingsLocation(const std::string& exeDir, const TEnvironment& env) {
    const std::string beside = Join(exeDir, SignSettingsFileName);
    const std::string folder = UserSettingsFolder(env);
    const std::string own = folder.empty() ? std::string() : Join(folder, SignSettingsFileName);
    const bool ownExists = !own.empty() && IsSettingsFile(own);
    if (IsWritableSettingsDirectory(exeDir)) {
        // Entries saved in the per-user folder while this one could not be
        // written are newer than what is left here, and are read once.
        const bool ownIsLater = ownExists && (!IsSettingsFile(beside) || IsNewer(own, beside));
        return {ownIsLater ? own : beside, beside, {}};
    }
    if (folder.empty()) {
        return {beside, {}, {}};
    }
    return {ownExists ? own : beside, own, folder};
}

bool SaveSignSettingsAt(const TSettingsLocation& location, const TSignSettings& settings) {
    if (location.SavePath.empty()) {
        return false;
    }
    if (!location.CreateFolder.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(location.CreateFolder, ec);
        if (ec) {
            return false;
        }
    }
    return SaveSignSettingsFile(location.SavePath, settings);
}
