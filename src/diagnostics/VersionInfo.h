#pragma once
// Version information of a program file. Linux executables carry no version
// resource: the program's own file answers from a table compiled into it
// (one translation, 040904E4, holding "FileVersion" and friends); any other
// file has no version data.
#include <cstdint>
#include <string>
#include <vector>

#include "diagnostics/Exception.h"

struct TTransRec {
  uint16_t Lang = 0;
  uint16_t CharSet = 0;
};
using TTransRecArray = std::vector<TTransRec>;

// The fixed part of a version resource (52 bytes on Windows).
struct TFixedFileInfo {
  uint32_t dwSignature = 0xFEEF04BD, dwStrucVersion = 0x00010000;
  uint32_t dwFileVersionMS = 0, dwFileVersionLS = 0, dwProductVersionMS = 0, dwProductVersionLS = 0;
  uint32_t dwFileFlagsMask = 0, dwFileFlags = 0, dwFileOS = 0, dwFileType = 0, dwFileSubtype = 0;
  uint32_t dwFileDateMS = 0, dwFileDateLS = 0;
};
static_assert(sizeof(TFixedFileInfo) == 52);

class TVerInfo {
 public:
  explicit TVerInfo(const std::string& FileName);
  virtual ~TVerInfo() = default;

  bool GetHasVerInfo() const { return fHasVerInfo; }
  const TFixedFileInfo& GetFixedFileInfo() const { return fFixedFileInfo; }
  int GetTranslationCount() const { return static_cast<int>(fTransTable.size()); }
  std::string GetTranslation(int Idx) const;
  std::string GetString(const std::string& Trans, const std::string& Name) const;

 private:
  TFixedFileInfo fFixedFileInfo;
  TTransRecArray fTransTable;
  bool fHasVerInfo = false;
  std::vector<std::pair<std::string, std::string>> fVerInfo;  // "040904E4\\FileVersion" → text
};

// The path of the running program's executable.
std::string ProgramFileName();
