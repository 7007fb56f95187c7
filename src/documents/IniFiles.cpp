#include "documents/IniFiles.h"

#include "diagnostics/Format.h"
#include "platform/ProfileFile.h"

namespace {
constexpr const char* INI_FILE_WRITE_ERROR = "Unable to write to %s";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
}  // namespace

std::optional<int32_t> TryStrToInt(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  bool hex = false;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    hex = true;
    text.remove_prefix(2);
  } else if (text.starts_with("$")) {
    hex = true;
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;

  uint64_t value = 0;
  if (hex) {
    for (char c : text) {
      const int d = HexDigit(c);
      if (d < 0) return std::nullopt;
      value = value * 16 + static_cast<uint64_t>(d);
      if (value > 0xFFFFFFFFull) return std::nullopt;
    }
    // Hexadecimal gives the bits; a sign negates them modulo 2^32.
    uint32_t bits = static_cast<uint32_t>(value);
    if (negative) bits = 0u - bits;
    return static_cast<int32_t>(bits);
  }
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > 0x80000000ull) return std::nullopt;
  }
  if (!negative && value > 0x7FFFFFFFull) return std::nullopt;
  const int64_t signedValue = negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
  return static_cast<int32_t>(signedValue);
}

std::string TIniFile::ReadString(std::string_view section, std::string_view ident,
                                 std::string_view defaultValue) const {
  return Platform::GetPrivateProfileString(section, ident, defaultValue, FFileName);
}

std::optional<std::string> TIniFile::ReadUncutString(std::string_view section, std::string_view ident) const {
  return Platform::GetPrivateProfileUncutString(section, ident, FFileName);
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view ident,
                              int32_t defaultValue) const {
  return TryStrToInt(ReadString(section, ident, "")).value_or(defaultValue);
}

bool TIniFile::ReadBool(std::string_view section, std::string_view ident, bool defaultValue) const {
  return ReadInteger(section, ident, defaultValue ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view ident, std::string_view value) {
  Write(section, ident, value);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view ident, int32_t value) {
  Write(section, ident, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view ident, bool value) {
  Write(section, ident, value ? "1" : "0");
}

std::vector<std::string> TIniFile::ReadSections() const {
  return Platform::GetPrivateProfileSectionNames(FFileName);
}

std::vector<std::string> TIniFile::ReadSection(std::string_view section) const {
  return Platform::GetPrivateProfileSectionKeys(section, FFileName);
}

bool TIniFile::SectionExists(std::string_view section) const { return !ReadSection(section).empty(); }

void TIniFile::EraseSection(std::string_view section) { Write(section, std::nullopt, std::nullopt); }

void TIniFile::DeleteKey(std::string_view section, std::string_view ident) {
  Write(section, ident, std::nullopt);
}

void TIniFile::BeginUpdate() {
  FUpdating = true;
  FPending.clear();
}

void TIniFile::EndUpdate() {
  FUpdating = false;
  std::vector<Platform::TProfileWrite> writes;
  writes.swap(FPending);
  try {
    Platform::WritePrivateProfileStrings(writes, FFileName);
  } catch (const Platform::EProfileWriteError&) {
    throw EIniFileException(FormatV(INI_FILE_WRITE_ERROR, FFileName));
  }
}

void TIniFile::Write(std::string_view section, std::optional<std::string_view> ident,
                     std::optional<std::string_view> value) {
  if (FUpdating) {
    Platform::TProfileWrite& w = FPending.emplace_back();
    w.Section = section;
    if (ident) w.Key = std::string(*ident);
    if (value) w.Value = std::string(*value);
    return;
  }
  try {
    Platform::WritePrivateProfileString(section, ident, value, FFileName);
  } catch (const Platform::EProfileWriteError&) {
    throw EIniFileException(FormatV(INI_FILE_WRITE_ERROR, FFileName));
  }
}
