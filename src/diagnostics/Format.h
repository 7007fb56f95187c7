#pragma once
// printf-like formatting over a typed argument list. A placeholder whose
// argument has the wrong kind, or a missing argument, raises EConvertError;
// nothing is ever read from an argument of another kind.
//
// Placeholders: %[-][width][.precision]type with type one of
//   d (signed or unsigned integer), u (unsigned, negative integers wrap to
//   32 bits), x (hexadecimal, upper case), s (text), f, e, g (floating point;
//   integers are refused, as with any other kind mismatch), and %% for a
//   percent sign. Width and precision may be '*', taking an integer argument.
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

class FmtArg {
 public:
  enum Kind { fkInt, fkUInt, fkFloat, fkText };

  template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && std::is_signed_v<T>)
  FmtArg(T v) : FKind(fkInt), FInt(v) {}
  template <class T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && std::is_unsigned_v<T>)
  FmtArg(T v) : FKind(fkUInt), FUInt(v) {}
  FmtArg(bool v) : FKind(fkInt), FInt(v ? 1 : 0) {}
  FmtArg(double v) : FKind(fkFloat), FFloat(v) {}
  FmtArg(float v) : FKind(fkFloat), FFloat(v) {}
  FmtArg(const char* v) : FKind(fkText), FText(v ? v : "") {}
  FmtArg(std::string_view v) : FKind(fkText), FText(v) {}
  FmtArg(const std::string& v) : FKind(fkText), FText(v) {}

  Kind GetKind() const { return FKind; }
  int64_t AsInt() const { return FInt; }
  uint64_t AsUInt() const { return FUInt; }
  double AsFloat() const { return FFloat; }
  std::string_view AsText() const { return FText; }

 private:
  Kind FKind;
  union {
    int64_t FInt;
    uint64_t FUInt;
    double FFloat;
  };
  std::string_view FText;  // valid for the duration of the formatting call
};

using FmtArgs = std::span<const FmtArg>;

// Formats; raises EConvertError on a placeholder that does not fit.
std::string Format(std::string_view fmt, FmtArgs args);

template <class... A>
std::string FormatV(std::string_view fmt, const A&... args) {
  const FmtArg list[] = {FmtArg(args)..., FmtArg(0)};
  return Format(fmt, FmtArgs(list, sizeof...(A)));
}
