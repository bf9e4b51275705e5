// The audit log on Windows: FILE_APPEND_DATA, LockFileEx, MoveFileExW. The
// rules, and why several programs appending and rotating at once neither
// lose nor tear lines, are those of PosixAuditLog.cpp; what differs:
// - the handle may append only (no FILE_WRITE_DATA), so every WriteFile goes
//   to the end of the file, as O_APPEND does; it is shared for reading,
//   writing and deleting, so that rotation may rename a file others hold;
// - the lock is a byte-range lock far past any end of file: Windows locks
//   are mandatory, and a locked range at the end would refuse others' writes;
// - a file is the one at the path when its volume and file index are.
// A program that holds audit.1.csv without sharing deletion (a spreadsheet
// showing it) makes rotation fail: the line then goes to audit.csv, which
// keeps growing until the rotation succeeds.
#include "configurator/AuditLog.h"
#include "configurator/AuditLogFile.h"

#include <windows.h>

#include <chrono>
#include <ctime>
#include <vector>

namespace audit {

namespace {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty())
        return {};
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::string Utf8(const wchar_t* wide, std::size_t length) {
    if (length == 0)
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0,
                                      nullptr, nullptr);
    std::string text(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), text.data(), n, nullptr,
                            nullptr);
    return text;
}

std::string SystemText(DWORD code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text = n > 0 ? Utf8(buffer, n) : "";
    LocalFree(buffer);
    text = detail::AsClause(text);
    return text.empty() ? "error " + std::to_string(code) : text;
}

// Closes the handle, dropping the lock first, when it goes out of scope.
class THandle {
public:
    explicit THandle(HANDLE h) : FHandle(h) {}
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    ~THandle() {
        if (FLocked) {
            OVERLAPPED at = LockRange();
            UnlockFileEx(FHandle, 0, 1, 0, &at);
        }
        if (Valid())
            CloseHandle(FHandle);
    }
    HANDLE Get() const { return FHandle; }
    bool Valid() const { return FHandle != INVALID_HANDLE_VALUE; }

    // LockFileEx without waiting, retried until LockWaitMs has passed.
    bool LockWithin() {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(detail::LockWaitMs);
        for (int attempt = 0;; ++attempt) {
            OVERLAPPED at = LockRange();
            if (LockFileEx(FHandle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                           &at)) {
                FLocked = true;
                return true;
            }
            if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING)
                return false;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            // The holder needs microseconds: give up the time slice first,
            // then sleep (a tick, up to 15.6 ms).
            if (attempt < 20)
                SwitchToThread();
            else
                Sleep(1);
        }
    }

private:
    static OVERLAPPED LockRange() {
        OVERLAPPED at{};
        at.Offset = 0;
        at.OffsetHigh = 0x7fffffff;
        return at;
    }

    HANDLE FHandle;
    bool FLocked = false;
};

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x{};
    BY_HANDLE_FILE_INFORMATION y{};
    return GetFileInformationByHandle(a, &x) && GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

bool IsFileAtPath(const std::wstring& path, HANDLE held) {
    THandle atPath(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return atPath.Valid() && SameFile(atPath.Get(), held);
}

bool WriteText(HANDLE file, std::string_view text, std::string& reason) {
    DWORD written = 0;
    if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
        reason = SystemText(GetLastError());
        return false;
    }
    if (written != text.size()) {
        reason = detail::ShortWriteText(written, text.size());
        return false;
    }
    return true;
}

} // namespace

namespace detail {

std::string LoginName() {
    wchar_t name[257] = {};
    DWORD size = 257;
    return GetUserNameW(name, &size) && size > 0 ? Utf8(name, size - 1) : "";
}

std::string ComputerName() {
    DWORD size = 0;
    GetComputerNameExW(ComputerNameDnsHostname, nullptr, &size);
    std::vector<wchar_t> name(size + 1u);
    if (size > 0 && GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size))
        return Utf8(name.data(), size);
    wchar_t netbios[MAX_COMPUTERNAME_LENGTH + 1] = {};
    size = MAX_COMPUTERNAME_LENGTH + 1;
    return GetComputerNameW(netbios, &size) ? Utf8(netbios, size) : "";
}

TAppendResult AppendLine(const std::string& path, const std::string& rotatedPath,
                         std::string_view line, std::uint64_t rotateBytes, std::string& error) {
    const std::wstring widePath = Wide(path);
    constexpr int Passes = 4; // as on POSIX
    for (int pass = 1;; ++pass) {
        // FILE_READ_DATA: LockFileEx wants read or write data access, and
        // FILE_WRITE_DATA would lift the append-only rule.
        THandle file(
            CreateFileW(widePath.c_str(),
                        FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.Valid()) {
            const DWORD code = GetLastError();
            error = WriteError(path, SystemText(code));
            return code == ERROR_PATH_NOT_FOUND ? TAppendResult::NoFolder : TAppendResult::Failed;
        }
        const bool locked = file.LockWithin();
        bool header = false;
        LARGE_INTEGER size{};
        if (locked && GetFileSizeEx(file.Get(), &size)) {
            const auto bytes = static_cast<std::uint64_t>(size.QuadPart);
            if (pass < Passes && rotateBytes > 0 && bytes >= rotateBytes) {
                if (!IsFileAtPath(widePath, file.Get()))
                    continue; // rotated by another holder
                if (MoveFileExW(widePath.c_str(), Wide(rotatedPath).c_str(),
                                MOVEFILE_REPLACE_EXISTING))
                    continue;
            }
            header = bytes == 0;
        }
        std::string withHeader;
        if (header)
            withHeader = AuditHeader() + "\r\n" + std::string(line);
        std::string reason;
        if (!WriteText(file.Get(), header ? std::string_view(withHeader) : line, reason)) {
            error = WriteError(path, reason);
            return TAppendResult::Failed;
        }
        return TAppendResult::Written;
    }
}

} // namespace detail

void detail::CivilTimes(std::time_t instant, std::tm& local, std::tm& utc) {
    localtime_s(&local, &instant);
    gmtime_s(&utc, &instant);
}

} // namespace audit
