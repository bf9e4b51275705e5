#include "host/FileIo.h"

#include <system_error>

#include <windows.h>

namespace host {

namespace {

[[noreturn]] void Fail(DWORD error, const std::string& what, const std::string& path) {
    throw std::system_error(static_cast<int>(error), std::system_category(),
                            what + " '" + path + "'");
}

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    HANDLE get() const { return h_; }
    BOOL Close() {
        BOOL ok = CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE h_;
};

} // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
    Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return std::nullopt;
        Fail(error, "Cannot open", path);
    }
    std::string data;
    char buf[8192];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.get(), buf, sizeof buf, &n, nullptr))
            Fail(GetLastError(), "Cannot read", path);
        if (n == 0)
            break;
        data.append(buf, n);
    }
    return data;
}

void ReplaceFileAtomically(const std::string& path, std::string_view data) {
    // The root keeps its separator: "C:" alone is the drive's current folder.
    const auto slash = path.find_last_of("\\/");
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0 || (slash == 2 && path[1] == ':')
                                ? path.substr(0, slash + 1)
                                : path.substr(0, slash);
    // Windows refuses to replace a read-only file, Wine does not; refuse it
    // here, before anything is made, so that the attribute means the same
    // everywhere.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        Fail(ERROR_ACCESS_DENIED, "Cannot replace", path);
    char temp[MAX_PATH];
    if (GetTempFileNameA(dir.c_str(), "ini", 0, temp) == 0)
        Fail(GetLastError(), "Cannot create a temporary file beside", path);

    Handle file(CreateFileA(temp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            nullptr));
    auto failAndRemove = [&](DWORD error, const char* what) {
        if (file.get() != INVALID_HANDLE_VALUE)
            file.Close();
        DeleteFileA(temp);
        Fail(error, what, path);
    };
    if (file.get() == INVALID_HANDLE_VALUE)
        failAndRemove(GetLastError(), "Cannot create a temporary file beside");
    while (!data.empty()) {
        DWORD chunk = data.size() > 0x10000000u ? 0x10000000u : static_cast<DWORD>(data.size());
        DWORD n = 0;
        if (!WriteFile(file.get(), data.data(), chunk, &n, nullptr))
            failAndRemove(GetLastError(), "Cannot write");
        if (n == 0) // taken nothing and reported no error: it would never end
            failAndRemove(ERROR_DISK_FULL, "Cannot write");
        data.remove_prefix(n);
    }
    if (!FlushFileBuffers(file.get()))
        failAndRemove(GetLastError(), "Cannot flush");
    if (!file.Close())
        failAndRemove(GetLastError(), "Cannot write");
    if (!MoveFileExA(temp, path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        failAndRemove(GetLastError(), "Cannot replace");
}

} // namespace host
