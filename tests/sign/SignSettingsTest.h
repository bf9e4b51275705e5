#pragma once
// What the shared and the per-platform LEDINFO.BIN tests have in common
// (defined in test_SignSettings.cpp).

#include "sign/SignSettings.h"
#include "tests/sign/SettingsFiles.h"

#include <cstddef>
#include <cstdint>

namespace rc_test {

// n bytes counting up from `first`.
Bytes Pattern(std::size_t n, std::uint8_t first);

// A record whose every field differs from the defaults.
TSignSettings Sample();

// The file Sample() gives.
Bytes SampleFile();

} // namespace rc_test
