#pragma once
// Whole-file reading and crash-safe replacement, for the host runtime's
// settings stores (INI files, the registry store's file).
//
// Both raise std::system_error carrying the operating-system error and a text
// naming the operation and the file. Neither keeps any state; both may be
// called from any thread (for different files).

#include <optional>
#include <string>
#include <string_view>

namespace host {

// The file's bytes, or nothing when the file does not exist. A file that
// exists but cannot be read raises.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Replaces the file's contents with `data` so that, whatever happens (a
// failure, a crash, a power cut), the file holds either its old contents or
// the new ones: the data go to a temporary file beside it, are flushed to the
// disk, and the temporary file is renamed over the old one. A path that is a
// symbolic link replaces the link's target, not the link. An existing file
// keeps its permission bits. On failure the old file is untouched and the
// temporary file is removed.
void ReplaceFileAtomically(const std::string& path, std::string_view data);

} // namespace host
