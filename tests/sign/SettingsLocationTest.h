#pragma once
// What the shared and the per-platform settings location tests have in
// common (defined in test_SettingsLocation.cpp).

#include "sign/SettingsLocation.h"

#include <map>
#include <string>

namespace rc_test {

// An environment holding exactly these variables.
TEnvironment Env(std::map<std::string, std::string> vars);

} // namespace rc_test
