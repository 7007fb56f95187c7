#pragma once
// The parsed form of a profile (INI) file, shared by its reading and writing
// (ProfileFile.cpp) and by the read cache (ProfileCache.cpp); private to
// platform. A file is kept as its lines, each with its exact bytes, so a
// write can change the lines it is about and leave every other byte alone.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace Platform::ProfileDetail {

inline constexpr std::string_view UTF8_BOM = "\xEF\xBB\xBF";
inline constexpr std::string_view UTF16LE_BOM = "\xFF\xFE";
inline constexpr std::string_view UTF16BE_BOM = "\xFE\xFF";

// How a file's text is stored. UTF-16 (after its byte-order mark) is read
// as UTF-8 and written back as UTF-16, so such a file stays one.
enum TTextEncoding { teUtf8, teUtf16LE, teUtf16BE };

// s without the blanks (spaces and tabs) at either end.
std::string_view TrimBlanks(std::string_view s);

// The length of the UTF-8 sequence s starts with, 0 when it starts with
// none (or is empty).
size_t Utf8SequenceLength(std::string_view s);

// Whether s is UTF-8 text: valid sequences and no NUL.
bool IsUtf8Text(std::string_view s);

// Whether two section or key names are the same, ASCII letter case aside.
bool SameName(std::string_view a, std::string_view b);

// lkGone: a line an erase took out; it keeps its place (and its index)
// but holds no bytes any more.
enum TLineKind { lkOther, lkSection, lkKey, lkGone };

struct TLine {
  std::string Raw;  // the line's bytes including its line break
  TLineKind Kind = lkOther;
  std::string Name;   // section or key name, blanks trimmed
  std::string Value;  // key value, blanks trimmed, quotes kept
};

bool HasLineBreak(const std::string& raw);

// The line's text without its line break (LF, CR LF or a lone CR).
std::string_view LineText(const std::string& raw);

// The line break ending the line ("\n", "\r\n", "\r" or empty for a last
// line without one).
std::string_view LineBreakOf(const std::string& raw);

// Sets the line's kind, name and value from its bytes.
void Classify(TLine& line);

struct TProfile {
  bool Bom = false;
  TTextEncoding Encoding = teUtf8;
  // Why the file must not be written, empty when it may: bytes that are
  // not text (NUL), or UTF-16 that does not decode. Its lines would be
  // written back other than they were.
  std::string Unwritable;
  std::vector<TLine> Lines;

  // A line break is LF, CR LF or a lone CR (old Mac files).
  void Parse(std::string_view content);

  // The file's bytes again: the lines in the file's own encoding.
  std::string Join() const;

  // New lines get the file's line break: CR LF when a line ends so, else LF
  // when one does, else CR when one does; LF in a file without any.
  const std::string& NewLineBreak() const;

  // Index of the first header of section at or after from, or npos.
  size_t FindSection(std::string_view section, size_t from = 0) const;

  // One past the last line of the section whose header is at index header.
  size_t SectionEnd(size_t header) const;

  // Inserts a line at index at, first ending the line before it when that
  // line (the file's last) has no line break.
  void InsertLine(size_t at, std::string text, const std::string& br);

  // Takes out the lines [from, to): they hold nothing any more, and every
  // other line keeps its index.
  void EraseLines(size_t from, size_t to);

 private:
  // The headers of each section name (lower case), in file order; built by
  // Parse and kept up to date by EraseLines and by InsertLine at the end (a
  // line inserted before others has it built again when next needed), so
  // that a save of thousands of sections stays linear.
  void IndexSections() const;
  mutable bool FIndexed = false;
  mutable std::unordered_map<std::string, std::vector<size_t>> FHeaders;
  mutable std::string FLineBreak;
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

// Reads the whole file, at most limit bytes; false (with errno, EFBIG when
// there is more) when it cannot be read.
bool ReadAll(int fd, std::string& content, size_t limit);

// Reads the whole file named, a regular file of at most
// PROFILE_MAX_FILE_SIZE bytes; false (with errno: EFBIG for a larger
// file, NOT_REGULAR_FILE_ERROR for a FIFO or a device) when it cannot be
// opened or read.
bool ReadWholeFile(const std::string& fileName, std::string& content);

}  // namespace Platform::ProfileDetail
