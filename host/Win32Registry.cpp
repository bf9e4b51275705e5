// The registry calls passed to advapi32.
#include "host/RegistryImpl.h"

#include <windows.h>

namespace host {

struct TRegistry::Impl {
    HKEY key = nullptr;
};

namespace regimpl {

namespace {

HKEY RootHandle(TRootKey root) {
    switch (root) {
    case TRootKey::ClassesRoot:
        return HKEY_CLASSES_ROOT;
    case TRootKey::CurrentUser:
        return HKEY_CURRENT_USER;
    case TRootKey::LocalMachine:
        return HKEY_LOCAL_MACHINE;
    case TRootKey::Users:
        return HKEY_USERS;
    case TRootKey::CurrentConfig:
        return HKEY_CURRENT_CONFIG;
    }
    return HKEY_CURRENT_USER;
}

} // namespace

TRegistry::Impl* NewImpl() {
    return new TRegistry::Impl;
}
void DeleteImpl(TRegistry::Impl* impl) {
    delete impl;
}

long OpenKey(TRegistry::Impl& impl, TRootKey root, const std::string& path, bool create,
             bool readOnly) {
    const REGSAM access = readOnly ? KEY_READ : KEY_ALL_ACCESS;
    HKEY key = nullptr;
    LONG rc;
    if (create && !readOnly)
        rc = RegCreateKeyExA(RootHandle(root), path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                             access, nullptr, &key, nullptr);
    else
        rc = RegOpenKeyExA(RootHandle(root), path.c_str(), 0, access, &key);
    if (rc == ERROR_SUCCESS)
        impl.key = key;
    return rc;
}

void CloseKey(TRegistry::Impl& impl) {
    if (impl.key)
        RegCloseKey(impl.key);
    impl.key = nullptr;
}

long QueryValue(TRegistry::Impl& impl, const std::string& name, std::uint32_t* type,
                std::uint8_t* data, std::uint32_t* size) {
    DWORD t = 0, s = *size;
    LONG rc = RegQueryValueExA(impl.key, name.c_str(), nullptr, &t, data, &s);
    if (type)
        *type = t;
    *size = s;
    return rc;
}

long SetValue(TRegistry::Impl& impl, const std::string& name, std::uint32_t type,
              const std::uint8_t* data, std::uint32_t size) {
    return RegSetValueExA(impl.key, name.c_str(), 0, type, data, size);
}

long DeleteValue(TRegistry::Impl& impl, const std::string& name) {
    return RegDeleteValueA(impl.key, name.c_str());
}

long ValueNames(TRegistry::Impl& impl, std::vector<std::string>& names) {
    DWORD count = 0, longest = 0;
    LONG rc = RegQueryInfoKeyA(impl.key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               &count, &longest, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS)
        return rc;
    std::string buf(longest + 1, '\0');
    for (DWORD i = 0; i < count; ++i) {
        DWORD len = static_cast<DWORD>(buf.size());
        rc = RegEnumValueA(impl.key, i, buf.data(), &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return rc;
        names.emplace_back(buf.data(), len);
    }
    return ERROR_SUCCESS;
}

bool KeyExists(TRootKey root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(RootHandle(root), path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

long DeleteKey(TRootKey root, const std::string& path) {
    // The key itself goes too, with everything below it.
    return RegDeleteTreeA(RootHandle(root), path.c_str());
}

} // namespace regimpl
} // namespace host
