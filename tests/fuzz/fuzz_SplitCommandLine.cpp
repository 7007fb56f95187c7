// The command-line splitter: no crash on any line, and arguments quoted the
// way a Windows program expects split back into the same arguments.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Process.h"

namespace {

// Quotes one argument (not the first) so that the C runtime's rules give it
// back unchanged.
std::string QuoteArgument(const std::string& arg) {
  std::string out = "\"";
  size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
      out.push_back('"');
    } else {
      out.append(backslashes, '\\');
      out.push_back(c);
    }
    backslashes = 0;
  }
  out.append(backslashes * 2, '\\');
  out.push_back('"');
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string line(reinterpret_cast<const char*>(data), size);
  (void)Platform::SplitCommandLine(line);

  // The same bytes cut into arguments at NUL bytes. The program name is read
  // plainly, so it holds no quote, blank or NUL and is written as is.
  std::vector<std::string> args(1);
  for (char c : line) {
    if (c == '\0')
      args.emplace_back();
    else
      args.back().push_back(c);
  }
  std::string program;
  for (char c : args[0])
    if (c != '"' && c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f') program.push_back(c);
  if (program.empty()) program = "prog";
  args[0] = program;
  std::string commandLine = program;
  for (size_t i = 1; i < args.size(); ++i) commandLine += " " + QuoteArgument(args[i]);
  const std::vector<std::string> split = Platform::SplitCommandLine(commandLine);
  if (split != args) abort();
  return 0;
}
