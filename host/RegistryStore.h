#pragma once
// A registry of our own, for platforms without one: keys with typed values,
// in memory, optionally loaded from and saved to a file. On such platforms
// TRegistry (host/Registry.h) works on TRegistryStore::Default().
//
// Keys are named by their full path, root first, parts separated by '\'
// ("HKEY_CURRENT_USER\Software\Radar"); key paths and value names compare
// without regard to ASCII letter case, as in the Windows registry. A key's
// values keep the order in which they were first written.
//
// The file is a text in the form of a Windows registry export ("REGEDIT4"),
// readable and editable by hand:
//     [HKEY_CURRENT_USER\Software\Radar]
//     "Port"="COM1"
//     "Buffer.InputSize"=dword:00000400
//     "Blob"=hex(3):01,02
// Strings are written in quotes (with \\ and \" escaped) when they are a text
// and one zero byte; every other value as its type number and bytes.
//
// All operations are safe to call from several threads.

#include "host/Registry.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace host {

class TRegistryStore {
public:
    // The store that TRegistry uses on platforms without a system registry.
    static TRegistryStore& Default();

    // Replaces the whole contents with the file's; a missing file gives an
    // empty store. A file that cannot be read or parsed raises
    // ERegistryException (naming the file and line) and changes nothing.
    void LoadFromFile(const std::string& path);
    // Writes the whole contents to the file, replacing it atomically
    // (host/FileIo.h); raises ERegistryException when it cannot.
    void SaveToFile(const std::string& path) const;
    std::string ToText() const;
    // Raises ERegistryException("<what> at line <n>") and changes nothing.
    void FromText(const std::string& text);
    void Clear();

    bool KeyExists(const std::string& key) const;
    // Creates the key and the keys above it; nothing when it exists.
    void CreateKey(const std::string& key);
    // Deletes the key and every key below it; false when it does not exist.
    bool DeleteKey(const std::string& key);
    // Nothing when the key or the value does not exist.
    std::optional<TRegValue> GetValue(const std::string& key, const std::string& name) const;
    // False when the key does not exist.
    bool SetValue(const std::string& key, const std::string& name, const TRegValue& value);
    bool DeleteValue(const std::string& key, const std::string& name);
    // Nothing when the key does not exist.
    std::optional<std::vector<std::string>> ValueNames(const std::string& key) const;

private:
    struct Key {
        std::string path;
        std::vector<std::pair<std::string, TRegValue>> values;
    };
    static std::string Fold(const std::string& s);

    mutable std::mutex mutex_;
    std::map<std::string, Key> keys_; // by folded path
};

} // namespace host
