#pragma once
// Profile (INI) files with the reading rules users of such files expect:
// section and key names compare without regard to letter case, blanks around
// names and values do not count, a value in matching quotes reads without
// them, a value reads at most PROFILE_MAX_VALUE_LENGTH characters and a
// missing file reads as an empty one. A UTF-8 byte-order mark is skipped; a
// file in UTF-16 with its byte-order mark is read (and written) as such. A
// line ends with LF, CR LF or a lone CR. Only a regular file is read, and
// only one of at most PROFILE_MAX_FILE_SIZE bytes: anything else reads as
// an empty file and is not written.
// Reads reuse the parsed file while its status (inode, size, times) shows it
// unchanged and it had been quiet for a while when it was read; the status
// is looked at no more than once a millisecond, so a change by another
// program shows within a millisecond, and one of ours at once.
//
// A write changes only the lines it is about and keeps every other byte of
// the file. It is atomic (a temporary file in the same folder, synced, then
// renamed over the file) and serialised between processes by flock on a lock
// file in the user's runtime folder ($XDG_RUNTIME_DIR, else /run/user/UID;
// without one, on the file's folder), so a crash never
// leaves half a file, concurrent writers of different keys lose nothing and
// no lock file is left beside the user's files. A file the user may write
// in a folder he may not is written in place, as there is no room for the
// temporary file.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/Exception.h"

namespace Platform {

// Values read are cut to this many characters, counted in UTF-16 code units
// as a 2048-character buffer of them holds; a character is never split.
inline constexpr size_t PROFILE_MAX_VALUE_LENGTH = 2047;

// The largest profile file read or written: a document of 100,000 models
// with long paths is far below it, and a huge (or sparse) file is refused
// at once instead of being taken into memory.
inline constexpr size_t PROFILE_MAX_FILE_SIZE = 16 * 1024 * 1024;

// A write the file system refused (read-only file, missing folder, no
// rights) or one that would corrupt the file (a line break in a name or
// value). The message names the cause.
VELMAR_DECLARE_EXCEPTION(EProfileWriteError, EInOutError, "EProfileWriteError");

// The value of key in section, or defaultValue when the file, the section or
// the key is missing.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, const std::string& fileName);

// The value of key in section as the file holds it, not cut (matching
// quotes removed); none when the file, the section or the key is missing.
// Tells a reader whether GetPrivateProfileString cut the value.
std::optional<std::string> GetPrivateProfileUncutString(std::string_view section, std::string_view key,
                                                        const std::string& fileName);

// What is at fileName, for a reader that must tell a profile file from
// anything else before it reads one.
struct TProfileFileCheck {
  // 0; ENOENT when there is nothing; NOT_REGULAR_FILE_ERROR
  // (platform/Files.h) for a FIFO, a device or a folder; EFBIG for a file
  // over PROFILE_MAX_FILE_SIZE; another errno when it cannot be read.
  int Error = 0;
  uint64_t Size = 0;
  // The bytes are text: UTF-8 without NUL, or UTF-16 after its byte-order
  // mark that decodes.
  bool Text = true;
  // A write may go into it: not NUL bytes, not UTF-16 that does not decode.
  bool Writable = true;
};
TProfileFileCheck CheckProfileFile(const std::string& fileName);

// With a key and a value: writes the key, replacing it in place or adding it
// at the end of its section, and appends a missing section at the end of the
// file. With a key and no value: deletes the key. With no key: erases every
// copy of the section, its header and its lines up to its last key (comments
// and blank lines after that stay). Raises EProfileWriteError when refused,
// also for a file that is not text (NUL bytes, UTF-16 that does not decode)
// or too large to read: its lines would not be written back as they were.
void WritePrivateProfileString(std::string_view section, std::optional<std::string_view> key,
                               std::optional<std::string_view> value, const std::string& fileName);

// One write of WritePrivateProfileStrings, with the meaning of the arguments
// of WritePrivateProfileString.
struct TProfileWrite {
  std::string Section;
  std::optional<std::string> Key;
  std::optional<std::string> Value;
};

// Applies the writes in order as one write: either the file gets all of
// them or it stays as it was, byte for byte. Raises EProfileWriteError when
// refused.
void WritePrivateProfileStrings(const std::vector<TProfileWrite>& writes, const std::string& fileName);

// The names of all sections in file order, each name once (first spelling).
std::vector<std::string> GetPrivateProfileSectionNames(const std::string& fileName);

// Every section header in file order, copies included, with the number of
// keys under it.
struct TProfileSectionHeader {
  std::string Name;
  size_t KeyCount = 0;
};
std::vector<TProfileSectionHeader> GetPrivateProfileSectionHeaders(const std::string& fileName);

// The key names of a section in file order; empty when the section is
// missing or holds no keys (comments and blank lines are not keys).
std::vector<std::string> GetPrivateProfileSectionKeys(std::string_view section,
                                                      const std::string& fileName);

// The lock file in the user's runtime folder that serialises writers of
// fileName; empty when there is no usable runtime folder.
std::string ProfileLockFileName(const std::string& fileName);

// How a temporary file of an atomic write of fileName by process pid is
// named (the N-th of that process): "." + name + ".tmp" + pid + "-" + N in
// the file's folder. A write removes those of processes that are gone.
std::string TempFileName(const std::string& fileName, long pid, unsigned n);

namespace ProfileFileTesting {
// Points in a write where a test can stop the process to prove atomicity.
enum TWriteStage { wsTempPartlyWritten, wsTempComplete, wsRenamed };
using TWriteHook = void (*)(TWriteStage stage);
// Installs a hook called at each stage of every write (nullptr removes it).
void SetWriteHook(TWriteHook hook);
// How long a file must have been unchanged before a read of it is reused
// while its status stays the same; returns the previous margin.
int64_t SetReadCacheMarginNs(int64_t margin);
// How many times a profile file has been opened and parsed so far (a read
// answered from the cache opens nothing).
uint64_t ProfileFileReads();
}  // namespace ProfileFileTesting

}  // namespace Platform
