#pragma once
// The examples of docs/engine-protocol.md, for tests that run them.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace DocsExamples {

inline std::string ProtocolPagePath() {
  if (const char* dir = std::getenv("VELMAR_SOURCE_DIR")) return std::string(dir) + "/docs/engine-protocol.md";
  const std::string here = __FILE__;
  return here.substr(0, here.rfind("/tests/")) + "/docs/engine-protocol.md";
}

// The first fenced block of the given language in the protocol page.
inline std::string Block(const std::string& language) {
  std::ifstream in(ProtocolPagePath());
  std::stringstream s;
  s << in.rdbuf();
  const std::string text = s.str();
  const std::string open = "```" + language + "\n";
  const size_t start = text.find(open);
  if (start == std::string::npos) return "";
  const size_t end = text.find("```", start + open.size());
  return text.substr(start + open.size(), end - start - open.size());
}

inline bool HaveProgram(const char* name) {
  return std::system(("command -v " + std::string(name) + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace DocsExamples
