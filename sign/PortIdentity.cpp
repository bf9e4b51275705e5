// The platform-neutral part of the port identity: the fields' derived values
// and the reading of the device managers' texts. The look-ups are in
// PosixPortIdentity.cpp (udev) and Win32PortIdentity.cpp (SetupAPI).
#include "sign/PortIdentity.h"

#include "sign/PortIdentityText.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace sign {

std::string TPortIdentity::VidPid() const {
    if (VendorId.empty() || ProductId.empty()) {
        return {};
    }
    return VendorId + ":" + ProductId;
}

bool TPortIdentity::Known() const {
    return !Description.empty() || !VendorId.empty() || !ProductId.empty() ||
           !SerialNumber.empty() || !Driver.empty();
}

TPortIdentity PortIdentityOf(const std::string& name) {
    return PortIdentities({name}).front();
}

namespace identity {

namespace {

bool IsHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::string_view TrimmedView(std::string_view text) {
    const auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(),
                      [](char a, char b) { return Lower(a) == Lower(b); });
}

// The four hex digits after the first `key` ("VID_") in text, or empty.
std::string IdAfter(std::string_view text, std::string_view key) {
    for (std::size_t at = 0; at + key.size() <= text.size(); ++at) {
        if (!StartsWithNoCase(text.substr(at), key)) {
            continue;
        }
        const std::string_view digits = text.substr(at + key.size(), 4);
        if (digits.size() == 4 && std::all_of(digits.begin(), digits.end(), IsHex)) {
            return HexId(digits);
        }
    }
    return {};
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

} // namespace

std::string Trimmed(std::string_view text) {
    return std::string(TrimmedView(text));
}

std::string HexId(std::string_view text) {
    text = TrimmedView(text);
    if (StartsWithNoCase(text, "0x")) {
        text.remove_prefix(2);
    }
    if (text.size() != 4 || !std::all_of(text.begin(), text.end(), IsHex)) {
        return {};
    }
    std::string id(text);
    std::transform(id.begin(), id.end(), id.begin(), Lower);
    return id;
}

std::string Describe(std::string_view product, std::string_view manufacturer) {
    product = TrimmedView(product);
    manufacturer = TrimmedView(manufacturer);
    if (product.empty()) {
        return std::string(manufacturer);
    }
    if (manufacturer.empty()) {
        return std::string(product);
    }
    return std::string(product) + " (" + std::string(manufacturer) + ")";
}

std::string UdevUnescape(std::string_view text) {
    const auto value = [](char c) { return IsHex(c) && c > '9' ? (Lower(c) - 'a' + 10) : c - '0'; };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x' && IsHex(text[i + 2]) &&
            IsHex(text[i + 3])) {
            out.push_back(static_cast<char>(value(text[i + 2]) * 16 + value(text[i + 3])));
            i += 3;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

TUsbIds UsbIdsOf(std::string_view deviceId) {
    return {IdAfter(deviceId, "VID_"), IdAfter(deviceId, "PID_")};
}

std::string SerialOfInstanceId(std::string_view instanceId) {
    const std::vector<std::string_view> parts = Split(instanceId, '\\');
    if (parts.size() != 3) {
        return {};
    }
    const std::string_view enumerator = parts[0];
    if (StartsWithNoCase(enumerator, "USB") && enumerator.size() == 3) {
        const std::string_view serial = parts[2];
        if (serial.empty() || serial.find('&') != std::string_view::npos) {
            return {};
        }
        return std::string(serial);
    }
    if (StartsWithNoCase(enumerator, "FTDIBUS") && enumerator.size() == 7) {
        const std::vector<std::string_view> fields = Split(parts[1], '+');
        if (fields.size() != 3) {
            return {};
        }
        const std::string_view serial = fields[2];
        const char port = serial.empty() ? '\0' : serial.back();
        if (serial.size() < 2 || port < 'A' || port > 'H' ||
            serial.find('&') != std::string_view::npos) {
            return {};
        }
        return std::string(serial.substr(0, serial.size() - 1));
    }
    return {};
}

} // namespace identity

} // namespace sign
