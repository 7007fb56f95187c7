// A checking scanner for JSON text: it walks a value token by token, with
// the same rules as the parser behind JsonParse, but builds nothing and turns
// no number into a double. A long message's outline is cut out of the text
// this way and only that outline is parsed.
//
// The scanning functions take the position and the end of the text and
// return the position after what they read, or nullptr when it is not
// valid; positions stay in registers that way.
#include <bit>
#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <locale.h>
#include <string>

#include "Shared/JSON.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

using TPos = const unsigned char*;

// Bytes that a string may hold as they are: printable ASCII except the
// quotation mark and the backslash (DEL included, as the parser has it).
struct TPlainTable {
  bool Plain[256] = {};
  constexpr TPlainTable() {
    for (int c = 0x20; c < 0x80; ++c) Plain[c] = c != '"' && c != '\\';
  }
};
constexpr TPlainTable PLAIN;

// The largest power of ten below the largest double.
constexpr int64_t MAX_FINITE_DECIMAL_EXPONENT = 308;

bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

bool IsBlank(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

TPos SkipBlanks(TPos p, TPos end) {
  while (p < end && IsBlank(*p)) ++p;
  return p;
}

// Past a run of decimal digits, eight bytes at a time where there are eight.
TPos SkipDigits(TPos p, TPos end) {
  constexpr uint64_t HIGH = 0x8080808080808080ULL;
  while (end - p >= 8) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    // Per byte, with no carry between bytes: the high bit of notDigit is
    // set unless the byte is '0'..'9'.
    const uint64_t low7 = x & ~HIGH;
    const uint64_t above9 = (low7 + 0x4646464646464646ULL) & HIGH;   // low 7 bits >= 0x3A
    const uint64_t from0 = (low7 + 0x5050505050505050ULL) & HIGH;    // low 7 bits >= 0x30
    const uint64_t notDigit = (x & HIGH) | above9 | (~from0 & HIGH);
    if (notDigit != 0) {
      if constexpr (std::endian::native == std::endian::little)
        return p + std::countr_zero(notDigit) / 8;
      else
        return p + std::countl_zero(notDigit) / 8;
    }
    p += 8;
  }
  while (p < end && IsDigit(*p)) ++p;
  return p;
}

int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hex digits as a UTF-16 code unit; -1 when they are not there.
int CodeUnit(TPos p, TPos end) {
  if (end - p < 4) return -1;
  int unit = 0;
  for (int i = 0; i < 4; ++i) {
    const int h = HexValue(p[i]);
    if (h < 0) return -1;
    unit = unit << 4 | h;
  }
  return unit;
}

// p at the backslash.
TPos Escape(TPos p, TPos end) {
  ++p;
  if (p == end) return nullptr;
  switch (*p++) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't': return p;
    case 'u': break;
    default: return nullptr;
  }
  const int first = CodeUnit(p, end);
  if (first < 0) return nullptr;
  p += 4;
  if (first >= 0xDC00 && first <= 0xDFFF) return nullptr;  // a low surrogate alone
  if (first < 0xD800 || first > 0xDBFF) return p;
  // A high surrogate: a low one must follow at once.
  if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return nullptr;
  const int second = CodeUnit(p + 2, end);
  if (second < 0xDC00 || second > 0xDFFF) return nullptr;
  return p + 6;
}

// Well-formed UTF-8 only: no overlong forms, no surrogates, nothing past
// U+10FFFF. The first byte fixes the range of the second; the others are
// continuation bytes. p at the first byte.
TPos Utf8Sequence(TPos p, TPos end) {
  const unsigned char c = *p;
  int more;
  unsigned char low = 0x80, high = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    more = 1;
  } else if (c >= 0xE0 && c <= 0xEF) {
    more = 2;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    more = 3;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return nullptr;
  }
  if (end - p <= more) return nullptr;
  if (p[1] < low || p[1] > high) return nullptr;
  for (int i = 2; i <= more; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return nullptr;
  return p + more + 1;
}

