#pragma once
// Whole-file reading and crash-safe replacement: the one way this system
// replaces a file, for the host runtime's settings stores (INI files, the
// registry store's file) and the sign's settings file.
//
// Both raise std::system_error carrying the operating-system error (errno on
// POSIX, a Windows error code on Windows) and a text naming the operation and
// the file. Neither keeps any state; both may be called from any thread (for
// different files).

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace host {

// The file's bytes, or nothing when the file does not exist. A file that
// exists but cannot be read raises.
std::optional<std::string> ReadWholeFile(const std::string& path);

// The steps of a replacement that can fail, replaceable so that tests can make
// any of them fail on every platform. Each, when given, is called in place of
// the OS step; an empty function means the OS step itself.
struct TReplaceSteps {
    // The OS write to the new file: takes up to `size` bytes and returns how
    // many it took, or -1 on failure.
    using TWrite = std::function<long(const void* data, std::size_t size)>;
    // Called for every write to the new file with the bytes still to be
    // written and the OS write. Returns as the OS write does; 0 (nothing
    // taken, as on a full disk) fails the replacement, and so does -1 unless
    // errno is EINTR, which is retried as an interrupted POSIX write is.
    std::function<long(const void* data, std::size_t size, const TWrite& os)> write;
    // In place of flushing the new file to the disk; false: it failed.
    std::function<bool()> flush;
    // In place of moving the new file `from` over the file `to`; false: it
    // failed.
    std::function<bool(const std::string& from, const std::string& to)> replace;
};

// Replaces the file's contents with `data` so that, whatever happens (a
// failure, a crash, a power cut), the file holds either its old contents or
// the new ones: the data go to a new file of a name nobody else uses in the
// same folder, are written whole (short and interrupted writes are carried
// on) and flushed to the disk, and the new file is renamed over the old one;
// on POSIX the folder is then flushed too, so that the rename survives a
// power cut. On any failure the old file (or its absence) is as it was and
// the new file is removed. Raises std::system_error.
//
// Refused, with nothing written: a name that is a folder or anything else
// that is not a regular file (a pipe, a device), a read-only file, and a
// folder that is missing or read-only.
//
// POSIX: read-only means without write permission for this process, or
// without any write permission bit at all, so that the rule holds for the
// superuser too. A symbolic link to an existing file is followed: the file it
// names is replaced and the link stays; a link that names nothing is itself
// replaced by the file (nothing is created where it points). A replaced file
// keeps its permission bits, and its owner and group where the process may
// set them (the superuser; the group alone for a member of it); the set-id
// bits only with the owner. A new file gets 0666 less the umask.
//
// Windows: read-only means the file's read-only attribute (a folder's says
// nothing there: a folder where no file may be created fails the creation of
// the new file); a file that another program holds open without delete
// sharing is not replaced; a symbolic link is replaced, not followed; and the
// replaced file takes the security and attributes of a new file in its
// folder. Names are in the ANSI code page (the A calls), as the settings
// location and the INI files' callers give them.
void ReplaceFileAtomically(const std::string& path, std::string_view data,
                           const TReplaceSteps& steps = {});

} // namespace host
