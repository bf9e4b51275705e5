#pragma once
// What the settings-file and location tests need of the operating system, one
// implementation per platform (PosixSettingsFixtures.cpp,
// Win32SettingsFixtures.cpp): read-only files and folders by the means each
// platform's save and location code look at.

#include <string>

namespace rc_test {

// Makes the file read-only: no write permission bit on POSIX, the read-only
// attribute on Windows. Fails the test when it cannot.
void MakeFileReadOnly(const std::string& path);

// Whether the file is still read-only in that sense.
bool IsFileReadOnly(const std::string& path);

// Makes the folder one in which no file may be created: without write
// permission bits on POSIX, an access list that denies adding files on
// Windows. False, with the reason in `why`, when this system does not
// enforce that (the folder is then left as it was); the test is then to be
// skipped with that reason.
bool MakeFolderUnwritable(const std::string& dir, std::string& why);

// Undoes MakeFolderUnwritable, so that the folder can be written and removed.
void MakeFolderWritable(const std::string& dir);

} // namespace rc_test