// Past a run of plain string bytes, eight bytes at a time where there are
// eight: a long string (a state vector sent as text) is crossed at memory
// speed.
TPos SkipPlain(TPos p, TPos end) {
  constexpr uint64_t ONES = 0x0101010101010101ULL, HIGH = 0x8080808080808080ULL;
  // Whether any byte of v is zero; exact for "any", which is all that is asked.
  const auto anyZero = [](uint64_t v) { return ((v - ONES) & ~v & HIGH) != 0; };
  while (end - p >= 8) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    // A byte from 0x80 up, one below 0x20, a quotation mark or a backslash
    // ends the run somewhere in these eight.
    if ((x & HIGH) != 0 || ((x - 0x20 * ONES) & ~x & HIGH) != 0 || anyZero(x ^ ('"' * ONES)) ||
        anyZero(x ^ ('\\' * ONES)))
      break;
    p += 8;
  }
  while (p < end && PLAIN.Plain[*p]) ++p;
  return p;
}

// p at the opening quotation mark.
TPos String(TPos p, TPos end) {
  ++p;
  for (;;) {
    p = SkipPlain(p, end);
    if (p == end) return nullptr;
    const unsigned char c = *p;
    if (c == '"') return p + 1;
    if (c == '\\')
      p = Escape(p, end);
    else if (c < 0x20)
      return nullptr;  // a control character must be escaped
    else
      p = Utf8Sequence(p, end);
    if (!p) return nullptr;
  }
}

// Whether a number that may be too large for a double is not: converted as
// the parser converts it, whatever the program's locale.
bool FiniteNumber(TPos start, TPos end) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  const std::string literal(reinterpret_cast<const char*>(start), static_cast<size_t>(end - start));
  return std::isfinite(strtod_l(literal.c_str(), nullptr, cLocale));
}

// p at the minus sign or the first digit.
TPos Number(TPos p, TPos end) {
  const TPos start = p;
  if (*p == '-' && ++p == end) return nullptr;
  if (*p == '0') {
    ++p;  // no digits may follow a leading zero; they would be the next token
  } else if (IsDigit(*p)) {
    p = SkipDigits(p + 1, end);
  } else {
    return nullptr;
  }
  const int64_t integerDigits = p - start - (*start == '-' ? 1 : 0);
  if (p < end && *p == '.') {
    ++p;
    if (p == end || !IsDigit(*p)) return nullptr;
    p = SkipDigits(p + 1, end);
  }
  int64_t exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end || !IsDigit(*p)) return nullptr;
    for (; p < end && IsDigit(*p); ++p)
      if (exponent < 1000000) exponent = exponent * 10 + (*p - '0');
    if (negative) exponent = -exponent;
  }
  // Below 10^308 a number is finite whatever its digits; only one that may
  // be larger is converted, since one that becomes infinite is an error.
  if (integerDigits + exponent <= MAX_FINITE_DECIMAL_EXPONENT || FiniteNumber(start, p)) return p;
  return nullptr;
}

