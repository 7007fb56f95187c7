#pragma once
// Escaping of multi-line text into one INI value and back, and the safe
// formatter the logger uses (yields empty text on failure).
#include <string>
#include <string_view>

#include "diagnostics/Format.h"
#include "diagnostics/SafeFormatDecl.h"

namespace IniText {

inline constexpr char CR = '\r';
inline constexpr char LF = '\n';
inline constexpr const char* CRLF = "\r\n";

std::string EncodeIni(std::string_view text);
std::string DecodeIni(std::string_view text);

// Formats; on failure shows the failure text in an error box and returns "".
VELMAR_DECLARE_SAFE_FORMAT

}  // namespace IniText
