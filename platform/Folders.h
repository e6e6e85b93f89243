// Folders: the per-user place where programs keep their own data, and making
// and removing directories.
//
// The user data directory is where the application keeps what it writes for
// itself (its backups of the address book and the lists of what each run
// changed). On Windows it is the roaming application data folder (%APPDATA%);
// on POSIX systems $XDG_DATA_HOME, else $HOME/.local/share.
//
// Failures return false or an empty text and set the calling thread's last
// error (WinError.h).
#pragma once

#include <string>

namespace ledra::platform {

// The per-user application data directory, without a trailing separator;
// empty when the system names none.
std::string UserDataDirectory();
// True when a directory (not a file) of that name exists.
bool DirectoryExists(const std::string& path);
// Makes the directory and every missing parent; true when it exists
// afterwards.
bool ForceDirectories(const std::string& path);
// Removes an empty directory.
bool RemoveEmptyDirectory(const std::string& path);
// True when both names lead to the same existing directory (however they are
// spelled: links, ".." and, on Windows, case).
bool SameDirectory(const std::string& first, const std::string& second);

}  // namespace ledra::platform
