// The registry calls answered from the process's registry store.
#include "host/RegistryImpl.h"
#include "host/RegistryStore.h"

#include <cstring>

namespace host {

struct TRegistry::Impl {
    std::string key; // full path in the store, root first
    bool readOnly = false;
    bool open = false;
};

namespace regimpl {

namespace {

std::string RootName(TRootKey root) {
    switch (root) {
    case TRootKey::ClassesRoot:
        return "HKEY_CLASSES_ROOT";
    case TRootKey::CurrentUser:
        return "HKEY_CURRENT_USER";
    case TRootKey::LocalMachine:
        return "HKEY_LOCAL_MACHINE";
    case TRootKey::Users:
        return "HKEY_USERS";
    case TRootKey::CurrentConfig:
        return "HKEY_CURRENT_CONFIG";
    }
    return "HKEY_CURRENT_USER";
}

std::string FullPath(TRootKey root, const std::string& path) {
    return path.empty() ? RootName(root) : RootName(root) + "\\" + path;
}

TRegistryStore& Store() {
    return TRegistryStore::Default();
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
    std::string key = FullPath(root, path);
    if (create && !readOnly)
        Store().CreateKey(key);
    else if (!Store().KeyExists(key))
        return kFileNotFound;
    impl.key = std::move(key);
    impl.readOnly = readOnly;
    impl.open = true;
    return kSuccess;
}

void CloseKey(TRegistry::Impl& impl) {
    impl = TRegistry::Impl{};
}

long QueryValue(TRegistry::Impl& impl, const std::string& name, std::uint32_t* type,
                std::uint8_t* data, std::uint32_t* size) {
    if (!impl.open)
        return kInvalidHandle;
    auto value = Store().GetValue(impl.key, name);
    if (!value)
        return Store().KeyExists(impl.key) ? kFileNotFound : kKeyDeleted;
    if (type)
        *type = value->Type;
    const auto needed = static_cast<std::uint32_t>(value->Data.size());
    if (data && *size < needed) {
        *size = needed;
        return kMoreData;
    }
    if (data && needed != 0)
        std::memcpy(data, value->Data.data(), needed);
    *size = needed;
    return kSuccess;
}

long SetValue(TRegistry::Impl& impl, const std::string& name, std::uint32_t type,
              const std::uint8_t* data, std::uint32_t size) {
    if (!impl.open)
        return kInvalidHandle;
    if (impl.readOnly)
        return kAccessDenied;
    TRegValue value{type, std::vector<std::uint8_t>(data, data + size)};
    return Store().SetValue(impl.key, name, value) ? kSuccess : kKeyDeleted;
}

long DeleteValue(TRegistry::Impl& impl, const std::string& name) {
    if (!impl.open)
        return kInvalidHandle;
    if (impl.readOnly)
        return kAccessDenied;
    return Store().DeleteValue(impl.key, name) ? kSuccess : kFileNotFound;
}

long ValueNames(TRegistry::Impl& impl, std::vector<std::string>& names) {
    if (!impl.open)
        return kInvalidHandle;
    auto found = Store().ValueNames(impl.key);
    if (!found)
        return kKeyDeleted;
    names = std::move(*found);
    return kSuccess;
}

bool KeyExists(TRootKey root, const std::string& path) {
    return Store().KeyExists(FullPath(root, path));
}

long DeleteKey(TRootKey root, const std::string& path) {
    return Store().DeleteKey(FullPath(root, path)) ? kSuccess : kFileNotFound;
}

} // namespace regimpl
} // namespace host
