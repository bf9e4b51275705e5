#include "host/FileIo.h"

#include "host/FileIoImpl.h"
#include "host/Win32Handle.h"

#include <random>
#include <system_error>

#include <windows.h>

namespace host {

namespace {

[[noreturn]] void Fail(DWORD error, const std::string& what, const std::string& path) {
    throw std::system_error(static_cast<int>(error), std::system_category(),
                            what + " '" + path + "'");
}

// The error of a step that reported failure: the last error, or a write fault
// when it set none (a test's step, or a write that claimed more than it was
// given).
DWORD LastError() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
}

// The folder of a path; the root keeps its separator ("C:" alone is the
// drive's current folder).
std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    if (slash == std::string::npos)
        return ".";
    if (slash == 0 || (slash == 2 && path[1] == ':'))
        return path.substr(0, slash + 1);
    return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Join(const std::string& dir, const std::string& name) {
    const char last = dir.empty() ? '\\' : dir.back();
    return last == '\\' || last == '/' ? dir + name : dir + "\\" + name;
}

// Refuses what may not be replaced: a folder, a read-only file and anything
// that is not a disk file (a device such as NUL).
void CheckReplaceable(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            Fail(error, "Cannot replace", path);
        return;
    }
    // Windows refuses to replace a read-only file, Wine does not; refuse it
    // here, before anything is made, so that the attribute means the same
    // everywhere.
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0)
        Fail(ERROR_ACCESS_DENIED, "Cannot replace", path);
    THandle existing(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (existing.Valid() && GetFileType(existing.Get()) != FILE_TYPE_DISK)
        Fail(ERROR_BAD_FILE_TYPE, "Not a regular file:", path);
}

} // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
    THandle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return std::nullopt;
        Fail(error, "Cannot open", path);
    }
    std::string data;
    char buf[8192];
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.Get(), buf, sizeof buf, &n, nullptr))
            Fail(GetLastError(), "Cannot read", path);
        if (n == 0)
            break;
        data.append(buf, n);
    }
    return data;
}

void ReplaceFileAtomically(const std::string& path, std::string_view data,
                           const TReplaceSteps& steps) {
    if (path.empty())
        Fail(ERROR_PATH_NOT_FOUND, "Cannot replace", path);
    CheckReplaceable(path);
    const std::string dir = FolderOf(path);
    const DWORD folder = GetFileAttributesA(dir.c_str());
    if (folder == INVALID_FILE_ATTRIBUTES || (folder & FILE_ATTRIBUTE_DIRECTORY) == 0)
        Fail(ERROR_PATH_NOT_FOUND, "Cannot create a temporary file beside", path);

    // A new name nobody else uses, created exclusively.
    thread_local std::mt19937_64 random{std::random_device{}() ^ GetTickCount64() ^
                                        GetCurrentThreadId()};
    std::string temp;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
        temp = Join(dir, "." + NameOf(path) + ".tmp" + std::to_string(random() % 1000000000u));
        created = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
            Fail(GetLastError(), "Cannot create a temporary file beside", path);
    }
    THandle file(created);
    if (!file.Valid())
        Fail(ERROR_FILE_EXISTS, "Cannot create a temporary file beside", path);
    auto failAndRemove = [&](DWORD error, const char* what) {
        file.Close();
        DeleteFileA(temp.c_str());
        Fail(error, what, path);
    };

    const HANDLE out = file.Get();
    const TReplaceSteps::TWrite os = [out](const void* bytes, std::size_t n) -> long {
        DWORD written = 0;
        const DWORD chunk = n > 0x10000000u ? 0x10000000u : static_cast<DWORD>(n);
        return WriteFile(out, bytes, chunk, &written, nullptr) ? static_cast<long>(written) : -1;
    };
    SetLastError(ERROR_SUCCESS);
    const fileio::TWriteEnd written = fileio::WriteWhole(data, steps, os);
    if (written == fileio::TWriteEnd::Failed)
        failAndRemove(LastError(), "Cannot write");
    if (written == fileio::TWriteEnd::TookNothing)
        failAndRemove(ERROR_DISK_FULL, "Cannot write");
    SetLastError(ERROR_SUCCESS);
    if (!(steps.flush ? steps.flush() : FlushFileBuffers(file.Get()) != 0))
        failAndRemove(LastError(), "Cannot flush");
    if (!file.Close())
        failAndRemove(LastError(), "Cannot write");
    SetLastError(ERROR_SUCCESS);
    if (!(steps.replace ? steps.replace(temp, path)
                        : MoveFileExA(temp.c_str(), path.c_str(),
                                      MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0))
        failAndRemove(LastError(), "Cannot replace");
}

} // namespace host
