#include "sign/SignSettings.h"

#include "host/FileIo.h"

#include <string_view>
#include <system_error>

namespace {

// The record's fields in file order.
constexpr std::int32_t TSignSettings::*Fields[SignSettingsFieldCount] = {
    &TSignSettings::PortIndex,          &TSignSettings::RegularSpeed,
    &TSignSettings::FlashRateIndex,     &TSignSettings::MorningStartHour,
    &TSignSettings::MorningStartMinute, &TSignSettings::MorningEndHour,
    &TSignSettings::MorningEndMinute,   &TSignSettings::MorningSpeed,
    &TSignSettings::AfternoonStartHour, &TSignSettings::AfternoonStartMinute,
    &TSignSettings::AfternoonEndHour,   &TSignSettings::AfternoonEndMinute,
    &TSignSettings::AfternoonSpeed,
};

} // namespace

TSignSettings DefaultSignSettings() {
    TSignSettings s;
    s.PortIndex = 0;
    s.RegularSpeed = 20;
    s.FlashRateIndex = 0;
    s.MorningStartHour = 8;
    s.MorningStartMinute = 0;
    s.MorningEndHour = 18;
    s.MorningEndMinute = 0;
    s.MorningSpeed = 20;
    s.AfternoonStartHour = 18;
    s.AfternoonStartMinute = 0;
    s.AfternoonEndHour = 22;
    s.AfternoonEndMinute = 0;
    s.AfternoonSpeed = 20;
    return s;
}

TSignSettingsBytes EncodeSignSettings(const TSignSettings& settings) {
    TSignSettingsBytes bytes{};
    for (std::size_t i = 0; i < SignSettingsFieldCount; ++i) {
        const auto v = static_cast<std::uint32_t>(settings.*Fields[i]);
        for (std::size_t b = 0; b < 4; ++b) {
            bytes[i * 4 + b] = static_cast<std::uint8_t>(v >> (8 * b));
        }
    }
    return bytes;
}

TSignSettings DecodeSignSettings(const TSignSettingsBytes& bytes) {
    TSignSettings settings;
    for (std::size_t i = 0; i < SignSettingsFieldCount; ++i) {
        std::uint32_t v = 0;
        for (std::size_t b = 0; b < 4; ++b) {
            v |= static_cast<std::uint32_t>(bytes[i * 4 + b]) << (8 * b);
        }
        // Two's complement bit pattern to signed, well defined since C++20.
        settings.*Fields[i] = static_cast<std::int32_t>(v);
    }
    return settings;
}

bool SaveSignSettingsFile(const std::string& path, const TSignSettings& settings) {
    const TSignSettingsBytes bytes = EncodeSignSettings(settings);
    try {
        host::ReplaceFileAtomically(
            path, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        return true;
    } catch (const std::system_error&) {
        return false; // the reason is not the caller's: only whether the file is saved
    }
}
