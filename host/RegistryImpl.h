#pragma once
// What the registry class needs of the platform: the registry calls with the
// Windows meaning of their arguments and results (0 success, else a Windows
// error code). Win32Registry.cpp passes them to advapi32; PosixRegistry.cpp
// answers them from the process's registry store.

#include "host/Registry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host::regimpl {

constexpr long kSuccess = 0;
constexpr long kFileNotFound = 2;
constexpr long kAccessDenied = 5;
constexpr long kInvalidHandle = 6;
constexpr long kMoreData = 234;
constexpr long kKeyDeleted = 1018;

TRegistry::Impl* NewImpl();
void DeleteImpl(TRegistry::Impl* impl);

// Opens `path` (from the root, '\'-separated, no leading '\').
long OpenKey(TRegistry::Impl& impl, TRootKey root, const std::string& path, bool create,
             bool readOnly);
void CloseKey(TRegistry::Impl& impl);
// As RegQueryValueExA: `data` may be null to learn the type and size; a
// buffer too small gives kMoreData with the type and the needed size.
long QueryValue(TRegistry::Impl& impl, const std::string& name, std::uint32_t* type,
                std::uint8_t* data, std::uint32_t* size);
// As RegSetValueExA.
long SetValue(TRegistry::Impl& impl, const std::string& name, std::uint32_t type,
              const std::uint8_t* data, std::uint32_t size);
long DeleteValue(TRegistry::Impl& impl, const std::string& name);
long ValueNames(TRegistry::Impl& impl, std::vector<std::string>& names);
bool KeyExists(TRootKey root, const std::string& path);
long DeleteKey(TRootKey root, const std::string& path);

} // namespace host::regimpl
