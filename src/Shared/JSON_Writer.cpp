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
#include "platform/Utf8.h"

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

// A code point as its one or two UTF-16 code units.
template <class F>
void Utf16Units(char32_t cp, F&& unit) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    unit(static_cast<char16_t>(0xD800 + (cp >> 10)));
    unit(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  } else {
    unit(static_cast<char16_t>(cp));
  }
}

template <class F>
void ForEachUtf16Unit(std::string_view text, F&& unit) {
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    i += DecodeUtf8(text, i, cp);
    Utf16Units(cp, unit);
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

namespace {

// A float written from its significant digits (no leading or trailing
// zero, at most 15) and the power of ten of the first: plain between 1E-4
// and 1E15, else as d.dddE±x.
void AppendFloatDigits(std::string& out, bool negative, std::string_view digits, int exponent) {
  if (negative) out += '-';
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
    char buf[8];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, exponent).ptr);
  }
}

void AppendFloat(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (value == 0) {
    out += '0';  // negative zero too
    return;
  }
  // d.dddddddddddddde±x: 15 significant digits, correctly rounded, and
  // independent of the locale's decimal separator.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 14);
  const std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  const size_t ePos = sci.find('e');
  std::string_view mantissa = sci.substr(0, ePos);
  const bool negative = mantissa.front() == '-';
  if (negative) mantissa.remove_prefix(1);
  char digits[20];
  size_t n = 0;
  for (char c : mantissa)
    if (c != '.') digits[n++] = c;
  while (n > 1 && digits[n - 1] == '0') --n;
  int exponent = 0;
  std::from_chars(sci.data() + ePos + 1 + (sci[ePos + 1] == '+' ? 1 : 0), sci.data() + sci.size(), exponent);
  AppendFloatDigits(out, negative, std::string_view(digits, n), exponent);
}

}  // namespace

