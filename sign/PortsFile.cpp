#include "sign/PortsFile.h"

#include "host/FileIo.h"

#include <filesystem>
#include <system_error>

namespace sign {

namespace {

std::string_view Trimmed(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace

std::vector<TPortsLine> ParsePortsList(std::string_view text) {
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark)
        text.remove_prefix(kByteOrderMark.size());
    std::vector<TPortsLine> ports;
    int line = 0;
    while (!text.empty()) {
        ++line;
        const std::size_t end = text.find('\n');
        std::string_view content = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        content = Trimmed(content.substr(0, content.find('#')));
        if (!content.empty())
            ports.push_back(TPortsLine{line, std::string(content)});
    }
    return ports;
}

TPortsFile ReadPortsFile(const std::string& path) {
    namespace fs = std::filesystem;
    TPortsFile result;
    std::error_code error;
    // Looked at before it is opened: opening a device (a serial port's node)
    // would already change its lines.
    const fs::file_status status = fs::status(path, error);
    if (status.type() == fs::file_type::not_found) {
        result.Error = "no such file";
        return result;
    }
    if (error) {
        result.Error = error.message();
        return result;
    }
    if (status.type() == fs::file_type::directory) {
        result.Error = "is a folder, not a file";
        return result;
    }
    if (status.type() != fs::file_type::regular) {
        result.Error = "is not a regular file";
        return result;
    }
    const std::uintmax_t size = fs::file_size(path, error);
    if (!error && size > MaxPortsFileSize) {
        result.Error = "is larger than 1 MiB: not a list of ports";
        return result;
    }
    try {
        const std::optional<std::string> text = host::ReadWholeFile(path);
        if (!text) {
            result.Error = "no such file";
        } else if (text->size() > MaxPortsFileSize) {
            result.Error = "is larger than 1 MiB: not a list of ports";
        } else {
            result.Ports = ParsePortsList(*text);
        }
    } catch (const std::system_error& e) {
        result.Error = e.code().message();
    }
    return result;
}

} // namespace sign
