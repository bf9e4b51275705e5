#include "host/IniFile.h"

#include "host/Exceptions.h"
#include "host/FileIo.h"
#include "host/IntConv.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

namespace host {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return Upper(x) == Upper(y); });
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != s.npos;
}

// The section name when the line is a section header.
std::optional<std::string_view> SectionOf(std::string_view line) {
    line = Trim(line);
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    line.remove_prefix(1);
    auto close = line.find(']');
    return Trim(close == line.npos ? line : line.substr(0, close));
}

bool IsComment(std::string_view line) {
    line = Trim(line);
    return !line.empty() && (line.front() == ';' || line.front() == '#');
}

struct KeyLine {
    std::string_view key;
    std::string_view rawValue; // trimmed, quotes still on
    std::size_t valueStart;    // where the value's text begins in the line
};

std::optional<KeyLine> KeyOf(std::string_view line) {
    if (IsComment(line) || SectionOf(line))
        return std::nullopt;
    auto eq = line.find('=');
    if (eq == line.npos)
        return std::nullopt;
    std::size_t start = eq + 1;
    while (start < line.size() && IsBlank(line[start]))
        ++start;
    return KeyLine{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)), start};
}

std::string Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value);
}

std::string Quote(const std::string& value) {
    if (value.empty())
        return value;
    bool blanks = IsBlank(value.front()) || IsBlank(value.back());
    bool quotes = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                  value.back() == value.front();
    return blanks || quotes ? '"' + value + '"' : value;
}

[[noreturn]] void Refuse(const std::string& fileName, const std::string& what) {
    throw EIniFileException("Cannot write to " + fileName + ": " + what);
}

} // namespace

TIniFile::TIniFile(std::string fileName, TUpdateMode mode)
    : fileName_(std::move(fileName)), mode_(mode) {
    Load();
}

TIniFile::~TIniFile() = default;

void TIniFile::Load() {
    std::optional<std::string> data;
    try {
        data = ReadWholeFile(fileName_);
    } catch (const std::system_error& e) {
        throw EIniFileException("Unable to read " + fileName_ + ": " + e.code().message());
    }
    lines_.clear();
    dirty_ = false;
    eol_ = "\n";
    bom_ = false;
    finalEol_ = true;
    if (!data || data->empty())
        return;
    std::string_view text = *data;
    if (text.substr(0, kBom.size()) == kBom) {
        bom_ = true;
        text.remove_prefix(kBom.size());
    }
    finalEol_ = !text.empty() && text.back() == '\n';
    bool first = true;
    while (!text.empty()) {
        auto nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        bool crlf = nl != text.npos && !line.empty() && line.back() == '\r';
        if (crlf)
            line.remove_suffix(1);
        if (first && nl != text.npos)
            eol_ = crlf ? "\r\n" : "\n";
        first = false;
        lines_.emplace_back(line);
        text.remove_prefix(nl == text.npos ? text.size() : nl + 1);
    }
}

void TIniFile::Refresh() {
    if (mode_ == TUpdateMode::WriteThrough && updateDepth_ == 0)
        Load();
}

void TIniFile::Commit() {
    dirty_ = true;
    if (mode_ == TUpdateMode::WriteThrough && updateDepth_ == 0)
        Save();
}

void TIniFile::BeginUpdate() {
    if (updateDepth_ == 0)
        Refresh();
    ++updateDepth_;
}

void TIniFile::EndUpdate() {
    if (updateDepth_ > 0 && --updateDepth_ == 0 && mode_ == TUpdateMode::WriteThrough && dirty_)
        Save();
}

void TIniFile::Save() {
    std::string data;
    if (bom_)
        data += kBom;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        data += lines_[i];
        if (i + 1 < lines_.size() || finalEol_)
            data += eol_;
    }
    try {
        ReplaceFileAtomically(fileName_, data);
        dirty_ = false;
    } catch (const std::system_error& e) {
        throw EIniFileException("Unable to write to " + fileName_ + ": " + e.code().message());
    }
}

