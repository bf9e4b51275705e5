#include "host/Registry.h"

#include "host/Exceptions.h"
#include "host/RegistryImpl.h"

#include <cstring>

namespace host {

namespace {

[[noreturn]] void Raise(const char* what, const std::string& name) {
    throw ERegistryException(std::string(what) + " for '" + name + "'");
}

std::string Join(const std::string& a, const std::string& b) {
    if (a.empty())
        return b;
    if (b.empty())
        return a;
    return a + "\\" + b;
}

std::string StripSlashes(std::string path) {
    while (!path.empty() && path.front() == '\\')
        path.erase(0, 1);
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    return path;
}

} // namespace

void TRegistry::ImplDeleter::operator()(Impl* impl) const {
    regimpl::DeleteImpl(impl);
}

TRegistry::TRegistry() : impl_(regimpl::NewImpl()) {}

TRegistry::~TRegistry() {
    CloseKey();
}

void TRegistry::SetRootKey(TRootKey root) {
    CloseKey();
    root_ = root;
}

std::string TRegistry::Resolve(const std::string& path) const {
    if (!path.empty() && path.front() == '\\')
        return StripSlashes(path);
    return StripSlashes(Join(open_ ? path_ : std::string(), StripSlashes(path)));
}

bool TRegistry::Open(const std::string& path, bool canCreate, bool readOnly) {
    std::string full = Resolve(path);
    CloseKey();
    if (regimpl::OpenKey(*impl_, root_, full, canCreate, readOnly) != regimpl::kSuccess)
        return false;
    open_ = true;
    path_ = std::move(full);
    return true;
}

bool TRegistry::OpenKey(const std::string& path, bool canCreate) {
    return Open(path, canCreate, false);
}

bool TRegistry::OpenKeyReadOnly(const std::string& path) {
    return Open(path, false, true);
}

void TRegistry::CloseKey() {
    if (open_)
        regimpl::CloseKey(*impl_);
    open_ = false;
    path_.clear();
}

bool TRegistry::KeyExists(const std::string& path) {
    return regimpl::KeyExists(root_, Resolve(path));
}

bool TRegistry::DeleteKey(const std::string& path) {
    std::string full = Resolve(path);
    if (full.empty())
        return false; // never the root itself
    return regimpl::DeleteKey(root_, full) == regimpl::kSuccess;
}

void TRegistry::WriteRaw(const std::string& name, const TRegValue& value) {
    if (!open_ ||
        regimpl::SetValue(*impl_, name, value.Type, value.Data.data(),
                          static_cast<std::uint32_t>(value.Data.size())) != regimpl::kSuccess)
        Raise("Failed to set data", name);
}

void TRegistry::WriteString(const std::string& name, const std::string& value) {
    TRegValue v{regSz, {value.begin(), value.end()}};
    v.Data.push_back(0);
    WriteRaw(name, v);
}

void TRegistry::WriteExpandString(const std::string& name, const std::string& value) {
    TRegValue v{regExpandSz, {value.begin(), value.end()}};
    v.Data.push_back(0);
    WriteRaw(name, v);
}

void TRegistry::WriteInteger(const std::string& name, std::int32_t value) {
    // A DWORD is stored little-endian, whatever the machine.
    auto bits = static_cast<std::uint32_t>(value);
    WriteRaw(name,
             {regDword,
              {static_cast<std::uint8_t>(bits), static_cast<std::uint8_t>(bits >> 8),
               static_cast<std::uint8_t>(bits >> 16), static_cast<std::uint8_t>(bits >> 24)}});
}

void TRegistry::WriteBinaryData(const std::string& name, const std::vector<std::uint8_t>& data) {
    WriteRaw(name, {regBinary, data});
}

std::string TRegistry::ReadString(const std::string& name) {
    if (!open_)
        Raise("Failed to get data", name);
    // First the type and size, then the bytes into a buffer of that size.
    std::uint32_t type = 0, size = 0;
    long rc = regimpl::QueryValue(*impl_, name, &type, nullptr, &size);
    if (rc == regimpl::kFileNotFound)
        return {};
    if (rc != regimpl::kSuccess)
        Raise("Failed to get data", name);
    if (size == 0)
        return {};
    if (type != regSz && type != regExpandSz)
        Raise("Invalid data type", name);
    std::string data(size, '\0');
    rc = regimpl::QueryValue(*impl_, name, &type, reinterpret_cast<std::uint8_t*>(data.data()),
                             &size);
    if (rc != regimpl::kSuccess)
        Raise("Failed to get data", name);
    if (type != regSz && type != regExpandSz)
        Raise("Invalid data type", name);
    data.resize(std::min<std::size_t>(size, data.size()));
    data.resize(std::strlen(data.c_str()));
    return data;
}

std::int32_t TRegistry::ReadInteger(const std::string& name) {
    if (!open_)
        Raise("Failed to get data", name);
    // One query with a 4-byte buffer. A value too big for it still reports its
    // type, and a wrong type is told as such whatever the value's size.
    std::uint8_t buf[4] = {};
    std::uint32_t type = 0, size = sizeof buf;
    long rc = regimpl::QueryValue(*impl_, name, &type, buf, &size);
    if (rc != regimpl::kSuccess && rc != regimpl::kMoreData)
        Raise("Failed to get data", name);
    if (type != regDword)
        Raise("Invalid data type", name);
    if (rc != regimpl::kSuccess || size != sizeof buf)
        Raise("Failed to get data", name);
    return static_cast<std::int32_t>(std::uint32_t(buf[0]) | std::uint32_t(buf[1]) << 8 |
                                     std::uint32_t(buf[2]) << 16 | std::uint32_t(buf[3]) << 24);
}

bool TRegistry::ValueExists(const std::string& name) {
    std::uint32_t type = 0, size = 0;
    return open_ && regimpl::QueryValue(*impl_, name, &type, nullptr, &size) == regimpl::kSuccess;
}

bool TRegistry::DeleteValue(const std::string& name) {
    return open_ && regimpl::DeleteValue(*impl_, name) == regimpl::kSuccess;
}

std::vector<std::string> TRegistry::GetValueNames() {
    std::vector<std::string> names;
    if (open_ && regimpl::ValueNames(*impl_, names) != regimpl::kSuccess)
        names.clear();
    return names;
}

std::optional<TRegValue> TRegistry::ReadRaw(const std::string& name) {
    if (!open_)
        return std::nullopt;
    TRegValue v;
    std::uint32_t size = 0;
    if (regimpl::QueryValue(*impl_, name, &v.Type, nullptr, &size) != regimpl::kSuccess)
        return std::nullopt;
    v.Data.resize(size);
    if (size != 0 &&
        regimpl::QueryValue(*impl_, name, &v.Type, v.Data.data(), &size) != regimpl::kSuccess)
        return std::nullopt;
    v.Data.resize(std::min<std::size_t>(size, v.Data.size()));
    return v;
}

} // namespace host
