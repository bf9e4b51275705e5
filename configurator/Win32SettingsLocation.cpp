// The settings location on Windows: %LOCALAPPDATA%. A folder's read-only
// attribute says nothing about writing in it (its access list does), so
// writability is tried: a file created there and deleted when closed.
#include "configurator/SettingsLocation.h"

#include <windows.h>

bool IsWritableSettingsDirectory(const std::string& dir) {
    if (dir.empty()) {
        return false;
    }
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    const std::string probe = dir + "\\.LEDINFO.BIN.probe";
    const HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(h);
    return true;
}

std::string UserSettingsFolder(const TEnvironment& env) {
    const std::optional<std::string> local = env("LOCALAPPDATA");
    if (local && !local->empty()) {
        return *local + "\\" + SettingsFolderName;
    }
    return {};
}
