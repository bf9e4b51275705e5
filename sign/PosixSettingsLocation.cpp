// The settings location on POSIX systems: the XDG data home.
#include "sign/SettingsLocation.h"

#include <sys/stat.h>
#include <unistd.h>

bool IsWritableSettingsDirectory(const std::string& dir) {
    struct stat st {};
    return !dir.empty() && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
           ::access(dir.c_str(), W_OK | X_OK) == 0;
}

std::string UserSettingsFolder(const TEnvironment& env) {
    // A relative XDG_DATA_HOME is to be ignored, as an unset one.
    const std::optional<std::string> xdg = env("XDG_DATA_HOME");
    if (xdg && !xdg->empty() && xdg->front() == '/') {
        return *xdg + "/" + SettingsFolderName;
    }
    const std::optional<std::string> home = env("HOME");
    if (home && !home->empty()) {
        return *home + "/.local/share/" + SettingsFolderName;
    }
    return {};
}
