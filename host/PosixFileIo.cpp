#include "host/FileIo.h"

#include "host/FileIoImpl.h"
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

// The error of a step that reported failure: errno, or EIO when it set none
// (a test's step, or a write that claimed more than it was given).
int LastError() {
    return errno != 0 ? errno : EIO;
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

// A symbolic link to an existing file is followed, so that the rename
// replaces the file and the link stays. One that names nothing is replaced
// itself: writing through it would create a file wherever it points.
std::string ResolveTarget(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf) != nullptr)
        return buf;
    if (errno == ENOENT)
        return path;
    Fail(errno, "Cannot follow the link", path);
}

// Read-only for everyone, the superuser included, without any write bit;
// otherwise as the process's own permissions say.
bool Writable(const std::string& path, const struct stat& st, int how) {
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
           ::faccessat(AT_FDCWD, path.c_str(), how, AT_EACCESS) == 0;
}

} // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
    int raw;
    // Non-blocking, so that a pipe of that name cannot hang the caller; only
    // a regular file is read.
    do {
        raw = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (raw < 0 && errno == EINTR);
    if (raw < 0) {
        if (errno == ENOENT)
            return std::nullopt;
        Fail(errno, "Cannot open", path);
    }
    TFd fd(raw);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        Fail(errno, "Cannot read", path);
    if (!S_ISREG(st.st_mode))
        Fail(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "Not a regular file:", path);
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

void ReplaceFileAtomically(const std::string& path, std::string_view data,
                           const TReplaceSteps& steps) {
    if (path.empty())
        Fail(ENOENT, "Cannot replace", path);
    const std::string target = ResolveTarget(path);
    const auto slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);

    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (exists) {
        if (S_ISDIR(old.st_mode))
            Fail(EISDIR, "Cannot replace", target);
        if (!S_ISREG(old.st_mode))
            Fail(EINVAL, "Not a regular file:", target);
        if (!Writable(target, old, W_OK))
            Fail(EACCES, "Cannot replace", target);
    } else if (errno != ENOENT) {
        Fail(errno, "Cannot replace", target);
    }
    struct stat folder {};
    if (::stat(dir.c_str(), &folder) != 0)
        Fail(errno, "Cannot create a temporary file beside", target);
    if (!S_ISDIR(folder.st_mode))
        Fail(ENOTDIR, "Cannot create a temporary file beside", target);
    if (!Writable(dir, folder, W_OK | X_OK))
        Fail(EACCES, "Cannot create a temporary file beside", target);

    // A new name, created exclusively and private (0600) until its mode is set,
    // so that nobody can open it before then and read the new data later.
    std::string temp = (slash == std::string::npos ? std::string() : dir) + "." + name + ".XXXXXX";
    int raw = ::mkostemp(temp.data(), O_CLOEXEC);
    if (raw < 0)
        Fail(errno, "Cannot create a temporary file beside", target);
    TFd fd(raw);
    auto failAndRemove = [&](int error, const char* what) {
        fd.Reset();
        ::unlink(temp.c_str());
        Fail(error, what, target);
    };

    mode_t mode = 0;
    if (!exists) {
        mode = NewFileMode();
    } else {
        // The owner and group are kept where the process may set them (the
        // superuser; the group alone for a member of it); otherwise the file
        // becomes ours, as any rewrite would make it. Set after the owner,
        // which clears them: the set-id bits, only with the owner kept.
        const bool owned = ::fchown(fd.Get(), old.st_uid, old.st_gid) == 0;
        if (!owned && ::fchown(fd.Get(), static_cast<uid_t>(-1), old.st_gid) != 0) {
            // Not a member of the file's group either: the file becomes ours.
        }
        mode = old.st_mode & (owned ? 07777 : 0777);
    }
    if (::fchmod(fd.Get(), mode) != 0)
        failAndRemove(errno, "Cannot set the permissions for");

    const int out = fd.Get();
    const TReplaceSteps::TWrite os = [out](const void* bytes, std::size_t n) {
        return static_cast<long>(::write(out, bytes, n));
    };
    const fileio::TWriteEnd written = fileio::WriteWhole(data, steps, os);
    if (written == fileio::TWriteEnd::Failed)
        failAndRemove(LastError(), "Cannot write");
    if (written == fileio::TWriteEnd::TookNothing)
        failAndRemove(ENOSPC, "Cannot write");
    errno = 0;
    if (!(steps.flush ? steps.flush() : ::fsync(fd.Get()) == 0))
        failAndRemove(LastError(), "Cannot flush");
    if (::close(fd.Release()) != 0)
        failAndRemove(LastError(), "Cannot write");
    errno = 0;
    if (!(steps.replace ? steps.replace(temp, target)
                        : ::rename(temp.c_str(), target.c_str()) == 0))
        failAndRemove(LastError(), "Cannot replace");

    // Make the rename itself durable. A failure here leaves the new file in
    // place; only its survival of a power cut is in doubt, so it is not raised.
    TFd folderFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.Get() >= 0)
        ::fsync(folderFd.Get());
}

} // namespace host
