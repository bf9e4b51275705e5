#pragma once
// What the audit log's tests need of the operating system, one
// implementation per platform (PosixAuditLogFixtures.cpp,
// Win32AuditLogFixtures.cpp): copies of the test program appending at once,
// the log's lock held by a writer that has stalled, and the things other
// than a file of its own that may be at the log's path.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace rc_test {

// Starts one copy of this test program per value, all at once, each with
// `variable`=<its value> in its environment, and waits for them all (up to
// a minute). Answers their exit statuses in the same order; -1 for a copy
// that could not start, did not end in time or was ended by a signal.
std::vector<int> RunCopiesOfThisProgram(const std::string& variable,
                                        const std::vector<std::string>& values);

// Holds the lock of the audit log file at `path` (which must exist) as an
// appender does, until destroyed. Fails the test when it cannot.
class TAuditLockHolder {
public:
    explicit TAuditLockHolder(const std::string& path);
    ~TAuditLockHolder();
    TAuditLockHolder(const TAuditLockHolder&) = delete;
    TAuditLockHolder& operator=(const TAuditLockHolder&) = delete;

private:
    std::intptr_t FHandle = -1;
};

// What a TNotALog keeps open while the log is tried on it (a FIFO's reader,
// a pipe's server), and what reached it.
class TKept {
public:
    virtual ~TKept() = default;
    virtual std::string Received() { return {}; }
};

// Something at the log's path that is not a file of the log's own, and the
// words of its refusal: "it is <What>, not a regular file".
struct TNotALog {
    std::string Name;
    std::string What;
    // Makes it, in or under `tmp`, with anything it points to in
    // `elsewhere`; answers the folder to give the log (whose audit.csv it
    // is), or "" when this system cannot make it (the row is skipped, and
    // says why in `kept`'s place: `skip`).
    std::function<std::string(const std::filesystem::path& tmp,
                              const std::filesystem::path& elsewhere, std::unique_ptr<TKept>& kept,
                              std::string& skip)>
        Make;
};

// The kinds this platform has beside a folder and a hard link: POSIX a
// symbolic link (to a file, and dangling), a FIFO (with a reader and
// without), a character device, a socket; Windows a symbolic link and a
// named pipe.
std::vector<TNotALog> PlatformNotALogs();

} // namespace rc_test
