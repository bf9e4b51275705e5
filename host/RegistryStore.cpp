#include "host/RegistryStore.h"

#include "host/Exceptions.h"
#include "host/FileIo.h"
#include "host/IntConv.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

namespace host {

namespace {

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool IsPlainString(const TRegValue& v) {
    if (v.Type != regSz || v.Data.empty() || v.Data.back() != 0)
        return false;
    return std::none_of(v.Data.begin(), v.Data.end() - 1,
                        [](std::uint8_t b) { return b == 0 || b == '\r' || b == '\n'; });
}

std::string QuoteText(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + '"';
}

// Parses a quoted text at `pos`, leaving `pos` after the closing quote.
std::optional<std::string> UnquoteText(const std::string& line, std::size_t& pos) {
    if (pos >= line.size() || line[pos] != '"')
        return std::nullopt;
    std::string out;
    for (++pos; pos < line.size(); ++pos) {
        char c = line[pos];
        if (c == '"') {
            ++pos;
            return out;
        }
        if (c == '\\') {
            if (++pos == line.size())
                return std::nullopt;
            c = line[pos];
        }
        out += c;
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> ParseHexBytes(const std::string& s) {
    std::vector<std::uint8_t> out;
    std::size_t i = 0;
    while (i < s.size()) {
        if (i + 1 >= s.size() || HexDigit(s[i]) < 0 || HexDigit(s[i + 1]) < 0)
            return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(HexDigit(s[i]) * 16 + HexDigit(s[i + 1])));
        i += 2;
        if (i < s.size()) {
            if (s[i] != ',' || i + 1 == s.size())
                return std::nullopt;
            ++i;
        }
    }
    return out;
}

std::optional<TRegValue> ParseValue(const std::string& s) {
    std::size_t pos = 0;
    if (!s.empty() && s[0] == '"') {
        auto text = UnquoteText(s, pos);
        if (!text || pos != s.size())
            return std::nullopt;
        TRegValue v{regSz, {text->begin(), text->end()}};
        v.Data.push_back(0);
        return v;
    }
    if (s.rfind("dword:", 0) == 0) {
        std::string digits = s.substr(6);
        if (digits.size() != 8)
            return std::nullopt;
        std::uint32_t bits = 0;
        for (char c : digits) {
            if (HexDigit(c) < 0)
                return std::nullopt;
            bits = bits << 4 | static_cast<std::uint32_t>(HexDigit(c));
        }
        return TRegValue{regDword,
                         {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
                          static_cast<std::uint8_t>(bits >> 16),
                          static_cast<std::uint8_t>(bits >> 24)}};
    }
    std::uint32_t type = regBinary;
    std::string bytes;
    if (s.rfind("hex:", 0) == 0) {
        bytes = s.substr(4);
    } else if (s.rfind("hex(", 0) == 0) {
        auto close = s.find("):", 4);
        if (close == std::string::npos || close == 4 || close > 12)
            return std::nullopt;
        type = 0;
        for (std::size_t i = 4; i < close; ++i) {
            if (HexDigit(s[i]) < 0)
                return std::nullopt;
            type = type << 4 | static_cast<std::uint32_t>(HexDigit(s[i]));
        }
        bytes = s.substr(close + 2);
    } else {
        return std::nullopt;
    }
    auto data = ParseHexBytes(bytes);
    if (!data)
        return std::nullopt;
    return TRegValue{type, std::move(*data)};
}

std::string FormatValue(const TRegValue& v) {
    if (IsPlainString(v))
        return QuoteText(std::string(v.Data.begin(), v.Data.end() - 1));
    char buf[32];
    if (v.Type == regDword && v.Data.size() == 4) {
        std::uint32_t bits = std::uint32_t(v.Data[0]) | std::uint32_t(v.Data[1]) << 8 |
                             std::uint32_t(v.Data[2]) << 16 | std::uint32_t(v.Data[3]) << 24;
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(bits));
        return buf;
    }
    std::string out;
    if (v.Type == regBinary) {
        out = "hex:";
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.Type));
        out = buf;
    }
    for (std::size_t i = 0; i < v.Data.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", static_cast<unsigned>(v.Data[i]));
        out += buf;
    }
    return out;
}

std::string Parent(const std::string& path) {
    auto slash = path.rfind('\\');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

} // namespace

TRegistryStore& TRegistryStore::Default() {
    static TRegistryStore store;
    return store;
}

std::string TRegistryStore::Fold(const std::string& s) {
    std::string out = s;
    std::transform(out.begin(), out.end(), out.begin(), Upper);
    return out;
}

void TRegistryStore::Clear() {
    std::lock_guard lock(mutex_);
    keys_.clear();
}

bool TRegistryStore::KeyExists(const std::string& key) const {
    std::lock_guard lock(mutex_);
    return keys_.count(Fold(key)) != 0;
}

