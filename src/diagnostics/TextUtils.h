#pragma once
// Text utilities: appending to files, white space and trimming, the
// start-up check of the regional list separator, and the safe formatter that
// yields the failure text.
#include <string>
#include <string_view>

#include "diagnostics/Format.h"
#include "diagnostics/SafeFormatDecl.h"

namespace TextUtils {

inline constexpr char CR = '\r';
inline constexpr char LF = '\n';
inline constexpr char TAB = '\t';
inline constexpr const char* CRLF = "\r\n";

// The list separator chosen at start-up.
char ListSeparator();

// Appends text to fileName, creating the file when missing. Raises
// EInOutError with the platform's message on failure; the file then holds
// what it held before (a part taken by a full disk is cut off again).
void AppendToFile(std::string_view text, const std::string& fileName);
// The same, making sure the appended text ends with CR LF.
void AppendLineToFile(std::string_view text, const std::string& fileName);
// Appends lines that each end with CR LF in one write. When only part gets
// in (a full disk), the lines that got in whole stay and the broken one is
// cut off; it raises all the same.
void AppendLinesToFile(std::string_view lines, const std::string& fileName);

bool IsSpace(char c);
std::string Trim(std::string_view text);

// Start-up: takes the locale's list separator and, when it equals the
// decimal separator, picks another and warns.
void CheckListSeparator();

// Formats; on failure shows the failure text in an error box and returns it.
VELMAR_DECLARE_SAFE_FORMAT

// Whether a and b are the same text, letter case aside (engine method
// names are matched so).
bool SameText(std::string_view a, std::string_view b);

// A field as RFC 4180 writes it: quoted (quotes doubled) only when it must be.
std::string CsvField(std::string_view value);

}  // namespace TextUtils
