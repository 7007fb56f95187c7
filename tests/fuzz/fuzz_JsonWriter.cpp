// Our writer against our parser: whatever parses, written out, parses
// again to a value that writes out to the same text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Shared/JSON.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const IJsonValue value = JsonParse(text);
  if (!value) return 0;
  std::string first;
  try {
    first = JsonSerialize(value);
  } catch (const EJsonError&) {
    return 0;  // nested too deep to write: refused, not crashed
  }
  const IJsonValue again = JsonParse(first);
  if (!again) abort();
  if (JsonSerialize(again) != first) abort();
  return 0;
}
