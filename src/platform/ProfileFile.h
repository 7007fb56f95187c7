#pragma once
// Profile (INI) files with the reading rules users of such files expect:
// section and key names compare without regard to letter case, blanks around
// names and values do not count, a value in matching quotes reads without
// them, a value reads at most PROFILE_MAX_VALUE_LENGTH characters and a
// missing file reads as an empty one. A UTF-8 byte-order mark is skipped.
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

// A write the file system refused (read-only file, missing folder, no
// rights) or one that would corrupt the file (a line break in a name or
// value). The message names the cause.
VELMAR_DECLARE_EXCEPTION(EProfileWriteError, EInOutError, "EProfileWriteError");

// The value of key in section, or defaultValue when the file, the section or
// the key is missing.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, const std::string& fileName);

// With a key and a value: writes the key, replacing it in place or adding it
// at the end of its section, and appends a missing section at the end of the
// file. With a key and no value: deletes the key. With no key: erases every
// copy of the section, its header and its lines up to its last key (comments
// and blank lines after that stay). Raises EProfileWriteError when refused.
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

// The key names of a section in file order; empty when the section is
// missing or holds no keys (comments and blank lines are not keys).
std::vector<std::string> GetPrivateProfileSectionKeys(std::string_view section,
                                                      const std::string& fileName);

// The lock file in the user's runtime folder that serialises writers of
// fileName; empty when there is no usable runtime folder.
std::string ProfileLockFileName(const std::string& fileName);

namespace ProfileFileTesting {
// Points in a write where a test can stop the process to prove atomicity.
enum TWriteStage { wsTempPartlyWritten, wsTempComplete, wsRenamed };
using TWriteHook = void (*)(TWriteStage stage);
// Installs a hook called at each stage of every write (nullptr removes it).
void SetWriteHook(TWriteHook hook);
// How long a file must have been unchanged before a read of it is reused
// while its status stays the same; returns the previous margin.
int64_t SetReadCacheMarginNs(int64_t margin);
}  // namespace ProfileFileTesting

}  // namespace Platform
