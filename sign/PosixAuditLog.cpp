// The audit log on POSIX systems: O_APPEND, flock, rename.
//
// Only a regular file of its own is opened: lstat first refuses a link, a
// FIFO, a device, a folder or a socket at the path without opening it (a
// tty's lines would rise at the open); the open does not follow a link in
// the last component (O_NOFOLLOW) nor wait for a FIFO's reader (O_NONBLOCK),
// and fstat of what was opened refuses anything but a regular file with one
// name, so one put there between the two looks is not written either. The
// folder may be a link: that is where the user keeps the data.
//
// Every appender opens the file at the path, takes flock on it (per open
// file, so two logs of one process exclude each other too) and, holding it,
// decides on the header, rotation and repair by fstat of what it holds:
// - an empty file gets the header in the same write as the line; only one
//   holder can see it empty, so one header per file;
// - a file at or past the size is renamed to audit.1.csv only if it is still
//   the file at the path (lstat: same device and inode; a link put at the
//   path is not it, and rename moves a link, never its target). A file only
//   grows and is renamed only once past the size, so a held file below the
//   size is the current one; one past the size that is no longer at the
//   path was rotated by another holder while this one waited: this one
//   opens the path again instead of rotating the new file. Holders that
//   renamed it, or found it renamed, open the path again (O_CREAT: whoever
//   comes first creates it) and lock the new file before writing, so the
//   header rule holds there too. A rename that fails leaves the line going
//   into the current file, and is said once (TAuditLog::TakeWarning);
// - a last line without its LF is ended in the same write as the line
//   (RowSeparator of AuditLogFile.h, which reads the file's last byte: the
//   file is opened for reading too);
// - a write that the disk cuts short is taken back with ftruncate to the
//   size seen under the lock (WriteWhole), so a row is whole or absent.
// A line is written whole by one write() to an O_APPEND file. When the lock
// is not had within LockWaitMs, the line is written without header,
// rotation and repair work: it may then land in a file just renamed to
// audit.1.csv, and a new file's first line may come before its header, but
// it is not lost. A write cut short there is not taken back, since the
// holder may have written after it; the next row written under the lock
// ends its line first, so it stays a broken row of its own and is never
// glued to a whole one (two lock-less rows after it can still meet: that
// takes a stalled holder and a full disk at once).
// Lines are not fsync'd: a line survives the program, not a power cut, and
// costs microseconds instead of the milliseconds a flush to disk takes.
#include "host/PosixFd.h"
#include "sign/AuditLog.h"
#include "sign/AuditLogFile.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace audit {

namespace {

using namespace std::chrono_literals;

std::string ErrnoText(int code) {
    return detail::AsClause(std::generic_category().message(code));
}

// flock without blocking, retried with short sleeps until LockWaitMs has
// passed. False also when the file system has no locks (ENOLCK).
bool LockWithin(int fd) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(detail::LockWaitMs);
    auto pause = std::chrono::microseconds(20);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK)
            return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(pause, deadline - now));
        pause = std::min<std::chrono::microseconds>(pause * 2, 500us);
    }
}

bool IsFileAtPath(const std::string& path, const struct stat& held) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && st.st_dev == held.st_dev && st.st_ino == held.st_ino;
}

// What a file that is not the log's own regular file is, for "it is <what>,
// not a regular file"; empty for a regular file with one name.
std::string NotALog(const struct stat& st) {
    if (S_ISREG(st.st_mode))
        return st.st_nlink > 1
                   ? "a hard link (the file has " + std::to_string(st.st_nlink) + " names)"
                   : "";
    if (S_ISLNK(st.st_mode))
        return "a symbolic link";
    if (S_ISFIFO(st.st_mode))
        return "a FIFO";
    if (S_ISDIR(st.st_mode))
        return "a folder";
    if (S_ISCHR(st.st_mode))
        return "a character device";
    if (S_ISBLK(st.st_mode))
        return "a block device";
    if (S_ISSOCK(st.st_mode))
        return "a socket";
    return "a special file";
}

// The open log's file, for the shared rules of AuditLogFile.h.
class TLogFile final : public detail::ILogFile {
public:
    explicit TLogFile(int fd) : fd_(fd) {}

