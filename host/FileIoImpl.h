#pragma once
// What PosixFileIo.cpp and Win32FileIo.cpp share of a file's replacement
// (FileIo.cpp): the write loop, which knows nothing of the OS.

#include "host/FileIo.h"

#include <string_view>

namespace host::fileio {

enum class TWriteEnd {
    Written,     // every byte taken
    Failed,      // a write failed: the OS error is the platform's last error
    TookNothing, // a write took nothing and reported no error, as on a full disk
};

// Writes all of `data` through `steps.write` (or `os` itself when not given),
// carrying on after short writes and retrying a write that failed with errno
// EINTR.
TWriteEnd WriteWhole(std::string_view data, const TReplaceSteps& steps,
                     const TReplaceSteps::TWrite& os);

} // namespace host::fileio
