// The audit log on POSIX systems: O_APPEND, flock, rename.
//
// Every appender opens the file at the path, takes flock on it (per open
// file, so two logs of one process exclude each other too) and, holding it,
// decides on the header and on rotation by fstat of what it holds:
// - an empty file gets the header in the same write as the line; only one
//   holder can see it empty, so one header per file;
// - a file at or past the size is renamed to audit.1.csv only if it is still
//   the file at the path (same device and inode). A file only grows and is
//   renamed only once past the size, so a held file below the size is the
//   current one; one past the size that is no longer at the path was rotated
//   by another holder while this one waited: this one opens the path again
//   instead of rotating the new file. Holders that renamed it, or found it
//   renamed, open the path again (O_CREAT: whoever comes first creates it)
//   and lock the new file before writing, so the header rule holds there too.
// A line is written whole by one write() to an O_APPEND file. When the lock
// is not had within LockWaitMs, the line is written without header and
// rotation work: it may then land in a file just renamed to audit.1.csv, and
// a new file's first line may come before its header, but it is not lost.
// Lines are not fsync'd: a line survives the program, not a power cut, and
// costs microseconds instead of the milliseconds a flush to disk takes.
#include "configurator/AuditLog.h"
#include "configurator/AuditLogFile.h"
#include "host/PosixFd.h"

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
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == held.st_dev && st.st_ino == held.st_ino;
}

// One write of the whole text. Only under the lock is the rest of a short
// write (a signal, a nearly full disk) written after it: every other
// appender that may write then is a rare lock-less one.
bool WriteText(int fd, std::string_view text, bool locked, std::string& reason) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            reason = ErrnoText(errno);
            return false;
        }
        done += static_cast<std::size_t>(n);
        if (done < text.size() && (!locked || n == 0)) {
            reason = detail::ShortWriteText(done, text.size());
            return false;
        }
    }
    return true;
}

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
                         std::string_view line, std::uint64_t rotateBytes, std::string& error) {
    // Each pass either writes or finds the file renamed (by itself or by
    // another holder); a few passes are enough unless the log is rotated at
    // every line by several writers, and the last pass writes regardless.
    constexpr int Passes = 4;
    for (int pass = 1;; ++pass) {
        // Closed at the end of the scope, which drops its flock.
        host::TFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        if (fd.Get() < 0) {
            const int code = errno;
            error = WriteError(path, ErrnoText(code));
            return code == ENOENT ? TAppendResult::NoFolder : TAppendResult::Failed;
        }
        const bool locked = LockWithin(fd.Get());
        bool header = false;
        struct stat st {};
        if (locked && ::fstat(fd.Get(), &st) == 0) {
            if (pass < Passes) {
                if (st.st_nlink == 0)
                    continue; // removed while this one waited
                const auto size = static_cast<std::uint64_t>(st.st_size);
                if (rotateBytes > 0 && size >= rotateBytes) {
                    if (!IsFileAtPath(path, st))
                        continue; // rotated by another holder
                    // A failed rename (audit.1.csv a folder, say) leaves the
                    // log growing rather than losing the line.
                    if (::rename(path.c_str(), rotatedPath.c_str()) == 0)
                        continue;
                }
            }
            header = st.st_size == 0;
        }
        std::string withHeader;
        if (header)
            withHeader = AuditHeader() + "\r\n" + std::string(line);
        std::string reason;
        if (!WriteText(fd.Get(), header ? std::string_view(withHeader) : line, locked, reason)) {
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
