#include "host/FileIoImpl.h"

#include <cerrno>

namespace host::fileio {

TWriteEnd WriteWhole(std::string_view data, const TReplaceSteps& steps,
                     const TReplaceSteps::TWrite& os) {
    while (!data.empty()) {
        // Windows' WriteFile sets no errno: only an EINTR of a write step (a
        // test's) or of the POSIX write is retried there.
        errno = 0;
        const long n =
            steps.write ? steps.write(data.data(), data.size(), os) : os(data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || static_cast<std::size_t>(n) > data.size())
            return TWriteEnd::Failed;
        if (n == 0)
            return TWriteEnd::TookNothing;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return TWriteEnd::Written;
}

} // namespace host::fileio
