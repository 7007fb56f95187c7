#include "diagnostics/Format.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

#include "diagnostics/Exception.h"
#include "platform/Locale.h"

namespace {

[[noreturn]] void InvalidFormat(std::string_view spec) {
  throw EConvertError("Format '" + std::string(spec) + "' invalid or incompatible with argument");
}

[[noreturn]] void NoArgument(std::string_view spec) {
  throw EConvertError("No argument for format '" + std::string(spec) + "'");
}

void Pad(std::string& out, std::string_view text, int width, bool leftAlign) {
  const int fill = width > static_cast<int>(text.size()) ? width - static_cast<int>(text.size()) : 0;
  if (!leftAlign) out.append(static_cast<size_t>(fill), ' ');
  out.append(text);
  if (leftAlign) out.append(static_cast<size_t>(fill), ' ');
}

// Integers with a precision get leading zeros up to that many digits.
std::string Digits(std::string digits, bool negative, int precision) {
  if (precision > 0 && static_cast<int>(digits.size()) < precision)
    digits.insert(0, static_cast<size_t>(precision) - digits.size(), '0');
  if (negative) digits.insert(0, 1, '-');
  return digits;
}

std::string FloatText(char type, double v, int precision) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v > 0 ? "INF" : "-INF";
  char buf[512];
  if (type == 'f') {
    std::snprintf(buf, sizeof buf, "%.*f", precision < 0 ? 2 : std::min(precision, 18), v);
  } else if (type == 'e') {
    std::snprintf(buf, sizeof buf, "%.*E", precision < 0 ? 14 : std::min(std::max(precision, 1) - 1, 17), v);
  } else {
    std::snprintf(buf, sizeof buf, "%.*G", precision < 0 ? 15 : std::min(std::max(precision, 1), 18), v);
  }
  std::string text(buf);
  const char decimal = Platform::RegionalSettings().DecimalSeparator;
  if (decimal != '.')
    for (char& c : text)
      if (c == '.') c = decimal;
  return text;
}

}  // namespace

std::string Format(std::string_view fmt, FmtArgs args) {
  std::string out;
  out.reserve(fmt.size() + 16 * args.size());
  size_t next = 0;
  size_t i = 0;
  while (i < fmt.size()) {
    const char c = fmt[i];
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    const size_t start = i++;
    if (i < fmt.size() && fmt[i] == '%') {
      out.push_back('%');
      ++i;
      continue;
    }
    bool leftAlign = false;
    int width = 0;
    int precision = -1;
    auto number = [&](int& target) {
      if (i < fmt.size() && fmt[i] == '*') {
        ++i;
        if (next >= args.size()) NoArgument(fmt.substr(start, i - start));
        const FmtArg& a = args[next++];
        if (a.GetKind() == FmtArg::fkInt) target = static_cast<int>(std::clamp<int64_t>(a.AsInt(), -1, 4096));
        else if (a.GetKind() == FmtArg::fkUInt) target = static_cast<int>(std::min<uint64_t>(a.AsUInt(), 4096));
        else InvalidFormat(fmt.substr(start, i - start));
        return;
      }
      int value = 0;
      while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') {
        value = std::min(value * 10 + (fmt[i] - '0'), 4096);
        ++i;
      }
      target = value;
    };
    if (i < fmt.size() && fmt[i] == '-') {
      leftAlign = true;
      ++i;
    }
    number(width);
    if (i < fmt.size() && fmt[i] == '.') {
      ++i;
      number(precision);
    }
    if (i >= fmt.size()) InvalidFormat(fmt.substr(start));
    const char type = static_cast<char>(std::tolower(static_cast<unsigned char>(fmt[i++])));
    const std::string_view spec = fmt.substr(start, i - start);
    if (type != 'd' && type != 'u' && type != 'x' && type != 's' && type != 'f' && type != 'e' && type != 'g')
      InvalidFormat(spec);
    if (next >= args.size()) NoArgument(spec);
    const FmtArg& a = args[next++];
    std::string text;
    switch (type) {
      case 'd':
        if (a.GetKind() == FmtArg::fkInt) {
          const int64_t v = a.AsInt();
          text = Digits(std::to_string(v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v)), v < 0, precision);
        } else if (a.GetKind() == FmtArg::fkUInt) {
          text = Digits(std::to_string(a.AsUInt()), false, precision);
        } else {
          InvalidFormat(spec);
        }
        break;
      case 'u':
      case 'x': {
        uint64_t v;
        if (a.GetKind() == FmtArg::fkInt) {
          // Negative numbers show as their 32-bit (or 64-bit) two's complement.
          const int64_t s = a.AsInt();
          v = (s < 0 && s >= INT32_MIN) ? static_cast<uint32_t>(s) : static_cast<uint64_t>(s);
        } else if (a.GetKind() == FmtArg::fkUInt) {
          v = a.AsUInt();
        } else {
          InvalidFormat(spec);
        }
        if (type == 'u') {
          text = Digits(std::to_string(v), false, precision);
        } else {
          char buf[32];
          std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
          text = Digits(buf, false, precision);
        }
        break;
      }
      case 's':
        if (a.GetKind() != FmtArg::fkText) InvalidFormat(spec);
        text = a.AsText();
        if (precision >= 0 && static_cast<size_t>(precision) < text.size()) text.resize(static_cast<size_t>(precision));
        break;
      default:  // f, e, g
        if (a.GetKind() != FmtArg::fkFloat) InvalidFormat(spec);
        text = FloatText(type, a.AsFloat(), precision);
        break;
    }
    Pad(out, text, width, leftAlign);
  }
  return out;
}
