#pragma once
// The parsed form of a profile (INI) file, shared by its reading and writing
// (ProfileFile.cpp) and by the read cache (ProfileCache.cpp); private to
// platform. A file is kept as its lines, each with its exact bytes, so a
// write can change the lines it is about and leave every other byte alone.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace Platform::ProfileDetail {

inline constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";

// s without the blanks (spaces and tabs) at either end.
std::string_view TrimBlanks(std::string_view s);

// Whether two section or key names are the same, ASCII letter case aside.
bool SameName(std::string_view a, std::string_view b);

enum TLineKind { lkOther, lkSection, lkKey };

struct TLine {
  std::string Raw;  // the line's bytes including its line break
  TLineKind Kind = lkOther;
  std::string Name;   // section or key name, blanks trimmed
  std::string Value;  // key value, blanks trimmed, quotes kept
};

bool HasLineBreak(const std::string& raw);

// The line's text without its line break (LF or CR LF).
std::string_view LineText(const std::string& raw);

// The line break ending the line ("\n", "\r\n" or empty for a last line
// without one).
std::string_view LineBreakOf(const std::string& raw);

// Sets the line's kind, name and value from its bytes.
void Classify(TLine& line);

struct TProfile {
  bool Bom = false;
  std::vector<TLine> Lines;

  void Parse(std::string_view content);

  std::string Join() const;

  // A file that uses CR LF gets CR LF on new lines; otherwise LF.
  std::string NewLineBreak() const;

  // Index of the first header of section, or npos.
  size_t FindSection(std::string_view section, size_t from = 0) const;

  // One past the last line of the section whose header is at index header.
  size_t SectionEnd(size_t header) const;

  // Inserts a line at index at, first ending the line before it when that
  // line (the file's last) has no line break.
  void InsertLine(size_t at, std::string text, const std::string& br);
};

// ---- File access -------------------------------------------------------------

// An open descriptor, closed when the object goes.
class TFd {
 public:
  explicit TFd(int fd = -1) : FFd(fd) {}
  ~TFd() { Close(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  TFd(TFd&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }
  int Get() const { return FFd; }
  void Reset(int fd) {
    Close();
    FFd = fd;
  }
  int Close();

 private:
  int FFd;
};

// Reads the whole file; false (with errno) when it cannot be read.
bool ReadAll(int fd, std::string& content);

// Reads the whole file named; false (with errno) when it cannot be opened
// or read.
bool ReadWholeFile(const std::string& fileName, std::string& content);

}  // namespace Platform::ProfileDetail