    std::size_t Append(std::string_view text, std::string& reason) override {
        const std::size_t allowed = detail::WritableBytes(text.size());
        for (;;) {
            ssize_t n = -1;
            if (allowed > 0)
                n = ::write(fd_, text.data(), allowed);
            else
                errno = ENOSPC;
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                reason = ErrnoText(errno);
                return 0;
            }
            return static_cast<std::size_t>(n);
        }
    }

    bool Size(std::uint64_t& size) override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0)
            return false;
        size = static_cast<std::uint64_t>(st.st_size);
        return true;
    }

    bool ReadAt(std::uint64_t offset, std::string& buffer) override {
        std::size_t done = 0;
        while (done < buffer.size()) {
            const ssize_t n = ::pread(fd_, buffer.data() + done, buffer.size() - done,
                                      static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    bool CutBack(std::uint64_t size, std::string& reason) override {
        for (;;) {
            int rc = -1;
            if (detail::CutBackFails())
                errno = EIO;
            else
                rc = ::ftruncate(fd_, static_cast<off_t>(size));
            if (rc == 0)
                return true;
            if (errno != EINTR) {
                reason = ErrnoText(errno);
                return false;
            }
        }
    }

private:
    int fd_;
};

} // namespace

namespace detail {

std::string LoginName() {
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<std::size_t>(size) : 16384u, '\0');
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr && found->pw_name != nullptr && found->pw_name[0] != '\0')
        return found->pw_name;
    const char* user = std::getenv("USER");
    return user != nullptr ? user : "";
}

std::string ComputerName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};
    return name;
}

TAppendResult AppendLine(const std::string& path, const std::string& rotatedPath,
                         std::string_view line, std::uint64_t rotateBytes, std::string& error,
                         std::string& warning) {
    // Each pass either writes or finds the file renamed (by itself or by
    // another holder); a few passes are enough unless the log is rotated at
    // every line by several writers, and the last pass writes regardless.
    constexpr int Passes = 4;
    for (int pass = 1;; ++pass) {
        struct stat seen {};
        if (::lstat(path.c_str(), &seen) == 0 && !NotALog(seen).empty()) {
            error = NotRegularError(path, NotALog(seen));
            return TAppendResult::Failed;
        }
        // Closed at the end of the scope, which drops its flock.
        host::TFd fd(::open(
            path.c_str(),
            O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644));
        if (fd.Get() < 0) {
            const int code = errno;
            // Put there since the look: say what it is rather than ELOOP's
            // "too many levels of symbolic links" or ENXIO's "no such
            // device or address" (a FIFO without a reader).
            if (::lstat(path.c_str(), &seen) == 0 && !NotALog(seen).empty())
                error = NotRegularError(path, NotALog(seen));
            else
                error = WriteError(path, ErrnoText(code));
            return code == ENOENT ? TAppendResult::NoFolder : TAppendResult::Failed;
        }
        struct stat st {};
        if (::fstat(fd.Get(), &st) != 0) {
            error = WriteError(path, ErrnoText(errno));
            return TAppendResult::Failed;
        }
        if (!NotALog(st).empty()) {
            error = NotRegularError(path, NotALog(st));
            return TAppendResult::Failed;
        }
        TLogFile file(fd.Get());
        const bool locked = LockWithin(fd.Get());
        std::string before; // the header, or the end of an unended last line
        std::uint64_t size = 0;
        if (locked && ::fstat(fd.Get(), &st) == 0) {
            size = static_cast<std::uint64_t>(st.st_size);
            if (pass < Passes) {
                if (st.st_nlink == 0)
                    continue; // removed while this one waited
                if (rotateBytes > 0 && size >= rotateBytes) {
                    if (!IsFileAtPath(path, st))
                        continue; // rotated by another holder
                    if (::rename(path.c_str(), rotatedPath.c_str()) == 0)
                        continue;
                    warning = RotateError(path, rotatedPath, ErrnoText(errno));
                }
            }
            before = size == 0 ? AuditHeader() + "\r\n" : RowSeparator(file, size);
        }
        std::string reason;
        const bool written =
            before.empty() ? WriteWhole(file, line, locked, size, reason)
                           : WriteWhole(file, before + std::string(line), locked, size, reason);
        if (!written) {
            error = WriteError(path, reason);
            return TAppendResult::Failed;
        }
        return TAppendResult::Written;
    }
}

} // namespace detail

void detail::CivilTimes(std::time_t instant, std::tm& local, std::tm& utc) {
    ::localtime_r(&instant, &local);
    ::gmtime_r(&instant, &utc);
}

} // namespace audit
