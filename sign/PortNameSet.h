#pragma once
// The serial ports among the names of the DOS device namespace, as the port
// watcher on Windows reads them once a second and after a device broadcast:
// which names are ports, and a set that two reads compare. Text only:
// nothing here asks the system or opens a port.
//
// A read gives a name twice when the session's and the global namespace both
// hold it, and in no promised order; a driver may make "com5" where another
// makes "COM5". None of that is a port coming or going, so the set keeps each
// port once, in the canonical form (CanonicalWindowsPortName), and two reads
// differ only when a port came or went.

#include "sign/PortName.h"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace sign {

class TPortNameSet {
public:
    // Adds `name` when it is a serial port's (IsWindowsSerialPortName: "COM"
    // and its number, in any case); other names are left out.
    void Add(std::wstring_view name) {
        std::string narrow;
        narrow.reserve(name.size());
        for (const wchar_t c : name) {
            // No port's name has a character outside ASCII ("COM¹" is a
            // device of its own, not COM1).
            const auto code = static_cast<std::uint32_t>(c);
            if (code == 0 || code > 0x7F)
                return;
            narrow += static_cast<char>(code);
        }
        if (IsWindowsSerialPortName(narrow))
            FNames.insert(CanonicalWindowsPortName(narrow));
    }

    // Adds the port names of a list as QueryDosDeviceW(nullptr, ...) fills
    // it: each name ended by a NUL, the list by a second NUL. Nothing after
    // that second NUL or past the end of `list` is read; a last name without
    // its NUL (a list cut short) is taken as it is.
    void AddList(std::wstring_view list) {
        while (!list.empty() && list.front() != L'\0') {
            const std::size_t end = list.find(L'\0');
            Add(list.substr(0, end));
            if (end == std::wstring_view::npos)
                return;
            list.remove_prefix(end + 1);
        }
    }

    // The ports, each once, in canonical form ("COM3").
    const std::set<std::string>& Names() const { return FNames; }

    bool operator==(const TPortNameSet&) const = default;

private:
    std::set<std::string> FNames;
};

} // namespace sign
