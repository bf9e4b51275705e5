#include "host/FileIo.h"

#include "host/PosixFd.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace host {

namespace {

[[noreturn]] void Fail(int error, const std::string& what, const std::string& path) {
    throw std::system_error(error, std::generic_category(), what + " '" + path + "'");
}

bool WriteAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// The mode a newly created file gets: 0666 less the process's umask. The umask
// can only be read race-free from /proc; without it, stay private.
mode_t NewFileMode() {
    std::optional<std::string> status;
    try {
        status = ReadWholeFile("/proc/self/status");
    } catch (const std::system_error&) {
    }
    if (status) {
        auto at = status->find("\nUmask:");
        if (at != std::string::npos) {
            const char* p = status->c_str() + at + 7;
            char* end = nullptr;
            unsigned long mask = std::strtoul(p, &end, 8);
            if (end != p)
                return static_cast<mode_t>(0666 & ~mask);
        }
    }
    return 0600;
}

// Follows symbolic links so that the rename replaces the link's target.
std::string ResolveTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char buf[PATH_MAX];
        if (::realpath(path.c_str(), buf) != nullptr)
            return buf;
        // A dangling link: write through to where it points.
        ssize_t n = ::readlink(path.c_str(), buf, sizeof buf - 1);
        if (n > 0) {
            std::string link(buf, static_cast<std::size_t>(n));
            if (link.front() == '/')
                return link;
            auto slash = path.rfind('/');
            return slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
        }
    }
    return path;
}

} // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
    int raw;
    do {
        raw = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        Fail(errno, "Cannot open", path);
    }
    TFd fd(raw);
    std::string data;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd.Get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail(errno, "Cannot read", path);
        }
        if (n == 0)
            break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    return data;
}

void ReplaceFileAtomically(const std::string& path, std::string_view data) {
    const std::string target = ResolveTarget(path);
    const auto slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);

    std::string temp = (slash == std::string::npos ? std::string() : dir) + "." + name + ".XXXXXX";
    int raw = ::mkstemp(temp.data());
    if (raw < 0)
        Fail(errno, "Cannot create a temporary file beside", target);
    TFd fd(raw);
    auto failAndRemove = [&](int error, const char* what) {
        ::unlink(temp.c_str());
        Fail(error, what, target);
    };

    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        if (::fchmod(fd.Get(), st.st_mode & 07777) != 0)
            failAndRemove(errno, "Cannot set the permissions for");
        // Keep the owner when we may (root editing a user's file); otherwise
        // the file becomes ours, as any rewrite would make it.
        if (::fchown(fd.Get(), st.st_uid, st.st_gid) != 0) {
        }
    } else if (::fchmod(fd.Get(), NewFileMode()) != 0) {
        failAndRemove(errno, "Cannot set the permissions for");
    }

    if (!WriteAll(fd.Get(), data))
        failAndRemove(errno, "Cannot write");
    if (::fsync(fd.Get()) != 0)
        failAndRemove(errno, "Cannot flush");
    if (::close(fd.Release()) != 0)
        failAndRemove(errno, "Cannot write");
    if (::rename(temp.c_str(), target.c_str()) != 0)
        failAndRemove(errno, "Cannot replace");

    // Make the rename itself durable. A failure here leaves the new file in
    // place; only its survival of a power cut is in doubt, so it is not raised.
    int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

} // namespace host
