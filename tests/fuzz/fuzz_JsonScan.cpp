// The checking scanner against the full parser: both accept exactly the same
// texts, and an outline parses to the full value with everything below its
// kept levels emptied.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "Shared/JSON.h"

namespace {

// The value with the containers nested keep levels deep left empty.
IJsonValue Trimmed(const IJsonValue& value, size_t keep) {
  if (value->IsObject()) {
    const IJsonValue copy = TJsonValue::NewObject();
    if (keep > 0)
      for (const auto& [name, member] : value->Members()) copy->Put(name, Trimmed(member, keep - 1));
    return copy;
  }
  if (value->IsArray()) {
    const IJsonValue copy = TJsonValue::NewArray();
    if (keep > 0)
      for (const IJsonValue& item : value->Items()) copy->Add(Trimmed(item, keep - 1));
    return copy;
  }
  return value;
}

[[noreturn]] void Fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "%s: %.*s\n", what, static_cast<int>(text.size() > 300 ? 300 : text.size()), text.data());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const IJsonValue full = JsonParse(text);
  if (JsonScan(text) != (full != nullptr)) Fail(full ? "scanner refused" : "scanner accepted", text);
  for (const size_t keep : {size_t{0}, size_t{1}, size_t{2}}) {
    const IJsonValue outline = JsonParseOutline(text, keep);
    if ((outline != nullptr) != (full != nullptr)) Fail("outline and parse disagree", text);
    if (full && JsonSerialize(outline) != JsonSerialize(Trimmed(full, keep))) Fail("outline differs", text);
  }
  return 0;
}
