#pragma once
// An INI file object over the profile-file functions: typed reads with
// defaults, and writes that raise "Unable to write to %s" when refused.
// It holds only the file name; every call goes to the file.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/Exception.h"
#include "platform/ProfileFile.h"

VELMAR_DECLARE_EXCEPTION(EIniFileException, Exception, "EIniFileException");

// Integer text as INI values hold it: decimal with an optional sign, or
// hexadecimal after "0x", "0X" or "$" (up to 32 bits, read as the signed
// number with those bits). Anything else fails.
std::optional<int32_t> TryStrToInt(std::string_view text);

class TIniFile {
 public:
  explicit TIniFile(std::string fileName) : FFileName(std::move(fileName)) {}

  const std::string& GetFileName() const { return FFileName; }

  std::string ReadString(std::string_view section, std::string_view ident,
                         std::string_view defaultValue) const;
  // The value as the file holds it, not cut at PROFILE_MAX_VALUE_LENGTH;
  // none when the key is missing.
  std::optional<std::string> ReadUncutString(std::string_view section, std::string_view ident) const;
  int32_t ReadInteger(std::string_view section, std::string_view ident, int32_t defaultValue) const;
  // Any non-zero integer is true.
  bool ReadBool(std::string_view section, std::string_view ident, bool defaultValue) const;

  void WriteString(std::string_view section, std::string_view ident, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view ident, int32_t value);
  // Written as "1" or "0".
  void WriteBool(std::string_view section, std::string_view ident, bool value);

  // The section names in file order.
  std::vector<std::string> ReadSections() const;
  // The key names of a section.
  std::vector<std::string> ReadSection(std::string_view section) const;
  // True when the section holds at least one key.
  bool SectionExists(std::string_view section) const;

  void EraseSection(std::string_view section);
  void DeleteKey(std::string_view section, std::string_view ident);

  // Between BeginUpdate and EndUpdate the writes are collected, and
  // EndUpdate stores them as one: the file gets all of them or stays as it
  // was. Reads in between see the file as it was.
  void BeginUpdate();
  void EndUpdate();

 private:
  void Write(std::string_view section, std::optional<std::string_view> ident,
             std::optional<std::string_view> value);

  std::string FFileName;
  bool FUpdating = false;
  std::vector<Platform::TProfileWrite> FPending;
};
