#pragma once
// The debugger output: one line per call, to standard error unless a sink
// is installed (tests capture it). Callable from any thread.
#include <functional>
#include <string>

namespace Platform {

void OutputDebugString(const std::string& line);

using TDebugSink = std::function<void(const std::string&)>;
// Installs a sink (nullptr restores standard error); returns the previous one.
TDebugSink SetDebugSink(TDebugSink sink);

}  // namespace Platform
