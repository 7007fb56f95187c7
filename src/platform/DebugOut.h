#pragma once
// The debugger output: one line per call, to a sink when one is installed
// (tests capture it), else to standard error when VELMAR_DEBUG_OUTPUT=1 is
// set, else nowhere. Callable from any thread.
#include <functional>
#include <string>

namespace Platform {

constexpr const char* DEBUG_OUTPUT_VARIABLE = "VELMAR_DEBUG_OUTPUT";
// VELMAR_DEBUG_OUTPUT is "1".
bool DebugOutputWanted();

void OutputDebugString(const std::string& line);

using TDebugSink = std::function<void(const std::string&)>;
// Installs a sink (nullptr restores standard error); returns the previous one.
TDebugSink SetDebugSink(TDebugSink sink);

}  // namespace Platform
