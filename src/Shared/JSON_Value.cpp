// The value tree, member access and parsing.
#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

#include "Shared/JSON.h"

namespace {
const std::string EmptyText;
}  // namespace

IJsonValue TJsonValue::Null() { return IJsonValue(new TJsonValue(jkNull)); }

IJsonValue TJsonValue::Boolean(bool value) {
  IJsonValue r(new TJsonValue(jkBoolean));
  r->FInt = value ? 1 : 0;
  return r;
}

IJsonValue TJsonValue::Integer(int64_t value) {
  IJsonValue r(new TJsonValue(jkInteger));
  r->FInt = value;
  return r;
}

IJsonValue TJsonValue::Float(double value) {
  IJsonValue r(new TJsonValue(jkFloat));
  r->FFloat = value;
  return r;
}

IJsonValue TJsonValue::BigInteger(double value, std::string literal) {
  IJsonValue r = Float(value);
  r->FText = std::move(literal);
  return r;
}

IJsonValue TJsonValue::Currency(TCurrency value) {
  IJsonValue r(new TJsonValue(jkCurrency));
  r->FInt = value.Value;
  return r;
}

IJsonValue TJsonValue::String(std::string value) {
  IJsonValue r(new TJsonValue(jkString));
  r->FText = std::move(value);
  return r;
}

IJsonValue TJsonValue::NewArray() { return IJsonValue(new TJsonValue(jkArray)); }
IJsonValue TJsonValue::NewObject() { return IJsonValue(new TJsonValue(jkObject)); }

const std::string& TJsonValue::AsString() const { return FKind == jkString ? FText : EmptyText; }
const std::string& TJsonValue::IntegerLiteral() const { return FKind == jkFloat ? FText : EmptyText; }

IJsonValue TJsonValue::Member(std::string_view name) const {
  auto it = FMembers.find(std::string(name));
  return it == FMembers.end() ? nullptr : it->second;
}

void TJsonValue::Put(std::string_view name, IJsonValue value) {
  Assert(FKind == jkObject && value != nullptr);
  FMembers.insert_or_assign(std::string(name), std::move(value));
}

void TJsonValue::Add(IJsonValue value) {
  Assert(FKind == jkArray && value != nullptr);
  FItems.push_back(std::move(value));
}

namespace {

// Builds our tree from nlohmann's parser events. The event parser keeps its
// own nesting on the heap, so with the depth check here no input can make
// parsing recurse deeply.
class TTreeBuilder {
 public:
  using number_integer_t = nlohmann::json::number_integer_t;
  using number_unsigned_t = nlohmann::json::number_unsigned_t;
  using number_float_t = nlohmann::json::number_float_t;
  using string_t = nlohmann::json::string_t;
  using binary_t = nlohmann::json::binary_t;

