#include "platform/AppData.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace Platform {

std::string GetUserAppDataFolder() {
  // Relative values are to be ignored, as the XDG base directory rules say.
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  std::string homeDir = (home && home[0]) ? home : "";
  if (homeDir.empty()) {
    if (const passwd* pw = ::getpwuid(::geteuid()); pw && pw->pw_dir) homeDir = pw->pw_dir;
  }
  if (homeDir.empty()) homeDir = "/";
  if (homeDir.size() > 1 && homeDir.back() == '/') homeDir.pop_back();
  return (homeDir == "/" ? "" : homeDir) + "/.config";
}

bool ForceDirectories(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  return std::filesystem::is_directory(path, ec);
}

}  // namespace Platform
