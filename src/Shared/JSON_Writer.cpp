// The one text layout the program writes: compact, members in name-hash
// order, floats to 15 significant digits, and every character outside
// printable ASCII escaped per UTF-16 code unit.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "Shared/JSON.h"

namespace {

// Decodes the character at text[i] into cp and returns its length in bytes.
// A byte that does not start a valid sequence stands for itself, as in an
// 8-bit code page.
size_t DecodeUtf8(std::string_view text, size_t i, char32_t& cp) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b = byte(i);
  cp = b;
  if (b < 0x80) return 1;
  size_t len = 0;
  char32_t value = 0, min = 0;
  if ((b & 0xE0) == 0xC0) len = 2, value = b & 0x1F, min = 0x80;
  else if ((b & 0xF0) == 0xE0) len = 3, value = b & 0x0F, min = 0x800;
  else if ((b & 0xF8) == 0xF0) len = 4, value = b & 0x07, min = 0x10000;
  if (len == 0 || i + len > text.size()) return 1;
  for (size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 1;
    value = (value << 6) | (byte(i + k) & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 1;
  cp = value;
  return len;
}

template <class F>
void ForEachUtf16Unit(std::string_view text, F&& unit) {
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    i += DecodeUtf8(text, i, cp);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      unit(static_cast<char16_t>(0xD800 + (cp >> 10)));
      unit(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      unit(static_cast<char16_t>(cp));
    }
  }
}

}  // namespace

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  ForEachUtf16Unit(text, [&](char16_t c) { out.push_back(c); });
  return out;
}

namespace {
uint32_t HashUnits(std::u16string_view units) {
  uint32_t hash = 0;
  for (char16_t c : units) hash = hash * 129u + c + 0x9E370001u;
  return hash;
}
}  // namespace

uint32_t JsonNameHash(std::string_view name) { return HashUnits(Utf8ToUtf16(name)); }

std::string JsonFloatText(double value) {
  if (!std::isfinite(value)) return "null";
  if (value == 0) return "0";  // negative zero too
  // d.dddddddddddddde±x: 15 significant digits, correctly rounded, and
  // independent of the locale's decimal separator.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 14);
  const std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  const size_t ePos = sci.find('e');
  std::string_view mantissa = sci.substr(0, ePos);
  const bool negative = mantissa.front() == '-';
  if (negative) mantissa.remove_prefix(1);
  std::string digits;
  for (char c : mantissa)
    if (c != '.') digits.push_back(c);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const int exponent = std::atoi(std::string(sci.substr(ePos + 1)).c_str());

  std::string out = negative ? "-" : "";
  if (exponent >= -4 && exponent <= 14) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out += digits;
    } else {
      const size_t whole = static_cast<size_t>(exponent) + 1;
      if (digits.size() <= whole) {
        out += digits;
        out.append(whole - digits.size(), '0');
      } else {
        out += digits.substr(0, whole);
        out += '.';
        out += digits.substr(whole);
      }
    }
  } else {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'E';
    out += std::to_string(exponent);
  }
  return out;
}

std::string JsonCurrencyText(TCurrency value) { return JsonFloatText(static_cast<double>(value.Value) / 10000.0); }

namespace {

const char HEX[] = "0123456789abcdef";

void AppendUnicodeEscape(std::string& out, char16_t c) {
  out += "\\u";
  out += HEX[(c >> 12) & 0xF];
  out += HEX[(c >> 8) & 0xF];
  out += HEX[(c >> 4) & 0xF];
  out += HEX[c & 0xF];
}

// A member name's place in the written order: descending hash, then the
// UTF-16 code units.
struct TNameKey {
  uint32_t Hash;
  std::u16string Units;
};

TNameKey MakeNameKey(std::string_view name) {
  std::u16string units = Utf8ToUtf16(name);
  const uint32_t hash = HashUnits(units);
  return {hash, std::move(units)};
}

bool NameBefore(const TNameKey& a, const TNameKey& b) {
  if (a.Hash != b.Hash) return a.Hash > b.Hash;
  return a.Units < b.Units;
}

// Every name's key is made once per thread: the same few names come back
// in every call and every reply. Bounded, so that input with endless
// distinct names cannot grow it without end; names past the bound get
// their key made each time.
constexpr size_t MAX_CACHED_NAMES = 4096;

const TNameKey* CachedNameKey(const std::string& name) {
  thread_local std::unordered_map<std::string, TNameKey> cache;
  if (const auto it = cache.find(name); it != cache.end()) return &it->second;
  if (cache.size() >= MAX_CACHED_NAMES) return nullptr;
  return &cache.emplace(name, MakeNameKey(name)).first->second;
}

class TWriter {
 public:
  explicit TWriter(bool escape) : FEscape(escape) {}

