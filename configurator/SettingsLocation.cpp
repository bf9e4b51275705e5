#include "configurator/SettingsLocation.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

std::string Join(const std::string& dir, const char* name) {
    return (std::filesystem::path(dir) / name).string();
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
    if (IsWritableSettingsDirectory(exeDir)) {
        return {beside, beside, {}};
    }
    const std::string folder = UserSettingsFolder(env);
    if (folder.empty()) {
        return {beside, {}, {}};
    }
    const std::string own = Join(folder, SignSettingsFileName);
    std::error_code ec;
    const bool ownExists = std::filesystem::exists(own, ec);
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
