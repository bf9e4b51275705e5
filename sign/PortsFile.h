#pragma once
// A list of ports kept in a text file: `radar-sign --ports-from FILE` and the
// window's ports.txt (network ports that follow the scanned ones in its
// list).
//
// One port name a line. '#' begins a comment that runs to the line's end (no
// port name holds '#'); blanks (spaces, tabs) around a name are dropped; a
// line left empty is passed over. Lines end with LF or CR LF; a UTF-8 byte
// order mark at the start is passed over. The names are not checked here:
// each caller checks them as it checks a name typed by hand, and says which
// line a bad one came from.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace sign {

// The largest ports file read: a list of this size holds tens of thousands
// of ports; anything larger is not a list of ports.
inline constexpr std::size_t MaxPortsFileSize = 1 << 20;

struct TPortsLine {
    int Line = 0; // 1-based
    std::string Name;
    friend bool operator==(const TPortsLine&, const TPortsLine&) = default;
};

struct TPortsFile {
    std::vector<TPortsLine> Ports; // in the file's order
    // Why the file could not be read ("no such file", "is a folder", "is
    // larger than 1 MiB", the system's reason); empty when it was read.
    std::string Error;
};

// The port lines of a list's text.
std::vector<TPortsLine> ParsePortsList(std::string_view text);

// Reads and parses the file at path: a regular file (through symbolic links)
// of at most MaxPortsFileSize bytes. Opens nothing else: a pipe, a device or
// a folder of that name is refused, never read.
TPortsFile ReadPortsFile(const std::string& path);

} // namespace sign
