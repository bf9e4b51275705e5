#pragma once
// Where the window keeps LEDINFO.BIN (the file of sign/SignSettings.h).
//
// Beside the executable whenever that directory is writable: the portable
// layout, the build tree, a copy in a folder of the user's own. Otherwise
// (an installed program under /usr/bin or Program Files) in the per-user data
// folder of the platform, <data home>/radar-configurator: $XDG_DATA_HOME (when
// it is an absolute path) or ~/.local/share on Linux and other POSIX systems,
// %LOCALAPPDATA% on Windows. The same file name, format, load rules and
// atomic save in both places.
//
// Reading and saving differ in the per-user layout: the entries are read from
// the per-user file when it exists, otherwise from the file beside the
// executable (an administrator's shipped defaults seed a new user); they are
// always saved to the per-user file, whose folder is created, with its
// parents, at the first save.
//
// A folder that could not be written and now can (permissions changed, a
// write-protected stick unlocked) leaves the newer entries in the per-user
// file: beside a writable executable, the per-user file is read instead of
// the file beside it when its modification time is later (and not after
// now, which a clock set wrong would make forever later), or when there is
// none beside it. The next save goes beside the executable as usual, and
// from then on that file is the later one. (The other way round is not
// looked at: beside an executable whose folder cannot be written, a newer
// file is an administrator's defaults, not the user's last entries.)
//
// "A file" here is a regular file, through symbolic links: a folder, a pipe
// or a device of that name holds no entries (the save replaces none of them,
// the load reads none), so it is passed over. The choice reads no file, only
// the files' metadata. No Qt here; nothing is reported to the operator.

#include "sign/SignSettings.h"

#include <functional>
#include <optional>
#include <string>

// The application's folder name inside the per-user data folder.
inline constexpr const char* SettingsFolderName = "radar-configurator";

// Looks up an environment variable; nullopt when it is not set.
using TEnvironment = std::function<std::optional<std::string>(const std::string& name)>;

// The process's own environment.
TEnvironment ProcessEnvironment();

struct TSettingsLocation {
    // Where the entries are read from at start-up.
    std::string ReadPath;
    // Where they are saved; empty when there is nowhere to save (no per-user
    // folder known): saving then does nothing.
    std::string SavePath;
    // The folder to create (with its parents) before a save; empty beside
    // the executable.
    std::string CreateFolder;

    friend bool operator==(const TSettingsLocation&, const TSettingsLocation&) = default;
};

// Whether LEDINFO.BIN may be saved in `dir`, by the save's own rule for its
// directory: an existing directory with write permission for this process and
// at least one write permission bit (so that a read-only folder counts as
// such for the superuser too). On Windows: a file can be created there.
bool IsWritableSettingsDirectory(const std::string& dir);

// The per-user data folder of this application; empty when the environment
// names none (neither XDG_DATA_HOME nor HOME; on Windows no LOCALAPPDATA).
std::string UserSettingsFolder(const TEnvironment& env);

// The location for an executable in `exeDir`, by the rules at the top.
TSettingsLocation ChooseSettingsLocation(const std::string& exeDir, const TEnvironment& env);

// Creates location.CreateFolder when it is missing, then saves as
// SaveSignSettingsFile does. False, with nothing written, when the folder
// cannot be created or the save fails.
bool SaveSignSettingsAt(const TSettingsLocation& location, const TSignSettings& settings);
