#include "diagnostics/TextUtils.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "diagnostics/Exception.h"
#include "platform/Files.h"
#include "platform/Locale.h"
#include "platform/MessageBox.h"

std::string FormatFailureText(std::string_view fmt, const std::exception& e) {
  std::string name = "Exception";
  std::string message = e.what();
  if (auto* own = dynamic_cast<const Exception*>(&e)) {
    name = own->ClassName();
    message = own->Message();
  }
  std::string text = "Could not create message from format \"";
  text.append(fmt);
  text += "\" because: " + message + " (" + name + ")";
  return text;
}

namespace TextUtils {
namespace {
char gListSeparator = ',';
}

char ListSeparator() { return gListSeparator; }

namespace {

// Appends text; on failure cuts off what got in beyond the first `kept`
// bytes of it (computed from the part that got in) and raises.
template <class Kept>
void Append(std::string_view text, const std::string& fileName, Kept kept) {
  const Platform::TAppendResult r = Platform::AppendToFileCuttingBack(fileName, text, kept);
  if (r.Error == 0) return;
  throw EInOutError(r.OnOpen ? Platform::OpenErrorMessage(r.Error) : std::strerror(r.Error));
}

}  // namespace

void AppendToFile(std::string_view text, const std::string& fileName) {
  Append(text, fileName, [](std::string_view) { return size_t{0}; });
}

void AppendLinesToFile(std::string_view lines, const std::string& fileName) {
  Append(lines, fileName, [](std::string_view written) {
    const size_t end = written.rfind(CRLF);
    return end == std::string_view::npos ? size_t{0} : end + 2;
  });
}

void AppendLineToFile(std::string_view text, const std::string& fileName) {
  if (text.size() >= 2 && text.substr(text.size() - 2) == CRLF) {
    AppendToFile(text, fileName);
  } else {
    std::string line(text);
    line += CRLF;
    AppendToFile(line, fileName);
  }
}

bool IsSpace(char c) { return c == ' ' || c == TAB || c == CR || c == LF; }

std::string Trim(std::string_view text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && IsSpace(text[first])) ++first;
  while (last > first && IsSpace(text[last - 1])) --last;
  return std::string(text.substr(first, last - first));
}

void CheckListSeparator() {
  const Platform::TRegionalSettings& settings = Platform::RegionalSettings();
  gListSeparator = settings.ListSeparator ? settings.ListSeparator : ',';
  if (gListSeparator == settings.DecimalSeparator) {
    gListSeparator = gListSeparator == ',' ? ';' : ',';
    Platform::ShowMessageBox(Platform::mbWarning,
                             std::string("The regional list separator and decimal separator are configured to be the "
                                         "same character.  We will instead use \"") +
                                 gListSeparator + "\" as the list separator.");
  }
}

std::string SafeFormat(std::string_view fmt, FmtArgs args) {
  try {
    return Format(fmt, args);
  } catch (const EConvertError& e) {
    std::string text = FormatFailureText(fmt, e);
    Platform::ShowMessageBox(Platform::mbError, text);
    return text;
  }
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string CsvField(std::string_view value) {
  if (value.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(value);
  std::string quoted = "\"";
  for (const char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

}  // namespace TextUtils