namespace {

// The lines [begin, end) of the first section of the name: begin is the
// header's line, end the next header's (or the end of the file).
struct Range {
    std::size_t begin, end;
};

std::optional<Range> FindSection(const std::vector<std::string>& lines, std::string_view name,
                                 std::size_t from = 0) {
    name = Trim(name);
    for (std::size_t i = from; i < lines.size(); ++i) {
        auto s = SectionOf(lines[i]);
        if (s && SameName(*s, name)) {
            std::size_t end = i + 1;
            while (end < lines.size() && !SectionOf(lines[end]))
                ++end;
            return Range{i, end};
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> FindKey(const std::vector<std::string>& lines, Range section,
                                   std::string_view key) {
    key = Trim(key);
    for (std::size_t i = section.begin + 1; i < section.end; ++i) {
        auto k = KeyOf(lines[i]);
        if (k && SameName(k->key, key))
            return i;
    }
    return std::nullopt;
}

void AddOnce(std::vector<std::string>& names, std::string_view name) {
    for (const auto& n : names)
        if (SameName(n, name))
            return;
    names.emplace_back(name);
}

} // namespace

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) {
    Refresh();
    if (auto range = FindSection(lines_, section))
        if (auto at = FindKey(lines_, *range, key))
            return Unquote(KeyOf(lines_[*at])->rawValue);
    return defaultValue;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    const std::string_view sec = Trim(section), k = Trim(key);
    if (HasLineBreak(section) || sec.find(']') != sec.npos)
        Refuse(fileName_, "the section name '" + section + "' cannot be stored");
    if (k.empty() || HasLineBreak(key) || k.find('=') != k.npos || k.front() == '[' ||
        k.front() == ';' || k.front() == '#')
        Refuse(fileName_, "the key name '" + key + "' cannot be stored");
    if (HasLineBreak(value))
        Refuse(fileName_, "the value of '" + key + "' holds a line break or zero byte");

    Refresh();
    const std::string stored = Quote(value);
    if (auto range = FindSection(lines_, sec)) {
        if (auto at = FindKey(lines_, *range, k)) {
            std::string& line = lines_[*at];
            std::string updated = line.substr(0, KeyOf(line)->valueStart) + stored;
            if (updated == line)
                return; // unchanged: the file stays untouched
            line = std::move(updated);
        } else {
            // After the section's last key, so that comments and blank lines
            // that lead into the next section stay with it.
            std::size_t insert = range->begin + 1;
            for (std::size_t i = range->begin + 1; i < range->end; ++i)
                if (KeyOf(lines_[i]))
                    insert = i + 1;
            lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insert),
                          std::string(k) + "=" + stored);
        }
    } else {
        if (!lines_.empty() && !Trim(lines_.back()).empty())
            lines_.emplace_back();
        lines_.push_back("[" + std::string(sec) + "]");
        lines_.push_back(std::string(k) + "=" + stored);
    }
    finalEol_ = true;
    Commit();
}

std::int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                                   std::int32_t defaultValue) {
    Refresh();
    if (auto range = FindSection(lines_, section))
        if (auto at = FindKey(lines_, *range, key))
            return TryStrToInt(Unquote(KeyOf(lines_[*at])->rawValue)).value_or(defaultValue);
    return defaultValue;
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key,
                            std::int32_t value) {
    WriteString(section, key, std::to_string(value));
}

bool TIniFile::SectionExists(const std::string& section) {
    Refresh();
    return FindSection(lines_, section).has_value();
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) {
    Refresh();
    auto range = FindSection(lines_, section);
    return range && FindKey(lines_, *range, key);
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) {
    Refresh();
    std::vector<std::string> names;
    if (auto range = FindSection(lines_, section))
        for (std::size_t i = range->begin + 1; i < range->end; ++i)
            if (auto k = KeyOf(lines_[i]))
                AddOnce(names, k->key);
    return names;
}

std::vector<std::string> TIniFile::ReadSections() {
    Refresh();
    std::vector<std::string> names;
    for (const auto& line : lines_)
        if (auto s = SectionOf(line))
            AddOnce(names, *s);
    return names;
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
    Refresh();
    auto range = FindSection(lines_, section);
    if (!range)
        return;
    bool changed = false;
    for (std::size_t i = range->end; i-- > range->begin + 1;) {
        auto k = KeyOf(lines_[i]);
        if (k && SameName(k->key, Trim(key))) {
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(i));
            changed = true;
        }
    }
    if (changed)
        Commit();
}

void TIniFile::EraseSection(const std::string& section) {
    Refresh();
    bool changed = false;
    // Every section of the name goes, or a later one would come to light.
    while (auto range = FindSection(lines_, section)) {
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(range->begin),
                     lines_.begin() + static_cast<std::ptrdiff_t>(range->end));
        changed = true;
    }
    if (changed)
        Commit();
}

void TIniFile::UpdateFile() {
    if (mode_ == TUpdateMode::Buffered)
        Save();
}

} // namespace host
