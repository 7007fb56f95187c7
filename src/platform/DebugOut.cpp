#include "platform/DebugOut.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <mutex>

namespace Platform {
namespace {
std::mutex gMutex;
TDebugSink gSink;
}  // namespace

bool DebugOutputWanted() {
  const char* value = std::getenv(DEBUG_OUTPUT_VARIABLE);
  return value && std::string_view(value) == "1";
}

void OutputDebugString(const std::string& line) {
  std::lock_guard lock(gMutex);
  if (gSink) {
    gSink(line);
    return;
  }
  // On Windows these lines reach an attached debugger only, never the
  // user: here they are written only when asked for.
  if (!DebugOutputWanted()) return;
  std::string text = line;
  text.push_back('\n');
  std::fwrite(text.data(), 1, text.size(), stderr);
}

TDebugSink SetDebugSink(TDebugSink sink) {
  std::lock_guard lock(gMutex);
  std::swap(gSink, sink);
  return sink;
}

}  // namespace Platform
