#include "platform/DebugOut.h"

#include <cstdio>
#include <mutex>

namespace Platform {
namespace {
std::mutex gMutex;
TDebugSink gSink;
}  // namespace

void OutputDebugString(const std::string& line) {
  std::lock_guard lock(gMutex);
  if (gSink) {
    gSink(line);
    return;
  }
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