  void Value(const TJsonValue& v, int depth) {
    if (depth > JSON_MAX_WRITE_DEPTH) throw EJsonError("JSON value nested too deeply to write");
    switch (v.Kind()) {
      case jkNull: FOut += "null"; break;
      case jkBoolean: FOut += v.AsBoolean() ? "true" : "false"; break;
      case jkInteger: FOut += std::to_string(v.AsInteger()); break;
      case jkFloat: FOut += v.IntegerLiteral().empty() ? JsonFloatText(v.AsFloat()) : v.IntegerLiteral(); break;
      case jkCurrency: FOut += JsonCurrencyText(v.AsCurrency()); break;
      case jkString: String(v.AsString()); break;
      case jkArray: {
        FOut += '[';
        bool first = true;
        for (const IJsonValue& item : v.Items()) {
          if (!first) FOut += ',';
          first = false;
          Value(*item, depth + 1);
        }
        FOut += ']';
        break;
      }
      case jkObject: Object(v, depth); break;
    }
  }

  std::string Take() { return std::move(FOut); }
  std::string& Out() { return FOut; }

  void String(std::string_view text) {
    FOut += '"';
    if (FEscape) {
      ForEachUtf16Unit(text, [this](char16_t c) { EscapedUnit(c); });
    } else {
      // The text form: readable, with just enough escaped to stay parseable.
      for (char c : text) {
        if (c == '"') FOut += "\\\"";
        else if (c == '\\') FOut += "\\\\";
        else if (c == '\0') FOut += "\\u0000";
        else FOut += c;
      }
    }
    FOut += '"';
  }

 private:
  struct TMemberKey {
    const TNameKey* Key;
    const std::string* Name;
    const TJsonValue* Value;
  };

  void Object(const TJsonValue& v, int depth) {
    const TJsonValue::TMembers& members = v.Members();
    // Up to a few members (every call and reply) the keys stay on the stack.
    constexpr size_t ON_STACK = 16;
    TMemberKey local[ON_STACK];
    std::vector<TMemberKey> spilled;
    TMemberKey* keys = local;
    if (members.size() > ON_STACK) {
      spilled.resize(members.size());
      keys = spilled.data();
    }
    std::deque<TNameKey> uncached;  // names past the cache's bound
    size_t n = 0;
    for (const auto& [name, value] : members) {
      const TNameKey* key = CachedNameKey(name);
      if (!key) key = &uncached.emplace_back(MakeNameKey(name));
      keys[n++] = {key, &name, value.get()};
    }
    std::sort(keys, keys + n, [](const TMemberKey& a, const TMemberKey& b) { return NameBefore(*a.Key, *b.Key); });
    FOut += '{';
    for (size_t i = 0; i < n; ++i) {
      if (i > 0) FOut += ',';
      String(*keys[i].Name);
      FOut += ':';
      Value(*keys[i].Value, depth + 1);
    }
    FOut += '}';
  }

  void EscapedUnit(char16_t c) {
    switch (c) {
      case 8: FOut += "\\b"; return;
      case 9: FOut += "\\t"; return;
      case 10: FOut += "\\n"; return;
      case 12: FOut += "\\f"; return;
      case 13: FOut += "\\r"; return;
      case '"': FOut += "\\\""; return;
      case '\\': FOut += "\\\\"; return;
      case '/': FOut += "\\/"; return;
      default: break;
    }
    if (c < 32 || c >= 128) AppendUnicodeEscape(FOut, c);
    else FOut += static_cast<char>(c);
  }