  bool null() { return Emit(TJsonValue::Null()); }
  bool boolean(bool v) { return Emit(TJsonValue::Boolean(v)); }
  bool number_integer(number_integer_t v) { return Emit(TJsonValue::Integer(v)); }
  bool number_unsigned(number_unsigned_t v) {
    if (v <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      return Emit(TJsonValue::Integer(static_cast<int64_t>(v)));
    return Emit(TJsonValue::BigInteger(static_cast<double>(v), std::to_string(v)));
  }
  bool number_float(number_float_t v, const string_t& literal) {
    // The parser hands integers beyond 64 bits over as floats; keep their
    // digits so that they can be written back as they came.
    if (literal.find_first_not_of("-0123456789") == std::string::npos)
      return Emit(TJsonValue::BigInteger(v, literal));
    return Emit(TJsonValue::Float(v));
  }
  bool string(string_t& v) { return Emit(TJsonValue::String(std::move(v))); }
  bool binary(binary_t&) { return false; }
  bool start_object(std::size_t) { return Open(true); }
  bool key(string_t& name) {
    FKey = std::move(name);
    return true;
  }
  bool end_object() { return Close(); }
  bool start_array(std::size_t) { return Open(false); }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

  IJsonValue Root() const { return FRoot; }

 private:
  bool Emit(IJsonValue v) {
    if (FOpen.empty()) {
      FRoot = std::move(v);
    } else if (FOpen.back()->IsArray()) {
      FOpen.back()->Add(std::move(v));
    } else {
      FOpen.back()->Put(FKey, std::move(v));  // a repeated name: the last one wins
    }
    return true;
  }
  bool Open(bool object) {
    if (FOpen.size() >= static_cast<size_t>(JSON_MAX_DEPTH)) return false;
    IJsonValue v = object ? TJsonValue::NewObject() : TJsonValue::NewArray();
    Emit(v);
    FOpen.push_back(std::move(v));
    return true;
  }
  bool Close() {
    FOpen.pop_back();
    return true;
  }

  IJsonValue FRoot;
  std::vector<IJsonValue> FOpen;
  std::string FKey;
};

}  // namespace

namespace {

IJsonValue ParseTree(std::string_view text) {
  TTreeBuilder builder;
  bool ok = false;
  try {
    // Not strict: whatever follows the first complete value is ignored.
    ok = nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &builder, nlohmann::json::input_format_t::json,
                                   false);
  } catch (const std::exception&) {
    ok = false;
  }
  return ok ? builder.Root() : nullptr;
}

}  // namespace

IJsonValue JsonParse(std::string_view text) { return ParseTree(text); }

IJsonValue JsonParseOutline(std::string_view text, size_t keepLevels) {
  if (keepLevels == SIZE_MAX) return ParseTree(text);
  // The scan checks the whole text; only the outline it cuts out is built,
  // so the numbers of a long message's inner levels are never converted.
  std::string outline;
  if (!JsonScan(text, keepLevels, &outline)) return nullptr;
  return ParseTree(outline);
}

IJsonValue JsonMember(const IJsonValue& value, std::string_view name) {
  if (!value || !value->IsObject()) return nullptr;
  return value->Member(name);
}

std::string JsonMemberAsText(const IJsonValue& value, std::string_view name) { return JsonAsText(JsonMember(value, name)); }

int64_t JsonMemberAsInteger(const IJsonValue& value, std::string_view name) {
  return JsonAsInteger(JsonMember(value, name));
}

bool TextToInt64(std::string_view text, int64_t* result) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  // Accumulate negatively so that the most negative number fits too.
  int64_t n = 0;
  constexpr int64_t lowest = std::numeric_limits<int64_t>::min();
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    const int digit = c - '0';
    if (n < (lowest + digit) / 10) return false;
    n = n * 10 - digit;
  }
  if (!negative) {
    if (n == lowest) return false;
    n = -n;
  }
  *result = n;
  return true;
}

namespace {

int64_t RoundFloat(double d) {
  if (std::isnan(d)) return 0;
  const double r = std::nearbyint(d);  // the default rounding mode: halves to even
  constexpr double limit = 9223372036854775808.0;  // 2^63
  if (r >= limit) return std::numeric_limits<int64_t>::max();
  if (r < -limit) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(r);
}

int64_t RoundCurrency(int64_t c) {
  int64_t q = c / 10000;
  const int64_t rest = c % 10000;  // carries the sign of c
  const int64_t step = c < 0 ? -1 : 1;
  const int64_t half = rest < 0 ? -rest : rest;
  if (half > 5000 || (half == 5000 && q % 2 != 0)) q += step;
  return q;
}

}  // namespace

int64_t JsonAsInteger(const IJsonValue& value) {
  if (!value) return 0;
  switch (value->Kind()) {
    case jkInteger: return value->AsInteger();
    case jkFloat: return RoundFloat(value->AsFloat());
    case jkCurrency: return RoundCurrency(value->AsCurrency().Value);
    case jkBoolean: return value->AsBoolean() ? 1 : 0;
    case jkString: {
      int64_t n = 0;
      return TextToInt64(value->AsString(), &n) ? n : 0;
    }
    case jkNull:
    case jkArray:
    case jkObject: return 0;
  }
  return 0;
}