#if defined(__SSE2__)
// The bulk of a long call: arrays of plain numbers. A run of them ("12.5,
// -3,0.25,...") is checked 64 bytes at a time, as bit masks of the digits,
// dots, commas, minus signs and zeros. p at the first byte of an array item,
// at least 64 bytes before the end. Returns the position after the last
// comma of the window when every number up to it is well-formed, otherwise
// p (the items are then read one by one, which also finds the fault).
TPos NumberRun(TPos p) {
  uint64_t digit = 0, dot = 0, comma = 0, minus = 0, zero = 0;
  const auto bits = [](__m128i match, int block) {
    return static_cast<uint64_t>(static_cast<uint16_t>(_mm_movemask_epi8(match))) << (16 * block);
  };
  for (int block = 0; block < 4; ++block) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * block));
    const __m128i offset = _mm_sub_epi8(x, _mm_set1_epi8('0'));
    digit |= bits(_mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(9)), offset), block);
    dot |= bits(_mm_cmpeq_epi8(x, _mm_set1_epi8('.')), block);
    comma |= bits(_mm_cmpeq_epi8(x, _mm_set1_epi8(',')), block);
    minus |= bits(_mm_cmpeq_epi8(x, _mm_set1_epi8('-')), block);
    zero |= bits(_mm_cmpeq_epi8(x, _mm_set1_epi8('0')), block);
  }
  // The window: up to the last comma before any other byte (a blank, a
  // bracket, an exponent...).
  const uint64_t other = ~(digit | dot | comma | minus);
  const uint64_t beforeOther = other != 0 ? (other & (~other + 1)) - 1 : ~uint64_t{0};
  const uint64_t commas = comma & beforeOther;
  if (commas == 0) return p;
  const int last = 63 - std::countl_zero(commas);
  const uint64_t window = last == 63 ? ~uint64_t{0} : (uint64_t{1} << (last + 1)) - 1;
  // Each number: an optional minus sign, digits without a leading zero,
  // optionally a dot and digits, then its comma.
  const uint64_t starts = ((comma << 1) | 1) & window;
  if ((starts & ~(digit | minus)) != 0) return p;                  // empty, or a stray character
  if ((minus & window & ~starts) != 0) return p;                   // a minus sign inside a number
  if (((minus << 1) & window & ~digit) != 0) return p;             // a minus sign without digits
  const uint64_t firstDigits = ((starts & digit) | (minus << 1)) & window;
  if ((((firstDigits & zero) << 1) & digit & window) != 0) return p;  // a leading zero
  const uint64_t dots = dot & window;
  if (((dots << 1) & ~digit) != 0 || (dots & ~(digit << 1)) != 0) return p;  // a dot needs digits around it
  // The digits after a dot end at the number's comma: a carry from the first
  // of them runs through them to the byte that follows.
  const uint64_t fractionEnds = ((dots << 1) + digit) & ~digit;
  if ((fractionEnds & ~comma) != 0) return p;
  return p + last + 1;
}
#endif

TPos Literal(TPos p, TPos end, const char* word, size_t length) {
  if (static_cast<size_t>(end - p) < length || std::memcmp(p, word, length) != 0) return nullptr;
  return p + length;
}

// p at a member name: past the name and its colon.
TPos MemberName(TPos p, TPos end) {
  if (p == end || *p != '"') return nullptr;
  p = String(p, end);
  if (!p) return nullptr;
  p = SkipBlanks(p, end);
  if (p == end || *p != ':') return nullptr;
  return p + 1;
}

// One value from p on (blanks before it skipped): the position after it,
// or nullptr when there is none or it is not valid. With outline given, the
// value's outline is appended to it (see JsonScan). maxDepth counts the
// containers open around the value too.
TPos ScanValue(TPos p, TPos end, size_t keepLevels, std::string* outline, size_t maxDepth = JSON_MAX_DEPTH) {
  TPos copiedTo = p;  // the outline holds the text before this
  const auto copyUpTo = [&](TPos to) {
    if (outline) outline->append(reinterpret_cast<const char*>(copiedTo), static_cast<size_t>(to - copiedTo));
  };
  // The open containers, innermost last: true for an object.
  bool open[JSON_MAX_DEPTH];
  size_t depth = 0;
  for (;;) {
    // A value.
    p = SkipBlanks(p, end);
    if (p == end) break;
    const unsigned char c = *p;
    if (c == '{' || c == '[') {
      if (depth >= maxDepth) break;
      // A container this deep is kept in the outline, empty.
      if (depth == keepLevels) copyUpTo(p + 1);
      const bool object = c == '{';
      open[depth++] = object;
      p = SkipBlanks(p + 1, end);
      if (p < end && *p == (object ? '}' : ']')) {
        // Empty: closed below, as after a value.
      } else {
        if (object && !(p = MemberName(p, end))) break;
        continue;  // the first item or member value
      }
    } else {
      if (c == '"')
        p = String(p, end);
      else if (c == '-' || IsDigit(c)) {
#if defined(__SSE2__)
        if (depth > 0 && !open[depth - 1] && end - p >= 64) {
          const TPos after = NumberRun(p);
          if (after != p) {
            p = after;
            continue;  // the next item
          }
        }
#endif
        p = Number(p, end);
      }
      else if (c == 't')
        p = Literal(p, end, "true", 4);
      else if (c == 'f')
        p = Literal(p, end, "false", 5);
      else if (c == 'n')
        p = Literal(p, end, "null", 4);
      else
        break;
      if (!p) break;
      if (depth == 0) {
        copyUpTo(p);
        return p;
      }
      p = SkipBlanks(p, end);
      if (p == end) break;
    }
    // After a value (or at the end of an empty container): the next one in
    // its container, or the container's end; after the outermost value the
    // text is not looked at further.
    for (;;) {
      const bool object = open[depth - 1];
      if (*p == ',') {
        ++p;
        if (object && !(p = MemberName(SkipBlanks(p, end), end))) goto fail;
        break;
      }
      if (*p != (object ? '}' : ']')) goto fail;
      --depth;
      if (depth == keepLevels) copiedTo = p;  // from the closing bracket on
      ++p;
      if (depth == 0) {
        copyUpTo(p);
        return p;
      }
      p = SkipBlanks(p, end);
      if (p == end) goto fail;
    }
  }
fail:
  return nullptr;
}