void TRegistryStore::CreateKey(const std::string& key) {
    std::lock_guard lock(mutex_);
    for (std::string path = key; !path.empty(); path = Parent(path))
        keys_.try_emplace(Fold(path), Key{path, {}});
}

bool TRegistryStore::DeleteKey(const std::string& key) {
    std::lock_guard lock(mutex_);
    const std::string folded = Fold(key);
    auto it = keys_.find(folded);
    if (it == keys_.end())
        return false;
    const std::string below = folded + "\\";
    it = keys_.erase(it);
    while (it != keys_.end() && it->first.compare(0, below.size(), below) == 0)
        it = keys_.erase(it);
    return true;
}

std::optional<TRegValue> TRegistryStore::GetValue(const std::string& key,
                                                  const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(Fold(key));
    if (it == keys_.end())
        return std::nullopt;
    const std::string folded = Fold(name);
    for (const auto& [n, v] : it->second.values)
        if (Fold(n) == folded)
            return v;
    return std::nullopt;
}

bool TRegistryStore::SetValue(const std::string& key, const std::string& name,
                              const TRegValue& value) {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(Fold(key));
    if (it == keys_.end())
        return false;
    const std::string folded = Fold(name);
    for (auto& [n, v] : it->second.values)
        if (Fold(n) == folded) {
            v = value;
            return true;
        }
    it->second.values.emplace_back(name, value);
    return true;
}

bool TRegistryStore::DeleteValue(const std::string& key, const std::string& name) {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(Fold(key));
    if (it == keys_.end())
        return false;
    auto& values = it->second.values;
    const std::string folded = Fold(name);
    auto v = std::find_if(values.begin(), values.end(),
                          [&](const auto& p) { return Fold(p.first) == folded; });
    if (v == values.end())
        return false;
    values.erase(v);
    return true;
}

std::optional<std::vector<std::string>> TRegistryStore::ValueNames(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(Fold(key));
    if (it == keys_.end())
        return std::nullopt;
    std::vector<std::string> names;
    for (const auto& p : it->second.values)
        names.push_back(p.first);
    return names;
}

std::string TRegistryStore::ToText() const {
    std::lock_guard lock(mutex_);
    std::string out = "REGEDIT4\n";
    for (const auto& [folded, key] : keys_) {
        out += "\n[" + key.path + "]\n";
        for (const auto& [name, value] : key.values)
            out += (name.empty() ? std::string("@") : QuoteText(name)) + "=" + FormatValue(value) +
                   "\n";
    }
    return out;
}

void TRegistryStore::FromText(const std::string& text) {
    std::map<std::string, Key> keys;
    Key* current = nullptr;
    std::size_t lineNo = 0, pos = 0;
    auto fail = [&](const char* what) {
        throw ERegistryException(std::string(what) + " at line " + std::to_string(lineNo));
    };
    while (pos < text.size()) {
        auto nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == ';' || (lineNo == 1 && line == "REGEDIT4"))
            continue;
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3)
                fail("Invalid key line");
            std::string path = line.substr(1, line.size() - 2);
            for (std::string p = path; !p.empty(); p = Parent(p))
                keys.try_emplace(Fold(p), Key{p, {}});
            current = &keys[Fold(path)];
            continue;
        }
        if (!current)
            fail("Value outside a key");
        std::size_t at = 0;
        std::string name;
        if (line[0] == '@') {
            at = 1;
        } else {
            auto n = UnquoteText(line, at);
            if (!n)
                fail("Invalid value name");
            name = *n;
        }
        if (at >= line.size() || line[at] != '=')
            fail("Missing '='");
        auto value = ParseValue(line.substr(at + 1));
        if (!value)
            fail("Invalid value");
        auto& values = current->values;
        auto same = std::find_if(values.begin(), values.end(),
                                 [&](const auto& p) { return Fold(p.first) == Fold(name); });
        if (same != values.end())
            same->second = *value;
        else
            values.emplace_back(name, *value);
    }
    std::lock_guard lock(mutex_);
    keys_ = std::move(keys);
}

void TRegistryStore::LoadFromFile(const std::string& path) {
    std::optional<std::string> text;
    try {
        text = ReadWholeFile(path);
    } catch (const std::system_error& e) {
        throw ERegistryException("Unable to read " + path + ": " + e.code().message());
    }
    try {
        FromText(text.value_or(std::string()));
    } catch (const ERegistryException& e) {
        throw ERegistryException("Invalid registry file " + path + ": " + e.Message());
    }
}

void TRegistryStore::SaveToFile(const std::string& path) const {
    try {
        ReplaceFileAtomically(path, ToText());
    } catch (const std::system_error& e) {
        throw ERegistryException("Unable to write to " + path + ": " + e.code().message());
    }
}

} // namespace host
