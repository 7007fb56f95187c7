#include "diagnostics/VersionInfo.h"

#include <cstdlib>

#include "BuildVersion.h"
#include "diagnostics/DebugOutput.h"
#include "platform/Files.h"

namespace {

uint32_t VersionPart(const char*& p) {
  uint32_t v = static_cast<uint32_t>(std::strtoul(p, const_cast<char**>(&p), 10));
  if (*p == '.') ++p;
  return v;
}

}  // namespace

std::string ProgramFileName() {
  return Platform::ExecutablePath();
}

TVerInfo::TVerInfo(const std::string& FileName) {
  const std::string self = Platform::RealPath(ProgramFileName());
  fHasVerInfo = !self.empty() && Platform::RealPath(FileName) == self;
  if (!fHasVerInfo) return;
  const char* p = VELMAR_FILE_VERSION;
  const uint32_t a = VersionPart(p), b = VersionPart(p), c = VersionPart(p), d = VersionPart(p);
  fFixedFileInfo.dwFileVersionMS = fFixedFileInfo.dwProductVersionMS = (a << 16) | (b & 0xFFFF);
  fFixedFileInfo.dwFileVersionLS = fFixedFileInfo.dwProductVersionLS = (c << 16) | (d & 0xFFFF);
  fTransTable.push_back({0x0409, 0x04E4});
  const std::string key = GetTranslation(0) + "\\";
  fVerInfo = {{key + "FileVersion", VELMAR_FILE_VERSION},
              {key + "ProductVersion", VELMAR_FILE_VERSION},
              {key + "ProductName", VELMAR_PRODUCT_NAME},
              {key + "CompanyName", "Corvane"}};
}

std::string TVerInfo::GetTranslation(int Idx) const {
  Assert(fHasVerInfo && Idx >= 0 && Idx < GetTranslationCount());
  return DebugOutput::SafeFormat("%4.4x%4.4x", fTransTable[static_cast<size_t>(Idx)].Lang,
                                 fTransTable[static_cast<size_t>(Idx)].CharSet);
}

std::string TVerInfo::GetString(const std::string& Trans, const std::string& Name) const {
  Assert(fHasVerInfo);
  const std::string path = Trans + "\\" + Name;
  for (const auto& [key, value] : fVerInfo)
    if (key == path) return value;
  return std::string();
}
