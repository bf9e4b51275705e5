// Reading LEDINFO.BIN on POSIX systems, by the rules of sign/SignSettings.h.
// The save, the same on every platform, is in SignSettings.cpp.
#include "sign/SignSettings.h"

#include "host/PosixFd.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
