#include "platform/ProfileText.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

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

bool HasLineBreak(const std::string& raw) { return !raw.empty() && raw.back() == '\n'; }

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

void TProfile::Parse(std::string_view content) {
  Bom = content.substr(0, UTF8_BOM.size()) == UTF8_BOM;
  if (Bom) content.remove_prefix(UTF8_BOM.size());
  Lines.clear();
  while (!content.empty()) {
    const size_t nl = content.find('\n');
    const size_t len = nl == std::string_view::npos ? content.size() : nl + 1;
    TLine line;
    line.Raw = content.substr(0, len);
    Classify(line);
    Lines.push_back(std::move(line));
    content.remove_prefix(len);
  }
}

std::string TProfile::Join() const {
  std::string out;
  if (Bom) out += UTF8_BOM;
  for (const TLine& line : Lines) out += line.Raw;
  return out;
}

std::string TProfile::NewLineBreak() const {
  for (const TLine& line : Lines)
    if (LineBreakOf(line.Raw) == "\r\n") return "\r\n";
  return "\n";
}

size_t TProfile::FindSection(std::string_view section, size_t from) const {
  for (size_t i = from; i < Lines.size(); ++i)
    if (Lines[i].Kind == lkSection && SameName(Lines[i].Name, section)) return i;
  return std::string::npos;
}

size_t TProfile::SectionEnd(size_t header) const {
  size_t i = header + 1;
  while (i < Lines.size() && Lines[i].Kind != lkSection) ++i;
  return i;
}

void TProfile::InsertLine(size_t at, std::string text, const std::string& br) {
  if (at > 0 && !HasLineBreak(Lines[at - 1].Raw)) Lines[at - 1].Raw += br;
  TLine line;
  line.Raw = std::move(text) + br;
  Classify(line);
  Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
}

// ---- File access -------------------------------------------------------------

int TFd::Close() {
  int rc = 0;
  if (FFd >= 0) rc = ::close(FFd);
  FFd = -1;
  return rc;
}

bool ReadAll(int fd, std::string& content) {
  content.clear();
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    content.append(buf, static_cast<size_t>(n));
  }
}

bool ReadWholeFile(const std::string& fileName, std::string& content) {
  content.clear();
  TFd fd(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC));
  return fd.Get() >= 0 && ReadAll(fd.Get(), content);
}

}  // namespace Platform::ProfileDetail