// Past a byte order mark at p; nullptr when the first byte only starts one.
TPos SkipByteOrderMark(TPos p, TPos end) {
  if (p < end && *p == 0xEF) {
    if (end - p < 3 || p[1] != 0xBB || p[2] != 0xBF) return nullptr;
    p += 3;
  }
  return p;
}

}  // namespace

bool JsonScan(std::string_view text, size_t keepLevels, std::string* outline) {
  const TPos begin = reinterpret_cast<TPos>(text.data());
  const TPos end = begin + text.size();
  if (outline) outline->clear();
  const TPos p = SkipByteOrderMark(begin, end);
  if (p && ScanValue(p, end, keepLevels, outline)) return true;
  if (outline) outline->clear();
  return false;
}

namespace {

TJsonShape ScanMember(std::string_view text, std::string_view name, IJsonValue& member) {
  const TPos begin = reinterpret_cast<TPos>(text.data());
  const TPos end = begin + text.size();
  TPos p = SkipByteOrderMark(begin, end);
  if (!p) return TJsonShape::Invalid;
  p = SkipBlanks(p, end);
  if (p == end || *p != '{') return ScanValue(p, end, SIZE_MAX, nullptr) ? TJsonShape::NotObject : TJsonShape::Invalid;
  p = SkipBlanks(p + 1, end);
  if (p < end && *p == '}') return TJsonShape::Object;
  for (;;) {
    // A member: its name, then its value, each checked as the scanner
    // checks any value; only the value of the member asked for is built
    // (the last one of that name, as the parser keeps it).
    const TPos nameStart = p;
    p = MemberName(p, end);
    if (!p) return TJsonShape::Invalid;
    const TPos valueStart = SkipBlanks(p, end);
    p = ScanValue(valueStart, end, SIZE_MAX, nullptr, JSON_MAX_DEPTH - 1);
    if (!p) return TJsonShape::Invalid;
    {
      const std::string_view token(reinterpret_cast<const char*>(nameStart),
                                   static_cast<size_t>(valueStart - nameStart));
      const size_t close = token.rfind('"');
      const std::string_view raw = token.substr(1, close - 1);
      // A name with escapes is compared as it reads, not as it is written.
      const bool same = raw.find('\\') == std::string_view::npos
                            ? raw == name
                            : JsonAsText(JsonParse(token.substr(0, close + 1))) == name;
      if (same)
        member = JsonParse(std::string_view(reinterpret_cast<const char*>(valueStart),
                                            static_cast<size_t>(p - valueStart)));
    }
    p = SkipBlanks(p, end);
    if (p == end) return TJsonShape::Invalid;
    if (*p == '}') return TJsonShape::Object;
    if (*p != ',') return TJsonShape::Invalid;
    p = SkipBlanks(p + 1, end);
  }
}

}  // namespace

TJsonShape JsonScanMember(std::string_view text, std::string_view name, IJsonValue& member) {
  member = nullptr;
  const TJsonShape shape = ScanMember(text, name, member);
  // Nothing found in text that is not JSON counts.
  if (shape == TJsonShape::Invalid) member = nullptr;
  return shape;
}
