#include "platform/Files.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace Platform {

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FileIsExecutable(const std::string& path) { return FileExists(path) && ::access(path.c_str(), X_OK) == 0; }

std::optional<TLocalDateTime> FileModifiedTime(const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return std::nullopt;
  tm parts{};
  localtime_r(&st.st_mtim.tv_sec, &parts);
  return FromTm(parts, static_cast<int>(st.st_mtim.tv_nsec / 1000000));
}

std::string FormatLocalDateTime(const TLocalDateTime& t) {
  tm parts = ToTm(t);
  char buf[128];
  const size_t n = std::strftime(buf, sizeof buf, "%x %X", &parts);
  return std::string(buf, n);
}

std::string ExtractFileDir(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string ChangeFileExt(const std::string& path, const std::string& ext) {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ext;
  return path.substr(0, dot) + ext;
}

std::string SysErrorMessage(int code) { return std::strerror(code); }

}  // namespace Platform
