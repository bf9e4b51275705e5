#include "tests/configurator/AuditLogFixtures.h"

#include "tests/support/ChildProcess.h"

#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace rc_test {

std::vector<int> RunCopiesOfThisProgram(const std::string& variable,
                                        const std::vector<std::string>& values) {
    std::vector<std::unique_ptr<ChildProcess>> children;
    std::vector<int> statuses(values.size(), -1);
    for (const std::string& value : values) {
        try {
            children.push_back(std::make_unique<ChildProcess>(
                "/proc/self/exe", std::vector<std::string>{}, std::vector{variable + "=" + value}));
        } catch (const std::exception&) {
            children.push_back(nullptr);
        }
    }
    for (std::size_t i = 0; i < children.size(); ++i)
        if (children[i] != nullptr)
            statuses[i] = children[i]->Wait();
    return statuses;
}

TAuditLockHolder::TAuditLockHolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0) << path;
    FHandle = fd;
}

TAuditLockHolder::~TAuditLockHolder() {
    if (FHandle >= 0)
        ::close(static_cast<int>(FHandle));
}

} // namespace rc_test
