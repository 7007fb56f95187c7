#pragma once
// The per-user application-data folder and folder creation.
#include <string>

namespace Platform {

// The user's configuration folder: $XDG_CONFIG_HOME when it is an absolute
// path, else $HOME/.config (the home folder from the password database when
// HOME is unset).
std::string GetUserAppDataFolder();

// Creates path and any missing parent folders; true when the folder exists
// afterwards.
bool ForceDirectories(const std::string& path);

}  // namespace Platform
