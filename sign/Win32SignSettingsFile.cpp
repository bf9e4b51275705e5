// Reading LEDINFO.BIN on Windows, with the file calls of kernel32, by the
// rules of sign/SignSettings.h. The save, the same on every platform, is in
// SignSettings.cpp.

#include "sign/SignSettings.h"

#include "host/Win32Handle.h"

#include <windows.h>

#include <cstring>

TSettingsLoadResult LoadSignSettingsFile(const std::string& path, TSignSettings& settings,
                                         std::size_t* bytesRead) {
    if (bytesRead != nullptr)
        *bytesRead = 0;
    const DWORD attributes =
        path.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        settings = DefaultSignSettings();
        return TSettingsLoadResult::Defaults;
    }
    host::THandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    // Only a disk file is read: a device or a pipe of that name is not.
    if (!file.Valid() || GetFileType(file.Get()) != FILE_TYPE_DISK)
        return TSettingsLoadResult::Unreadable;
    TSignSettingsBytes buffer{};
    std::size_t got = 0;
    while (got < buffer.size()) {
        DWORD n = 0;
        if (!ReadFile(file.Get(), buffer.data() + got, static_cast<DWORD>(buffer.size() - got), &n,
                      nullptr))
            return TSettingsLoadResult::Unreadable;
        if (n == 0)
            break;
        got += n;
    }
    TSignSettingsBytes record = EncodeSignSettings(settings);
    std::memcpy(record.data(), buffer.data(), got);
    settings = DecodeSignSettings(record);
    if (bytesRead != nullptr)
        *bytesRead = got;
    return TSettingsLoadResult::Read;
}
