// Escaping multi-line text into one INI value must be lossless and leave no
// line break in the value.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "diagnostics/IniText.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string encoded = IniText::EncodeIni(text);
  if (encoded.find('\r') != std::string::npos || encoded.find('\n') != std::string::npos) abort();
  if (IniText::DecodeIni(encoded) != text) abort();
  // Decoding arbitrary text (a hand-edited file) must not crash either.
  (void)IniText::DecodeIni(text);
  return 0;
}
