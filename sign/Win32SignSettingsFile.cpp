// LEDINFO.BIN on Windows, with the file calls of kernel32. The rules are
// those of sign/SignSettings.h, with its Windows notes.

#include "sign/SignSettings.h"

#include <windows.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace {

// Closes the handle when it goes out of scope.
class THandle {
public:
    explicit THandle(HANDLE h = INVALID_HANDLE_VALUE) : FHandle(h) {}
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() { Reset(); }
    HANDLE Get() const { return FHandle; }
    bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }
    bool Close() {
        const bool ok = !Valid() || CloseHandle(FHandle) != 0;
        FHandle = INVALID_HANDLE_VALUE;
        return ok;
    }
    void Reset() { Close(); }

private:
    HANDLE FHandle;
};

std::string DirectoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    if (slash == std::string::npos)
        return ".";
    if (slash == 0 || (slash == 2 && path[1] == ':'))
        return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

std::string Join(const std::string& dir, const std::string& name) {
    const char last = dir.empty() ? '\\' : dir.back();
    return last == '\\' || last == '/' ? dir + name : dir + "\\" + name;
}

bool WriteAll(const TSettingsFileOps& ops, HANDLE file, const std::uint8_t* data,
              std::size_t size) {
    const TSettingsFileOps::TWrite os = [file](const void* bytes, std::size_t n) -> long {
        DWORD written = 0;
        const DWORD chunk = n > 0x10000000u ? 0x10000000u : static_cast<DWORD>(n);
        return WriteFile(file, bytes, chunk, &written, nullptr) ? static_cast<long>(written) : -1;
    };
    while (size > 0) {
        errno = 0; // WriteFile sets none: only a hook's EINTR is retried
        const long n = ops.write ? ops.write(data, size, os) : os(data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || static_cast<std::size_t>(n) > size)
            return false; // nothing taken: the disk is full
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string FileNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

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
    THandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
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

bool SaveSignSettingsFile(const std::string& path, const TSignSettings& settings,
                          const TSettingsFileOps& ops) {
    if (path.empty())
        return false;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
            return false;
        THandle existing(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (existing.Valid() && GetFileType(existing.Get()) != FILE_TYPE_DISK)
            return false;
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        return false;
    }
    const std::string dir = DirectoryOf(path);
    const DWORD dirAttributes = GetFileAttributesA(dir.c_str());
    if (dirAttributes == INVALID_FILE_ATTRIBUTES || (dirAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;

    static std::mt19937_64 random{std::random_device{}() ^ GetTickCount64()};
    std::string temporary;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
        temporary =
            Join(dir, "." + FileNameOf(path) + ".tmp" + std::to_string(random() % 1000000000u));
        created = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    THandle file(created);
    if (!file.Valid())
        return false;
    const TSignSettingsBytes bytes = EncodeSignSettings(settings);
    bool ok = WriteAll(ops, file.Get(), bytes.data(), bytes.size());
    ok = ok && (ops.flush ? ops.flush() : FlushFileBuffers(file.Get()) != 0);
    ok = file.Close() && ok;
    ok = ok && (ops.replace ? ops.replace(temporary, path)
                            : MoveFileExA(temporary.c_str(), path.c_str(),
                                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0);
    if (!ok) {
        DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}
