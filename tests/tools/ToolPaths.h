#pragma once
// Where the built programs are: $VELMAR_BIN_DIR under ctest, else the bin
// folder beside this test binary's folder.
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace ToolPaths {

inline std::string BinDir() {
  if (const char* dir = std::getenv("VELMAR_BIN_DIR"); dir && *dir) return dir;
  char buf[4096] = {};
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string self(buf, n > 0 ? static_cast<size_t>(n) : 0);
  const size_t slash = self.rfind('/');
  return (slash == std::string::npos ? std::string(".") : self.substr(0, slash)) + "/../bin";
}

inline std::string Program(const std::string& name) { return BinDir() + "/" + name; }

}  // namespace ToolPaths
