#include "diagnostics/DebugOutput.h"

#include "diagnostics/Exception.h"
#include "platform/DebugOut.h"

namespace DebugOutput {

int IndentLevel() { return 0; }

std::string IndentStr() { return std::string(static_cast<size_t>(IndentLevel()), ' '); }

void ODS(const std::string& msg) { Platform::OutputDebugString(IndentStr() + "  " + msg); }

std::string SafeFormat(std::string_view fmt, FmtArgs args) {
  try {
    return Format(fmt, args);
  } catch (const EConvertError& e) {
    throw Exception(FormatFailureText(fmt, e));
  }
}

}  // namespace DebugOutput
