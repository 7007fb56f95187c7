#include "diagnostics/IniText.h"

#include "diagnostics/Exception.h"
#include "platform/MessageBox.h"

namespace IniText {

std::string EncodeIni(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case CR: out += "\\r"; break;
      case LF: out += "\\n"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

std::string DecodeIni(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      const char n = text[i + 1];
      if (n == '\\' || n == 'r' || n == 'n') {
        out.push_back(n == '\\' ? '\\' : n == 'r' ? CR : LF);
        ++i;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::string SafeFormat(std::string_view fmt, FmtArgs args) {
  try {
    return Format(fmt, args);
  } catch (const EConvertError& e) {
    Platform::ShowMessageBox(Platform::mbError, FormatFailureText(fmt, e));
    return std::string();
  }
}

}  // namespace IniText
