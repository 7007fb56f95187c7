// Our writer against our parser: whatever parses, written out, parses
// again to a value that writes out to the same text; and the text written
// straight from the parser's events, of the whole value and of each member
// of an object, is that same text.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Shared/JSON.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const IJsonValue value = JsonParse(text);
  if (!value) {
    if (JsonCanonicalText(text)) abort();
    return 0;
  }
  std::string first;
  try {
    first = JsonSerialize(value);
  } catch (const EJsonError&) {
    return 0;  // nested too deep to write: refused, not crashed
  }
  const IJsonValue again = JsonParse(first);
  if (!again) abort();
  if (JsonSerialize(again) != first) abort();
  if (JsonCanonicalText(text) != first) abort();
  for (const auto& [name, member] : value->Members()) {
    const std::string_view path[] = {name};
    if (JsonCanonicalText(text, path) != JsonSerialize(member)) abort();
    // One level further, through the first member of a member object.
    if (member->IsObject() && !member->Members().empty()) {
      const auto& [inner, innerValue] = *member->Members().begin();
      const std::string_view deeper[] = {name, inner};
      if (JsonCanonicalText(text, deeper) != JsonSerialize(innerValue)) abort();
    }
  }
  const std::string_view missing[] = {"\x01no such member"};
  if (JsonCanonicalText(text, missing)) abort();
  return 0;
}