 private:
  bool FEscape;
  std::string FOut;
};

// Writes the canonical text of one value straight from the parser's
// events: what JsonSerialize writes for the tree JsonParse builds, without
// the tree. Members are written as they come, each as one stretch of the
// output; an object whose members did not come in the written order (or
// that repeats a name: the last one counts) has its stretches put in order
// when it closes. With a path, only the value at that path of members is
// written (the last one of each name, as the tree keeps it).
class TCanonicalWriter {
 public:
  using number_integer_t = nlohmann::json::number_integer_t;
  using number_unsigned_t = nlohmann::json::number_unsigned_t;
  using number_float_t = nlohmann::json::number_float_t;
  using string_t = nlohmann::json::string_t;
  using binary_t = nlohmann::json::binary_t;

  explicit TCanonicalWriter(std::span<const std::string_view> path) : FPath(path) {}

  bool null() { return Scalar([&] { Out() += "null"; }); }
  bool boolean(bool v) { return Scalar([&] { Out() += v ? "true" : "false"; }); }
  bool number_integer(number_integer_t v) { return Scalar([&] { AppendInteger(v); }); }
  bool number_unsigned(number_unsigned_t v) { return Scalar([&] { AppendInteger(v); }); }
  bool number_float(number_float_t v, const string_t& literal) {
    // As the tree keeps them: integers beyond 64 bits by their digits.
    return Scalar([&] {
      if (literal.find_first_not_of("-0123456789") == std::string::npos) Out() += literal;
      else Out() += JsonFloatText(v);
    });
  }
  bool string(string_t& v) { return Scalar([&] { FWriter.String(v); }); }
  bool binary(binary_t&) { return false; }
  bool key(string_t& name) {
    FKey = std::move(name);
    return true;
  }
  bool start_object(std::size_t) { return Open(true); }
  bool start_array(std::size_t) { return Open(false); }
  bool end_object() { return Close(); }
  bool end_array() { return Close(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

  // The text of the value at the path, if it was there.
  std::optional<std::string> Take() {
    if (!FFound) return std::nullopt;
    return FWriter.Take();
  }

 private:
  struct TMember {
    std::string Name;
    size_t Start, End;  // the stretch "name":value in the output
  };
  struct TOpen {
    bool Object = false;
    bool Written = false;   // inside the value being written
    size_t Depth = SIZE_MAX;  // the path's level its members are matched at
    size_t Start = 0;       // in the output, just after the opening bracket
    size_t Items = 0;
    std::vector<TMember> Members;
  };

  std::string& Out() { return FWriter.Out(); }

  template <class N>
  void AppendInteger(N v) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, v);
    Out().append(buf, res.ptr);
  }

  // Where the next value goes: into the value being written, onto the path
  // (a member the path names, at its level), or nowhere.
  enum class TPlace { Written, Path, Target, Elsewhere };
  TPlace Place() const {
    if (FOpen.empty()) return FPath.empty() ? TPlace::Target : TPlace::Path;
    const TOpen& parent = FOpen.back();
    if (parent.Written) return TPlace::Written;
    if (!parent.Object || parent.Depth == SIZE_MAX || FPath[parent.Depth] != FKey) return TPlace::Elsewhere;
    return parent.Depth + 1 == FPath.size() ? TPlace::Target : TPlace::Path;
  }

  // Starts a value inside the one being written: its separator and name.
  void BeginWritten() {
    TOpen& parent = FOpen.back();
    if (parent.Items++ > 0) Out() += ',';
    if (parent.Object) {
      parent.Members.push_back({FKey, Out().size(), 0});
      FWriter.String(FKey);
      Out() += ':';
    }
  }
  void EndWritten() {
    if (FOpen.empty()) return;
    TOpen& parent = FOpen.back();
    if (parent.Written && parent.Object) parent.Members.back().End = Out().size();
  }
  // A new value at the path's end replaces what an earlier one wrote.
  void BeginTarget() {
    Out().clear();
    FFound = true;
  }

