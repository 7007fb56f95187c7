#pragma once
// Declares one module's SafeFormat pair: the typed-list form and the
// variadic convenience form. Included inside the module's namespace.
#define VELMAR_DECLARE_SAFE_FORMAT                                                \
  std::string SafeFormat(std::string_view fmt, FmtArgs args);                     \
  template <class... A>                                                           \
  std::string SafeFormat(std::string_view fmt, const A&... args) {                \
    const FmtArg list[] = {FmtArg(args)..., FmtArg(0)};                           \
    return SafeFormat(fmt, FmtArgs(list, sizeof...(A)));                          \
  }

// The text shown when a format fails.
std::string FormatFailureText(std::string_view fmt, const std::exception& e);
