#include "platform/ProfileText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "platform/Files.h"
#include "platform/ProfileFile.h"
#include "platform/Utf8.h"

namespace Platform::ProfileDetail {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

}  // namespace

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

// ---- Parsing ---------------------------------------------------------------

bool HasLineBreak(const std::string& raw) { return !raw.empty() && (raw.back() == '\n' || raw.back() == '\r'); }

std::string_view LineText(const std::string& raw) {
  std::string_view t = raw;
  if (!t.empty() && t.back() == '\n') t.remove_suffix(1);
  if (!t.empty() && t.back() == '\r') t.remove_suffix(1);
  return t;
}

std::string_view LineBreakOf(const std::string& raw) {
  return std::string_view(raw).substr(LineText(raw).size());
}

void Classify(TLine& line) {
  std::string_view t = TrimBlanks(LineText(line.Raw));
  line.Kind = lkOther;
  line.Name.clear();
  line.Value.clear();
  if (t.empty()) return;
  if (t.front() == '[') {
    t.remove_prefix(1);
    const size_t close = t.find(']');
    line.Kind = lkSection;
    line.Name = TrimBlanks(t.substr(0, close));
    return;
  }
  if (t.front() == ';' || t.front() == '#') return;  // comment
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return;
  const std::string_view name = TrimBlanks(t.substr(0, eq));
  if (name.empty()) return;
  line.Kind = lkKey;
  line.Name = name;
  line.Value = TrimBlanks(t.substr(eq + 1));
}

namespace {

constexpr const char* NOT_TEXT = "it holds bytes that are not text";
constexpr const char* BAD_UTF16 = "it is UTF-16 text that does not decode";
constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

std::string LowerName(std::string_view name) {
  std::string lower(name);
  for (char& c : lower) c = LowerAscii(c);
  return lower;
}

// UTF-16 bytes (after the byte-order mark) as UTF-8; false when they are
// not UTF-16 (an odd count, a lone surrogate), which decode as U+FFFD.
bool DecodeUtf16(std::string_view bytes, bool bigEndian, std::string& out) {
  bool valid = bytes.size() % 2 == 0;
  const size_t units = bytes.size() / 2;
  auto unit = [&](size_t i) -> char16_t {
    const auto hi = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 0 : 1)]);
    const auto lo = static_cast<unsigned char>(bytes[2 * i + (bigEndian ? 1 : 0)]);
    return static_cast<char16_t>(hi << 8 | lo);
  };
  out.reserve(units);
  for (size_t i = 0; i < units; ++i) {
    const char16_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (char32_t{unit(i + 1)} - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(out, REPLACEMENT_CHARACTER);
      valid = false;
    } else {
      AppendUtf8(out, u);
    }
  }
  if (bytes.size() % 2 != 0) AppendUtf8(out, REPLACEMENT_CHARACTER);
  return valid;
}

void AppendUtf16(std::string& out, char16_t u, bool bigEndian) {
  const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
  out += bigEndian ? hi : lo;
  out += bigEndian ? lo : hi;
}

// UTF-8 text as UTF-16 bytes; a byte that is not UTF-8 becomes U+FFFD.
void EncodeUtf16(std::string_view text, bool bigEndian, std::string& out) {
  size_t i = 0;
  while (i < text.size()) {
    const size_t length = Utf8SequenceLength(text.substr(i));
    char32_t c = REPLACEMENT_CHARACTER;
    const auto b = static_cast<unsigned char>(text[i]);
    if (length == 1) c = b;
    if (length > 1) {
      c = b & (0xFF >> (length + 1));
      for (size_t k = 1; k < length; ++k) c = c << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    }
    i += length == 0 ? 1 : length;
    if (c >= 0x10000) {
      AppendUtf16(out, static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)), bigEndian);
      AppendUtf16(out, static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)), bigEndian);
    } else {
      AppendUtf16(out, static_cast<char16_t>(c), bigEndian);
    }
  }
}

}  // namespace

