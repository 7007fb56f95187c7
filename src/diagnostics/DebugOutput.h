#pragma once
// Debug output: one line to the debugger output, and the safe formatter
// that raises the failure text as an error.
#include <string>
#include <string_view>

#include "diagnostics/Format.h"
#include "diagnostics/SafeFormatDecl.h"

namespace DebugOutput {

int IndentLevel();
std::string IndentStr();

void ODS(const std::string& msg);
template <class A0, class... A>
void ODS(std::string_view fmt, const A0& a0, const A&... args);

// Formats; on failure raises Exception with the failure text.
VELMAR_DECLARE_SAFE_FORMAT

template <class A0, class... A>
void ODS(std::string_view fmt, const A0& a0, const A&... args) {
  ODS(SafeFormat(fmt, a0, args...));
}

}  // namespace DebugOutput