  template <class W>
  bool Scalar(W write) {
    const TPlace place = Place();
    if (place == TPlace::Written) BeginWritten();
    else if (place == TPlace::Target) BeginTarget();
    else {
      // Off the path: nothing to write. A member on the path that is not a
      // container does not lead on; as the last of its name it hides an
      // earlier one that did.
      if (place == TPlace::Path) FFound = false;
      return true;
    }
    write();
    EndWritten();
    return true;
  }

  bool Open(bool object) {
    if (FOpen.size() >= static_cast<size_t>(JSON_MAX_DEPTH)) return false;
    const TPlace place = Place();
    TOpen open;
    open.Object = object;
    if (place == TPlace::Written || place == TPlace::Target) {
      if (place == TPlace::Written) BeginWritten();
      else BeginTarget();
      Out() += object ? '{' : '[';
      open.Written = true;
      open.Start = Out().size();
    } else if (place == TPlace::Path) {
      // The last member of the name counts: what an earlier one held at
      // the path's end is forgotten.
      FFound = false;
      if (object) open.Depth = FOpen.empty() ? 0 : FOpen.back().Depth + 1;
    }
    FOpen.push_back(std::move(open));
    return true;
  }

  bool Close() {
    TOpen open = std::move(FOpen.back());
    FOpen.pop_back();
    if (!open.Written) return true;
    if (open.Object) Order(open);
    Out() += open.Object ? '}' : ']';
    EndWritten();
    return true;
  }

  // Puts an object's member stretches in the written order, keeping the
  // last of each name.
  void Order(TOpen& open) {
    std::vector<TMember>& members = open.Members;
    const auto key = [](const TMember& m) {
      const TNameKey* cached = CachedNameKey(m.Name);
      return cached ? *cached : MakeNameKey(m.Name);
    };
    std::vector<TNameKey> keys;
    keys.reserve(members.size());
    bool ordered = true;
    for (const TMember& m : members) {
      keys.push_back(key(m));
      if (keys.size() > 1 && !NameBefore(keys[keys.size() - 2], keys.back())) ordered = false;
    }
    if (ordered) return;
    std::vector<size_t> order(members.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return NameBefore(keys[a], keys[b]); });
    const std::string written = Out().substr(open.Start);
    Out().resize(open.Start);
    bool first = true;
    for (size_t i = 0; i < order.size(); ++i) {
      // Of the members of one name (next to each other now, in the order
      // they came), the last.
      if (i + 1 < order.size() && members[order[i + 1]].Name == members[order[i]].Name) continue;
      const TMember& m = members[order[i]];
      if (!first) Out() += ',';
      first = false;
      Out().append(written, m.Start - open.Start, m.End - m.Start);
    }
  }

  std::span<const std::string_view> FPath;
  TWriter FWriter{true};
  std::vector<TOpen> FOpen;
  std::string FKey;
  bool FFound = false;
};

}  // namespace

std::optional<std::string> JsonCanonicalText(std::string_view text, std::span<const std::string_view> path) {
  TCanonicalWriter writer(path);
  bool ok = false;
  try {
    // As JsonParse reads it: whatever follows the first complete value is
    // ignored.
    ok = nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &writer, nlohmann::json::input_format_t::json,
                                   false);
  } catch (const std::exception&) {
    ok = false;
  }
  if (!ok) return std::nullopt;
  return writer.Take();
}

bool JsonNameBefore(std::string_view a, std::string_view b) { return NameBefore(MakeNameKey(a), MakeNameKey(b)); }

std::string JsonSerialize(const IJsonValue& value) {
  if (!value) return "null";
  TWriter w(true);
  w.Value(*value, 0);
  return w.Take();
}

std::string JsonAsText(const IJsonValue& value) {
  if (!value) return "";
  switch (value->Kind()) {
    case jkNull: return "";
    case jkString: return value->AsString();
    default: {
      TWriter w(false);
      w.Value(*value, 0);
      return w.Take();
    }
  }
}
