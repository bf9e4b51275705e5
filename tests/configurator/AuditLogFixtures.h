#pragma once
// What the audit log's tests need of the operating system, one
// implementation per platform (PosixAuditLogFixtures.cpp,
// Win32AuditLogFixtures.cpp): copies of the test program appending at once,
// and the log's lock held by a writer that has stalled.

#include <cstdint>
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

} // namespace rc_test