std::string JsonFloatText(double value) {
  std::string out;
  AppendFloat(out, value);
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

// A name's key from the cache, or made into uncached (which must outlive
// its use) once the cache is full.
const TNameKey& NameKeyOf(const std::string& name, std::deque<TNameKey>& uncached) {
  const TNameKey* key = CachedNameKey(name);
  return key ? *key : uncached.emplace_back(MakeNameKey(name));
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
      case jkFloat:
        if (v.IntegerLiteral().empty()) AppendFloat(FOut, v.AsFloat());
        else FOut += v.IntegerLiteral();
        break;
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
  // One UTF-16 code unit of a string's content, escaped as strings are.
  void Unit(char16_t c) { EscapedUnit(c); }

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
    for (const auto& [name, value] : members) keys[n++] = {&NameKeyOf(name, uncached), &name, value.get()};
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

// Writes the canonical text of one value straight from its text: what
// JsonSerialize writes for the tree JsonParse builds, without the tree. The
// text has been checked by the scanner (with the parser's rules) first, so
// this reads it without checking again. Members are written as they come,
// each as one stretch of the output; an object whose members did not come
// in the written order (or that repeats a name: the last one counts) has
// its stretches put in order when it closes. With a path, only the value at
// that path of members is written (the last one of each name, as the tree
// keeps it).
//
// Numbers: an integer is written as it stands (the tree keeps every
// integer's digits), but "-0" as 0. A float of at most 15 significant
// digits, well inside the range of doubles, is the double nearest to it
// written back to 15 digits, which gives those very digits: it is written
// from its digits without a conversion. Any other float is converted.
class TCanonicalWriter {
 public:
  explicit TCanonicalWriter(std::span<const std::string_view> path) : FPath(path) {}

  // The value text starts with (after a byte-order mark and blanks);
  // text must be valid.
  void Write(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    if (end - p >= 3 && std::string_view(p, 3) == "\xEF\xBB\xBF") p += 3;
    bool expectName = false;
    do {
      while (IsBlank(*p)) ++p;
      switch (*p) {
        case '{':
          Open(true);
          expectName = true;
          ++p;
          break;
        case '[':
          Open(false);
          ++p;
          break;
        case '}':
        case ']':
          Close();
          expectName = false;
          ++p;
          break;
        case ',':
          expectName = FOpen.back().Object;
          ++p;
          break;
        case ':':
          ++p;
          break;
        case '"': {
          const char* const close = StringEnd(p);
          const std::string_view token(p, static_cast<size_t>(close - p));
          if (expectName) {
            FKey.clear();
            Decode(token, FKey);
            expectName = false;
          } else {
            Scalar([&] { String(token); });
          }
          p = close;
          break;
        }
        case 't':
          Scalar([&] { Out() += "true"; });
          p += 4;
          break;
        case 'f':
          Scalar([&] { Out() += "false"; });
          p += 5;
          break;
        case 'n':
          Scalar([&] { Out() += "null"; });
          p += 4;
          break;
        default: {
          bool isFloat = false;
          const char* const q = NumberEnd(p, end, isFloat);
          const std::string_view token(p, static_cast<size_t>(q - p));
          Scalar([&] { Number(token, isFloat); });
          p = q;
          break;
        }
      }
    } while (!FOpen.empty());
  }

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
    bool Written = false;     // inside the value being written
    size_t Depth = SIZE_MAX;  // the path's level its members are matched at
    size_t Start = 0;         // in the output, just after the opening bracket
    size_t Items = 0;
    std::vector<TMember> Members;
  };

  static bool IsBlank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }

  std::string& Out() { return FWriter.Out(); }

  // Past the number at p, by the grammar: a top-level value may be followed
  // by anything ("0123" is 0 and the rest).
  // isFloat: it has a fraction or an exponent.
  static const char* NumberEnd(const char* p, const char* end, bool& isFloat) {
    if (*p == '-') ++p;
    if (*p == '0') ++p;
    else while (p < end && IsDigit(*p)) ++p;
    if (end - p >= 2 && *p == '.' && IsDigit(p[1])) {
      isFloat = true;
      ++p;
      while (p < end && IsDigit(*p)) ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
      const char* q = p + 1;
      if (q < end && (*q == '+' || *q == '-')) ++q;
      if (q < end && IsDigit(*q)) {
        isFloat = true;
        while (q < end && IsDigit(*q)) ++q;
        p = q;
      }
    }
    return p;
  }

  // Past the closing quotation mark of the string at p.
  static const char* StringEnd(const char* p) {
    for (++p;; ++p) {
      if (*p == '"') return p + 1;
      if (*p == '\\') ++p;
    }
  }

  static int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return c - 'A' + 10;
  }

  // Each UTF-16 code unit of a string token's content (quotes included in
  // token), in order.
  template <class F>
  static void ForEachUnit(std::string_view token, F&& unit) {
    const char* p = token.data() + 1;
    const char* const end = token.data() + token.size() - 1;
    while (p < end) {
      const auto c = static_cast<unsigned char>(*p);
      if (c == '\\') {
        const char e = p[1];
        p += 2;
        switch (e) {
          case 'b': unit(u'\b'); break;
          case 'f': unit(u'\f'); break;
          case 'n': unit(u'\n'); break;
          case 'r': unit(u'\r'); break;
          case 't': unit(u'\t'); break;
          case 'u':
            unit(static_cast<char16_t>((Hex(p[0]) << 12) | (Hex(p[1]) << 8) | (Hex(p[2]) << 4) | Hex(p[3])));
            p += 4;
            break;
          default: unit(static_cast<char16_t>(e)); break;  // " \ /
        }
      } else if (c < 0x80) {
        unit(static_cast<char16_t>(c));
        ++p;
      } else {
        char32_t cp;
        p += DecodeUtf8(std::string_view(p, static_cast<size_t>(end - p)), 0, cp);
        Utf16Units(cp, unit);
      }
    }
  }

  // A string's content as UTF-8 (a member name).
  static void Decode(std::string_view token, std::string& out) {
    char16_t high = 0;
    ForEachUnit(token, [&](char16_t u) {
      char32_t cp = u;
      if (u >= 0xD800 && u <= 0xDBFF) {
        high = u;
        return;
      }
      if (u >= 0xDC00 && u <= 0xDFFF && high) cp = 0x10000 + ((char32_t(high) - 0xD800) << 10) + (u - 0xDC00);
      high = 0;
      Platform::AppendUtf8(out, cp);
    });
  }

  // A string value: printable ASCII that needs no escape as it stands,
  // the rest unit by unit.
  void String(std::string_view token) {
    bool plain = true;
    for (size_t i = 1; i + 1 < token.size() && plain; ++i) {
      const char c = token[i];
      plain = c >= 0x20 && c < 0x7F && c != '\\' && c != '/';
    }
    if (plain) {
      Out() += token;
      return;
    }
    Out() += '"';
    ForEachUnit(token, [this](char16_t u) { FWriter.Unit(u); });
    Out() += '"';
  }

  void Number(std::string_view token, bool isFloat) {
    if (!isFloat) {
      if (token == "-0") Out() += '0';
      else Out() += token;
      return;
    }
    if (ShortFloat(token)) return;
    double value = 0;
    const auto res = std::from_chars(token.data(), token.data() + token.size(), value);
    if (res.ec == std::errc::result_out_of_range) {
      // Beyond the doubles, or below them: as the parser converts it.
      value = nlohmann::json::parse(token).get<double>();
    }
    AppendFloat(Out(), value);
  }

  // A float of at most 15 significant digits and a moderate power of ten,
  // written from its digits; false for any other.
  bool ShortFloat(std::string_view token) {
    constexpr int MAX_DIGITS = 15, MAX_EXPONENT = 290;
    size_t i = 0;
    const bool negative = token[0] == '-';
    if (negative) ++i;
    char digits[MAX_DIGITS];
    int count = 0, integerDigits = 0, first = -1, position = 0, zeros = 0;
    bool inFraction = false;
    for (; i < token.size() && token[i] != 'e' && token[i] != 'E'; ++i) {
      const char c = token[i];
      if (c == '.') {
        inFraction = true;
        continue;
      }
      if (!inFraction) ++integerDigits;
      if (first < 0 && c == '0') {
        ++position;
        continue;
      }
      if (first < 0) first = position;
      ++position;
      // Zeros are held back until a digit follows them: trailing ones go.
      if (c == '0') {
        ++zeros;
        continue;
      }
      if (count + zeros + 1 > MAX_DIGITS) return false;
      for (; zeros > 0; --zeros) digits[count++] = '0';
      digits[count++] = c;
    }
    int64_t exponent = 0;
    if (i < token.size()) {
      ++i;
      bool negativeExponent = false;
      if (token[i] == '+' || token[i] == '-') negativeExponent = token[i++] == '-';
      for (; i < token.size(); ++i) {
        exponent = exponent * 10 + (token[i] - '0');
        if (exponent > 100000) return false;
      }
      if (negativeExponent) exponent = -exponent;
    }
    if (count == 0) {
      Out() += '0';  // zero, however written
      return true;
    }
    exponent += integerDigits - 1 - first;
    if (exponent < -MAX_EXPONENT || exponent > MAX_EXPONENT) return false;
    AppendFloatDigits(Out(), negative, std::string_view(digits, static_cast<size_t>(count)), static_cast<int>(exponent));
    return true;
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
  void Scalar(W write) {
    const TPlace place = Place();
    if (place == TPlace::Written) {
      BeginWritten();
    } else if (place == TPlace::Target) {
      BeginTarget();
    } else {
      // Off the path: nothing to write. A member on the path that is not a
      // container does not lead on; as the last of its name it hides an
      // earlier one that did.
      if (place == TPlace::Path) FFound = false;
      return;
    }
    write();
    EndWritten();
  }

  void Open(bool object) {
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
  }

  void Close() {
    TOpen open = std::move(FOpen.back());
    FOpen.pop_back();
    if (!open.Written) return;
    if (open.Object) Order(open);
    Out() += open.Object ? '}' : ']';
    EndWritten();
  }

  // Puts an object's member stretches in the written order, keeping the
  // last of each name.
  void Order(TOpen& open) {
    std::vector<TMember>& members = open.Members;
    std::deque<TNameKey> uncached;  // names past the cache's bound
    std::vector<const TNameKey*> keys;
    keys.reserve(members.size());
    bool ordered = true;
    for (const TMember& m : members) {
      keys.push_back(&NameKeyOf(m.Name, uncached));
      if (keys.size() > 1 && !NameBefore(*keys[keys.size() - 2], *keys.back())) ordered = false;
    }
    if (ordered) return;
    std::vector<size_t> order(members.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return NameBefore(*keys[a], *keys[b]); });
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
  if (!JsonScan(text)) return std::nullopt;
  TCanonicalWriter writer(path);
  writer.Write(text);
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
