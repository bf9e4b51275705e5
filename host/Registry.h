#pragma once
// The registry class: named, typed values under a tree of keys.
//
// On Windows it works on the system registry through advapi32. Elsewhere it
// works on the process's registry store (host/RegistryStore.h): keys with
// typed values in memory, which a program may load from and save to a file.
// Both behave alike, down to the result of every failure, so code written
// against this class, and its tests, are the same on both.
//
// An object has a root key (CurrentUser by default) and at most one open key,
// its current key; the value operations work on the current key. A path that
// starts with '\' is taken from the root; any other path from the current key
// when one is open, else from the root. Opening a key closes the one that was
// open. The destructor closes the key.
//
// Value operations and their failures (all raise ERegistryException; the
// value's name stands in place of %s):
//  - WriteString stores the text as a string value (type regSz) of its length
//    plus one bytes (the text and a zero byte); WriteInteger as a 32-bit
//    value (regDword). Each replaces any value of the name. When the system
//    refuses (no open key, a key opened read-only, a key since deleted):
//    "Failed to set data for '%s'".
//  - ReadString: a missing value, or one of size 0, reads as the empty text; a
//    regSz or regExpandSz value gives its bytes up to the first zero byte; any
//    other type raises "Invalid data type for '%s'"; a present value that
//    cannot be read raises "Failed to get data for '%s'".
//  - ReadInteger: a regDword value of 4 bytes gives its value; a value of
//    another type raises "Invalid data type for '%s'"; a missing or unreadable
//    value raises "Failed to get data for '%s'".
//
// An object is used by one thread at a time.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace host {

// Value types, numbered as the Windows registry numbers them.
enum TRegValueType : std::uint32_t {
    regNone = 0,
    regSz = 1,
    regExpandSz = 2,
    regBinary = 3,
    regDword = 4,
    regMultiSz = 7,
    regQword = 11,
};

enum class TRootKey { ClassesRoot, CurrentUser, LocalMachine, Users, CurrentConfig };

// A value as stored: its type and its bytes.
struct TRegValue {
    std::uint32_t Type = regNone;
    std::vector<std::uint8_t> Data;
    bool operator==(const TRegValue&) const = default;
};

class TRegistry {
public:
    TRegistry();
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    TRootKey RootKey() const { return root_; }
    // Closes the current key.
    void SetRootKey(TRootKey root);

    // Opens the key for reading and writing, creating it (and the keys above
    // it) when `canCreate`; false when it does not exist or cannot be opened.
    bool OpenKey(const std::string& path, bool canCreate);
    // Opens an existing key for reading only: writes to it are refused.
    bool OpenKeyReadOnly(const std::string& path);
    void CloseKey();
    bool HasCurrentKey() const { return open_; }
    // The current key's path from the root, without leading '\'.
    const std::string& CurrentPath() const { return path_; }

    bool KeyExists(const std::string& path);
    // Deletes the key with everything below it; false when it could not.
    bool DeleteKey(const std::string& path);

    void WriteString(const std::string& name, const std::string& value);
    void WriteExpandString(const std::string& name, const std::string& value);
    void WriteInteger(const std::string& name, std::int32_t value);
    void WriteBinaryData(const std::string& name, const std::vector<std::uint8_t>& data);
    std::string ReadString(const std::string& name);
    std::int32_t ReadInteger(const std::string& name);

    bool ValueExists(const std::string& name);
    bool DeleteValue(const std::string& name);
    // The names of the current key's values.
    std::vector<std::string> GetValueNames();
    // The value as stored, or nothing when it is missing or cannot be read.
    std::optional<TRegValue> ReadRaw(const std::string& name);
    // Stores any type and bytes; raises "Failed to set data for '%s'".
    void WriteRaw(const std::string& name, const TRegValue& value);

    // The platform's side: defined by Win32Registry.cpp or PosixRegistry.cpp.
    struct Impl;
    struct ImplDeleter {
        void operator()(Impl* impl) const;
    };

private:
    std::string Resolve(const std::string& path) const;
    bool Open(const std::string& path, bool canCreate, bool readOnly);

    std::unique_ptr<Impl, ImplDeleter> impl_;
    TRootKey root_ = TRootKey::CurrentUser;
    bool open_ = false;
    std::string path_;
};

} // namespace host
