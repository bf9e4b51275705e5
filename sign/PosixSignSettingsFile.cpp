// LEDINFO.BIN on POSIX systems.
#include "sign/SignSettings.h"

#include "host/PosixFd.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <string_view>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t AnyWriteBit = S_IWUSR | S_IWGRP | S_IWOTH;

bool WriteAll(const TSettingsFileOps& ops, int fd, const std::uint8_t* data, std::size_t size) {
    const TSettingsFileOps::TWrite os = [fd](const void* bytes, std::size_t n) {
        return static_cast<long>(::write(fd, bytes, n));
    };
    while (size > 0) {
        const long n = ops.write ? ops.write(data, size, os) : os(data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || static_cast<std::size_t>(n) > size) {
            return false; // 0 means the device took nothing: treat it as full
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool IsWritable(const char* path, const struct stat& st, int how) {
    return (st.st_mode & AnyWriteBit) != 0 && ::access(path, how) == 0;
}

// A new name next to the target that nobody else uses, created exclusively.
// Permissions 0666 less the umask, as a newly created settings file would get.
int CreateTemporary(const std::string& target, std::string& name) {
    static std::mt19937_64 random{
        std::random_device{}() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
    const std::filesystem::path t(target);
    const std::string dir = t.parent_path().empty() ? std::string(".") : t.parent_path().string();
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = dir + "/." + t.filename().string() + ".tmp" + std::to_string(random() % 1000000000u);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

void SyncDirectory(const std::string& dir) {
    host::TFd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.Get() >= 0) {
        ::fsync(d.Get());
    }
}

} // namespace

TSettingsLoadResult LoadSignSettingsFile(const std::string& path, TSignSettings& settings,
                                         std::size_t* bytesRead) {
    if (bytesRead != nullptr) {
        *bytesRead = 0;
    }
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        settings = DefaultSignSettings();
        return TSettingsLoadResult::Defaults;
    }
    // Non-blocking so that a pipe of that name cannot hang the start; only a
    // regular file is read.
    host::TFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return TSettingsLoadResult::Unreadable;
    }
    TSignSettingsBytes buffer{};
    std::size_t got = 0;
    while (got < buffer.size()) {
        const ssize_t n =
            ::pread(fd.Get(), buffer.data() + got, buffer.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return TSettingsLoadResult::Unreadable;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    TSignSettingsBytes record = EncodeSignSettings(settings);
    std::memcpy(record.data(), buffer.data(), got);
    settings = DecodeSignSettings(record);
    if (bytesRead != nullptr) {
        *bytesRead = got;
    }
    return TSettingsLoadResult::Read;
}

bool SaveSignSettingsFile(const std::string& path, const TSignSettings& settings,
                          const TSettingsFileOps& ops) {
    if (path.empty()) {
        return false;
    }
    std::string target = path;
    struct stat st {};
    bool exists = false;
    if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::error_code ec;
        const auto resolved = std::filesystem::weakly_canonical(target, ec);
        if (ec) {
            return false;
        }
        target = resolved.string();
    }
    if (::stat(target.c_str(), &st) == 0) {
        exists = true;
        if (!S_ISREG(st.st_mode) || !IsWritable(target.c_str(), st, W_OK)) {
            return false;
        }
    } else if (errno != ENOENT) {
        return false;
    }
    const struct stat old = st;

    const std::filesystem::path t(target);
    const std::string dir = t.parent_path().empty() ? std::string(".") : t.parent_path().string();
    struct stat dst {};
    if (::stat(dir.c_str(), &dst) != 0 || !S_ISDIR(dst.st_mode) ||
        !IsWritable(dir.c_str(), dst, W_OK | X_OK)) {
        return false;
    }

    std::string temporary;
    host::TFd fd(CreateTemporary(target, temporary));
    if (fd.Get() < 0) {
        return false;
    }
    bool ok = true;
    if (exists) {
        // The owner and group are kept where the process may set them (the
        // superuser, or a group the user belongs to); the set-id bits only
        // with them.
        const bool owned = ::fchown(fd.Get(), old.st_uid, old.st_gid) == 0;
        ok = ::fchmod(fd.Get(), old.st_mode & (owned ? 07777 : 0777)) == 0;
    }
    const TSignSettingsBytes bytes = EncodeSignSettings(settings);
    ok = ok && WriteAll(ops, fd.Get(), bytes.data(), bytes.size());
    ok = ok && (ops.flush ? ops.flush() : ::fsync(fd.Get()) == 0);
    ok = ok && ::close(fd.Release()) == 0;
    ok = ok && (ops.replace ? ops.replace(temporary, target)
                            : ::rename(temporary.c_str(), target.c_str()) == 0);
    if (!ok) {
        fd.Reset();
        ::unlink(temporary.c_str());
        return false;
    }
    SyncDirectory(dir);
    return true;
}
