// The audit log on Windows: FILE_APPEND_DATA, LockFileEx, MoveFileExW. The
// rules, and why several programs appending and rotating at once neither
// lose nor tear lines, are those of PosixAuditLog.cpp; what differs:
// - the handle may append only (no FILE_WRITE_DATA), so every WriteFile goes
//   to the end of the file, as O_APPEND does; it is shared for reading,
//   writing and deleting, so that rotation may rename a file others hold.
//   Taking back a write cut short needs FILE_WRITE_DATA: a second handle to
//   the same file (ReOpenFile) does that alone;
// - only a disk file of its own is written: the open does not follow a
//   reparse point (FILE_FLAG_OPEN_REPARSE_POINT: a symbolic link or a
//   junction is opened itself and refused), and what was opened is refused
//   unless GetFileType says a disk file (NUL, CON, COM1, a pipe are not)
//   with one name. A device is opened before it can be told, as
//   GetFileType needs a handle; its path is that of the per-user data
//   folder, which a user would have to point at one;
// - the lock is a byte-range lock far past any end of file: Windows locks
//   are mandatory, and a locked range at the end would refuse others' writes;
// - a file is the one at the path when its volume and file index are, the
//   path's own reparse point looked at, not its target.
// A program that holds audit.1.csv without sharing deletion (a spreadsheet
// showing it) makes rotation fail: the line then goes to audit.csv, which
// keeps growing until the rotation succeeds (said once, as on POSIX).
#include "sign/AuditLog.h"
#include "sign/AuditLogFile.h"

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
    THandle atPath(CreateFileW(
        path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return atPath.Valid() && SameFile(atPath.Get(), held);
}

// What an open file that is not the log's own disk file is, for "it is
// <what>, not a regular file"; empty for a disk file with one name.
std::string NotALog(HANDLE file) {
    switch (GetFileType(file)) {
    case FILE_TYPE_DISK:
        break;
    case FILE_TYPE_CHAR:
        return "a character device";
    case FILE_TYPE_PIPE:
        return "a pipe";
    default:
        return "a device";
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info))
        return {}; // the write says what is wrong, if anything
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "a link (a reparse point)";
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return "a folder";
    if (info.nNumberOfLinks > 1)
        return "a hard link (the file has " + std::to_string(info.nNumberOfLinks) + " names)";
    return {};
}

// What is at a path that could not be opened, when that is why.
std::string NotALog(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return {};
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return "a link (a reparse point)";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return "a folder";
    return {};
}

// The open log's file, for the shared rules of AuditLogFile.h.
class TLogFile final : public detail::ILogFile {
public:
    explicit TLogFile(HANDLE file) : file_(file) {}

    std::size_t Append(std::string_view text, std::string& reason) override {
        const std::size_t allowed = detail::WritableBytes(text.size());
        DWORD written = 0;
        if (allowed == 0) {
            reason = SystemText(ERROR_DISK_FULL);
        } else if (!WriteFile(file_, text.data(), static_cast<DWORD>(allowed), &written, nullptr)) {
            reason = SystemText(GetLastError());
        }
        return written;
    }

    bool Size(std::uint64_t& size) override {
        LARGE_INTEGER bytes{};
        if (!GetFileSizeEx(file_, &bytes))
            return false;
        size = static_cast<std::uint64_t>(bytes.QuadPart);
        return true;
    }

    bool ReadAt(std::uint64_t offset, std::string& buffer) override {
        std::size_t done = 0;
        while (done < buffer.size()) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset + done);
            at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
            DWORD n = 0;
            if (!ReadFile(file_, buffer.data() + done, static_cast<DWORD>(buffer.size() - done), &n,
                          &at) ||
                n == 0)
                return false;
            done += n;
        }
        return true;
    }

    bool CutBack(std::uint64_t size, std::string& reason) override {
        if (detail::CutBackFails()) {
            reason = SystemText(ERROR_WRITE_FAULT);
            return false;
        }
        THandle writer(ReOpenFile(file_, GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0));
        LARGE_INTEGER at{};
        at.QuadPart = static_cast<LONGLONG>(size);
        if (!writer.Valid() || !SetFilePointerEx(writer.Get(), at, nullptr, FILE_BEGIN) ||
            !SetEndOfFile(writer.Get())) {
            reason = SystemText(GetLastError());
            return false;
        }
        return true;
    }

private:
    HANDLE file_;
};

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
                         std::string_view line, std::uint64_t rotateBytes, std::string& error,
                         std::string& warning) {
    const std::wstring widePath = Wide(path);
    constexpr int Passes = 4; // as on POSIX
    for (int pass = 1;; ++pass) {
        // FILE_READ_DATA: LockFileEx wants read or write data access, and
        // the last byte is read; FILE_WRITE_DATA would lift the append-only
        // rule.
        THandle file(CreateFileW(
            widePath.c_str(),
            FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.Valid()) {
            const DWORD code = GetLastError();
            const std::string what = NotALog(widePath);
            error = what.empty() ? WriteError(path, SystemText(code)) : NotRegularError(path, what);
            return code == ERROR_PATH_NOT_FOUND ? TAppendResult::NoFolder : TAppendResult::Failed;
        }
        if (const std::string what = NotALog(file.Get()); !what.empty()) {
            error = NotRegularError(path, what);
            return TAppendResult::Failed;
        }
        TLogFile log(file.Get());
        const bool locked = file.LockWithin();
        std::string before; // the header, or the end of an unended last line
        std::uint64_t bytes = 0;
        if (locked && log.Size(bytes)) {
            if (pass < Passes && rotateBytes > 0 && bytes >= rotateBytes) {
                if (!IsFileAtPath(widePath, file.Get()))
                    continue; // rotated by another holder
                if (MoveFileExW(widePath.c_str(), Wide(rotatedPath).c_str(),
                                MOVEFILE_REPLACE_EXISTING))
                    continue;
                warning = RotateError(path, rotatedPath, SystemText(GetLastError()));
            }
            before = bytes == 0 ? AuditHeader() + "\r\n" : RowSeparator(log, bytes);
        }
        std::string reason;
        const bool written =
            before.empty() ? WriteWhole(log, line, locked, bytes, reason)
                           : WriteWhole(log, before + std::string(line), locked, bytes, reason);
        if (!written) {
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
