// Arbitrary file content, then one key written (or deleted): the bytes of
// every line other than that key's must stay, and the key reads back.
//
// Input: byte 0 picks the section, byte 1 the key and whether to delete it;
// the rest is the file. A write changes one place: the lines of the old and
// new file are compared after dropping their common first and last lines;
// what is left of the old file must be lines of the key being written, and
// what is left of the new file those lines, the section header and the old
// last line given a line break. A delete only leaves out lines of the key
// (and gives a lone CR an LF where an empty LF line comes to follow it).
// A line ends with LF, CR LF or a lone CR. A file that is not text (NUL
// bytes) is refused and stays as it was; one in UTF-16 (after its
// byte-order mark) is refused, or written with the key reading back.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/Exception.h"
#include "platform/ProfileFile.h"

namespace {

const char* const kSections[] = {"Main", "main", "Other", "A b"};
const char* const kKeys[] = {"Key", "KEY", "k", "x y"};
constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::vector<std::string> Lines(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    const size_t br = text.find_first_of("\r\n");
    const size_t len = br == std::string_view::npos ? text.size() : br + (text.substr(br, 2) == "\r\n" ? 2 : 1);
    out.emplace_back(text.substr(0, len));
    text.remove_prefix(len);
  }
  return out;
}

std::string_view Text(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool IsKeyLine(std::string_view line, std::string_view key) {
  const std::string_view t = Trim(Text(line));
  if (t.empty() || t.front() == '[' || t.front() == ';' || t.front() == '#') return false;
  const size_t eq = t.find('=');
  return eq != std::string_view::npos && SameName(Trim(t.substr(0, eq)), key);
}

bool IsAnyHeader(std::string_view line) {
  const std::string_view t = Trim(Text(line));
  return !t.empty() && t.front() == '[';
}

bool IsHeader(std::string_view line, std::string_view section) {
  const std::string_view t = Trim(Text(line));
  if (t.empty() || t.front() != '[') return false;
  return SameName(Trim(t.substr(1, t.find(']') - 1)), section);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The file written, and its lock file, removed when the run ends.
struct TTempProfile {
  std::string Path =
      (std::filesystem::temp_directory_path() / ("velmar-fuzz-profile-" + std::to_string(getpid()) + ".ini"))
          .string();
  ~TTempProfile() {
    std::error_code ec;
    std::filesystem::remove(Path, ec);
    std::filesystem::remove(Platform::ProfileLockFileName(Path), ec);
  }
};

std::string FilePath() {
  static const TTempProfile file;
  return file.Path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string section = kSections[data[0] % 4];
  const std::string key = kKeys[data[1] % 4];
  const bool remove = (data[1] / 4) % 4 == 0;
  const std::string value = "v" + std::to_string(size);
  std::string before(reinterpret_cast<const char*>(data + 2), size - 2);

  const bool utf16 = before.starts_with("\xFF\xFE") || before.starts_with("\xFE\xFF");
  const bool notText = !utf16 && before.find('\0') != std::string::npos;
  const std::string path = FilePath();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(before.data(), static_cast<std::streamsize>(before.size()));
  }
  try {
    if (remove)
      Platform::WritePrivateProfileString(section, key, std::nullopt, path);
    else
      Platform::WritePrivateProfileString(section, key, value, path);
  } catch (const Exception&) {
    // A writable file in a writable folder: nothing to refuse but what is
    // not text, which stays as it was.
    if (!(utf16 || notText) || ReadAll(path) != before) abort();
    return 0;
  }
  std::string after = ReadAll(path);
  if (notText) abort();
  if (utf16) {
    if (Platform::GetPrivateProfileString(section, key, "<none>", path) != (remove ? "<none>" : value)) abort();
    return 0;
  }

  // The byte-order mark stays where it was.
  const bool bom = std::string_view(before).substr(0, kBom.size()) == kBom;
  if (bom) {
    if (std::string_view(after).substr(0, kBom.size()) != kBom) abort();
    before.erase(0, kBom.size());
    after.erase(0, kBom.size());
  }

  const std::vector<std::string> a = Lines(before), b = Lines(after);
  if (remove) {
    // Every copy of the key in the section goes, nothing else: the new
    // lines are the old ones with some of the key's lines left out.
    // A line ended by a lone CR that comes to stand before an empty LF line
    // is given a CR LF, or the two would read back as one line.
    size_t j = 0;
    for (const std::string& line : a) {
      const bool crBeforeLf = line.ends_with('\r') && j + 1 < b.size() && b[j] == line + "\n" && b[j + 1] == "\n";
      if (j < b.size() && (b[j] == line || crBeforeLf))
        ++j;
      else if (!IsKeyLine(line, key))
        abort();
    }
    if (j != b.size()) abort();
    return 0;
  }
  size_t head = 0;
  while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
  size_t tail = 0;
  while (tail < a.size() - head && tail < b.size() - head && a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) ++tail;
  const std::vector<std::string> gone(a.begin() + head, a.end() - tail);
  const std::vector<std::string> added(b.begin() + head, b.end() - tail);

  // The old last line may have had no line break; a line added after it
  // gives it one.
  std::optional<std::string> broken;
  for (const std::string& line : gone) {
    const bool lastWithoutBreak =
        &line == &gone.back() && tail == 0 && line.back() != '\n' && line.back() != '\r';
    if (lastWithoutBreak && !added.empty() &&
        (added.front() == line + "\n" || added.front() == line + "\r\n" || added.front() == line + "\r")) {
      broken = added.front();
      continue;
    }
    // The one line replaced: the key in the first copy of the section.
    if (!IsKeyLine(line, key) || gone.size() != 1) abort();
    size_t header = 0;
    while (header < a.size() && !IsHeader(a[header], section)) ++header;
    size_t end = header + 1;
    while (end < a.size() && !IsAnyHeader(a[end])) ++end;
    if (head <= header || head >= end) abort();
  }
  for (const std::string& line : added) {
    if (broken && &line == &added.front()) continue;
    if (!(IsKeyLine(line, key) && Trim(Text(line)) == key + "=" + value) && !IsHeader(line, section)) abort();
  }

  if (Platform::GetPrivateProfileString(section, key, "<none>", path) != value) abort();
  return 0;
}