size_t Utf8SequenceLength(std::string_view s) {
  if (s.empty()) return 0;
  const auto b = static_cast<unsigned char>(s[0]);
  if (b < 0x80) return 1;
  size_t length = 0;
  char32_t least = 0;
  if (b >= 0xC2 && b <= 0xDF) length = 2, least = 0x80;
  else if (b >= 0xE0 && b <= 0xEF) length = 3, least = 0x800;
  else if (b >= 0xF0 && b <= 0xF4) length = 4, least = 0x10000;
  else return 0;
  if (s.size() < length) return 0;
  char32_t c = b & (0xFF >> (length + 1));
  for (size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(s[k]);
    if ((next & 0xC0) != 0x80) return 0;
    c = c << 6 | (next & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are no UTF-8.
  if (c < least || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return 0;
  return length;
}

bool IsUtf8Text(std::string_view s) {
  while (!s.empty()) {
    if (s.front() == '\0') return false;
    const size_t length = Utf8SequenceLength(s);
    if (length == 0) return false;
    s.remove_prefix(length);
  }
  return true;
}

void TProfile::Parse(std::string_view content) {
  Bom = false;
  Encoding = teUtf8;
  Unwritable.clear();
  FIndexed = false;
  FHeaders.clear();
  FLineBreak.clear();
  std::string decoded;
  if (content.starts_with(UTF8_BOM)) {
    Bom = true;
    content.remove_prefix(UTF8_BOM.size());
  } else if (content.starts_with(UTF16LE_BOM) || content.starts_with(UTF16BE_BOM)) {
    Encoding = content.starts_with(UTF16LE_BOM) ? teUtf16LE : teUtf16BE;
    if (!DecodeUtf16(content.substr(2), Encoding == teUtf16BE, decoded)) Unwritable = BAD_UTF16;
    content = decoded;
  }
  if (Unwritable.empty() && content.find('\0') != std::string_view::npos) Unwritable = NOT_TEXT;
  Lines.clear();
  while (!content.empty()) {
    size_t len = content.size();
    const size_t br = content.find_first_of("\r\n");
    if (br != std::string_view::npos) len = br + (content.substr(br, 2) == "\r\n" ? 2 : 1);
    TLine line;
    line.Raw = content.substr(0, len);
    Classify(line);
    Lines.push_back(std::move(line));
    content.remove_prefix(len);
  }
  // Now, not when first needed: a parsed file may be shared by readers on
  // several threads, which must find nothing left to build.
  IndexSections();
}

std::string TProfile::Join() const {
  std::string out;
  if (Bom) out += UTF8_BOM;
  for (const TLine& line : Lines) {
    // A line ended by a lone CR, then an empty LF line, once a line between
    // them is gone: side by side they would read back as one CR LF and the
    // empty line would be lost. The CR becomes a CR LF.
    if (!out.empty() && out.back() == '\r' && line.Raw.starts_with('\n')) out += '\n';
    out += line.Raw;
  }
  if (Encoding == teUtf8) return out;
  std::string utf16(Encoding == teUtf16LE ? UTF16LE_BOM : UTF16BE_BOM);
  EncodeUtf16(out, Encoding == teUtf16BE, utf16);
  return utf16;
}

const std::string& TProfile::NewLineBreak() const {
  if (!FLineBreak.empty()) return FLineBreak;
  bool lf = false, cr = false;
  for (const TLine& line : Lines) {
    const std::string_view br = LineBreakOf(line.Raw);
    if (br == "\r\n") return FLineBreak = "\r\n";
    lf = lf || br == "\n";
    cr = cr || br == "\r";
  }
  return FLineBreak = (cr && !lf) ? "\r" : "\n";
}

void TProfile::IndexSections() const {
  if (FIndexed) return;
  FHeaders.clear();
  for (size_t i = 0; i < Lines.size(); ++i)
    if (Lines[i].Kind == lkSection) FHeaders[LowerName(Lines[i].Name)].push_back(i);
  FIndexed = true;
}

size_t TProfile::FindSection(std::string_view section, size_t from) const {
  IndexSections();
  const auto found = FHeaders.find(LowerName(section));
  if (found == FHeaders.end()) return std::string::npos;
  const std::vector<size_t>& headers = found->second;
  const auto at = std::lower_bound(headers.begin(), headers.end(), from);
  return at == headers.end() ? std::string::npos : *at;
}

size_t TProfile::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < Lines.size() && Lines[i].Kind != lkSection) ++i;
  return i;
}

void TProfile::InsertLine(size_t at, std::string text, const std::string& br) {
  size_t before = at;
  while (before > 0 && Lines[before - 1].Kind == lkGone) --before;
  if (before > 0 && !HasLineBreak(Lines[before - 1].Raw)) Lines[before - 1].Raw += br;
  TLine line;
  line.Raw = std::move(text) + br;
  Classify(line);
  const bool header = line.Kind == lkSection;
  const std::string name = header ? LowerName(line.Name) : std::string();
  if (at == Lines.size()) {
    // At the end no index moves: the index stays valid.
    Lines.push_back(std::move(line));
    if (FIndexed && header) FHeaders[name].push_back(at);
    return;
  }
  Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
  FIndexed = false;
}

void TProfile::EraseLines(size_t from, size_t to) {
  for (size_t i = from; i < to && i < Lines.size(); ++i) {
    TLine& line = Lines[i];
    if (line.Kind == lkSection && FIndexed) {
      std::vector<size_t>& headers = FHeaders[LowerName(line.Name)];
      std::erase(headers, i);
    }
    line.Raw.clear();
    line.Name.clear();
    line.Value.clear();
    line.Kind = lkGone;
  }
}

// ---- File access -------------------------------------------------------------

int TFd::Close() {
  int rc = 0;
  if (FFd >= 0) rc = ::close(FFd);
  FFd = -1;
  return rc;
}

bool ReadAll(int fd, std::string& content, size_t limit) {
  content.clear();
  // A file past the limit fails at once, before any of it is read: a huge
  // (or sparse) file must not be taken into memory.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > limit) {
    errno = EFBIG;
    return false;
  }
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    content.append(buf, static_cast<size_t>(n));
    if (content.size() > limit) {
      content.clear();
      errno = EFBIG;
      return false;
    }
  }
}

bool ReadWholeFile(const std::string& fileName, std::string& content) {
  content.clear();
  int opened = -1;
  if (const int error = OpenRegularFile(fileName, O_RDONLY, 0, opened); error != 0) {
    errno = error;
    return false;
  }
  TFd fd(opened);
  return ReadAll(fd.Get(), content, PROFILE_MAX_FILE_SIZE);
}

}  // namespace Platform::ProfileDetail
