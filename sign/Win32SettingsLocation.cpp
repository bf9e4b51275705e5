// The settings location on Windows: %LOCALAPPDATA%. A folder's read-only
// attribute says nothing about writing in it (its access list does), so
// writability is tried: a file created there and deleted when closed.
#include "sign/SettingsLocation.h"

#include <windows.h>

#include <random>

namespace {

std::string Join(const std::string& dir, const std::string& name) {
    const char last = dir.back();
    return last == '\\' || last == '/' ? dir + name : dir + "\\" + name;
}

} // namespace

bool IsWritableSettingsDirectory(const std::string& dir) {
    if (dir.empty()) {
        return false;
    }
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return false;
    }
    // A name of its own each time: a file already there (another instance
    // probing at the same moment, anything left by someone else) must not
    // make the folder look read-only.
    static std::mt19937_64 random{std::random_device{}() ^ GetTickCount64()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string probe =
            Join(dir, ".LEDINFO.BIN.probe" + std::to_string(random() % 1000000000u));
        const HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            return false;
        }
    }
    return false;
}

std::string UserSettingsFolder(const TEnvironment& env) {
    const std::optional<std::string> local = env("LOCALAPPDATA");
    if (local && !local->empty()) {
        return Join(*local, SettingsFolderName);
    }
    return {};
}
