#include "documents/SettingsUnit.h"

#include "diagnostics/IniText.h"
#include "diagnostics/Logging.h"
#include "documents/IniFiles.h"
#include "platform/AppData.h"

std::unique_ptr<TIniFile> TSettings::FIniFile;

// A setting is written only when its stored value differs. The window
// writes every setting from its controls before a run; with nothing
// changed, a settings file the user made read-only must not stop the run.
void TSettings::WriteIfChanged(std::string_view section, std::string_view key, std::string_view value) {
  static constexpr std::string_view ABSENT = "\x01" "absent" "\x01";
  const std::string stored = IniFile().ReadString(section, key, ABSENT);
  if (stored != ABSENT && stored == value) return;
  IniFile().WriteString(section, key, value);
}
std::string TSettings::FPathnameOverride;

void TSettings::Initialize() {
  if (FIniFile) return;
  FIniFile = std::make_unique<TIniFile>(FPathnameOverride.empty() ? GetSettingsPathname()
                                                                  : FPathnameOverride);
}

void TSettings::SetSettingsPathname(const std::string& file) {
  FPathnameOverride = file;
  FIniFile.reset();
  Initialize();
}

std::string TSettings::GetIniFilename() { return IniFile().GetFileName(); }

void TSettings::Finalize() {
  FIniFile.reset();
  FPathnameOverride.clear();
}

TIniFile& TSettings::IniFile() {
  Initialize();
  return *FIniFile;
}

std::string TSettings::GetSettingsFolder() {
  const std::string folder = Platform::GetUserAppDataFolder() + "/" + SETTINGS_COMPANY_FOLDER + "/" +
                             SETTINGS_PRODUCT_FOLDER;
  if (!Platform::ForceDirectories(folder))
    Logger().Error("Could not create directories for storing settings (\"%s\")", folder);
  return folder;
}

std::string TSettings::GetSettingsPathname() {
  return GetSettingsFolder() + "/" + SETTINGS_FILENAME;
}

// ---- Main ----------------------------------------------------------------------

int32_t TSettings::GetActivePageIndex() {
  return IniFile().ReadInteger(MAIN_SECTION, ACTIVE_PAGE_INDEX_KEY, DEFAULT_ACTIVE_PAGE_INDEX);
}

void TSettings::SetActivePageIndex(int32_t value) {
  WriteIfChanged(MAIN_SECTION, ACTIVE_PAGE_INDEX_KEY, std::to_string(value));
}

bool TSettings::GetDebugMessages() {
  return IniFile().ReadBool(MAIN_SECTION, DEBUG_MESSAGES_KEY, DEFAULT_DEBUG_MESSAGES);
}

void TSettings::SetDebugMessages(bool value) {
  WriteIfChanged(MAIN_SECTION, DEBUG_MESSAGES_KEY, value ? "1" : "0");
}

// ---- Velmar --------------------------------------------------------------------

std::string TSettings::GetVelmarFilename() {
  return IniFile().ReadString(VELMAR_SECTION, VELMAR_FILENAME_KEY, "");
}

void TSettings::SetVelmarFilename(const std::string& value) {
  WriteIfChanged(VELMAR_SECTION, VELMAR_FILENAME_KEY, value);
}

std::string TSettings::GetVelmarOptions() {
  return IniFile().ReadString(VELMAR_SECTION, VELMAR_OPTIONS_KEY, "");
}

void TSettings::SetVelmarOptions(const std::string& value) {
  WriteIfChanged(VELMAR_SECTION, VELMAR_OPTIONS_KEY, value);
}

bool TSettings::GetVelmarSpecifiedOptionsOnly() {
  return IniFile().ReadBool(VELMAR_SECTION, VELMAR_SPECIFIED_OPTIONS_ONLY_KEY,
                            DEFAULT_VELMAR_SPECIFIED_OPTIONS_ONLY);
}

void TSettings::SetVelmarSpecifiedOptionsOnly(bool value) {
  WriteIfChanged(VELMAR_SECTION, VELMAR_SPECIFIED_OPTIONS_ONLY_KEY, value ? "1" : "0");
}

// The time-outs are unsigned but stored as signed numbers: the same 32 bits.
uint32_t TSettings::GetVelmarStartTimeout() {
  return static_cast<uint32_t>(IniFile().ReadInteger(
      VELMAR_SECTION, VELMAR_START_TIMEOUT_KEY, static_cast<int32_t>(DEFAULT_VELMAR_START_TIMEOUT)));
}

void TSettings::SetVelmarStartTimeout(uint32_t value) {
  IniFile().WriteInteger(VELMAR_SECTION, VELMAR_START_TIMEOUT_KEY, static_cast<int32_t>(value));
}

uint32_t TSettings::GetVelmarTimeStepTimeout() {
  return static_cast<uint32_t>(
      IniFile().ReadInteger(VELMAR_SECTION, VELMAR_TIMESTEP_TIMEOUT_KEY,
                            static_cast<int32_t>(DEFAULT_VELMAR_TIMESTEP_TIMEOUT)));
}

void TSettings::SetVelmarTimeStepTimeout(uint32_t value) {
  IniFile().WriteInteger(VELMAR_SECTION, VELMAR_TIMESTEP_TIMEOUT_KEY, static_cast<int32_t>(value));
}

// ---- Record --------------------------------------------------------------------

std::string TSettings::GetRecordVariables() { return IniFile().ReadString("Record", "Variables", ""); }

void TSettings::SetRecordVariables(const std::string& value) { WriteIfChanged("Record", "Variables", value); }

// ---- ExternalProcessor ---------------------------------------------------------

bool TSettings::GetUseExternalProcessor() {
  return IniFile().ReadBool(EXTERNAL_PROCESSOR_SECTION, USE_EXTERNAL_PROCESSOR_KEY,
                            DEFAULT_USE_EXTERNAL_PROCESSOR);
}

void TSettings::SetUseExternalProcessor(bool value) {
  WriteIfChanged(EXTERNAL_PROCESSOR_SECTION, USE_EXTERNAL_PROCESSOR_KEY, value ? "1" : "0");
}

std::string TSettings::GetExternalProcessorFilename() {
  return IniFile().ReadString(EXTERNAL_PROCESSOR_SECTION, EXTERNAL_PROCESSOR_FILENAME_KEY, "");
}

void TSettings::SetExternalProcessorFilename(const std::string& value) {
  WriteIfChanged(EXTERNAL_PROCESSOR_SECTION, EXTERNAL_PROCESSOR_FILENAME_KEY, value);
}

std::string TSettings::GetExternalProcessorParameters() {
  return IniFile().ReadString(EXTERNAL_PROCESSOR_SECTION, EXTERNAL_PROCESSOR_PARAMETERS_KEY, "");
}

void TSettings::SetExternalProcessorParameters(const std::string& value) {
  WriteIfChanged(EXTERNAL_PROCESSOR_SECTION, EXTERNAL_PROCESSOR_PARAMETERS_KEY, value);
}

std::string TSettings::GetExternalProcessorCloseCommand() {
  return IniFile().ReadString(EXTERNAL_PROCESSOR_SECTION, EXTERNAL_PROCESSOR_CLOSE_COMMAND_KEY, "");
}

void TSettings::SetExternalProcessorCloseCommand(const std::string& value) {
  WriteIfChanged(EXTERNAL_PROCESSOR_SECTION, EXTERNAL_PROCESSOR_CLOSE_COMMAND_KEY, value);
}

std::string TSettings::GetExternalProcessorEnvironment() {
  return IniText::DecodeIni(
      IniFile().ReadString(EXTERNAL_PROCESSOR_SECTION, EXTERNAL_PROCESSOR_ENVIRONMENT_KEY, ""));
}

void TSettings::SetExternalProcessorEnvironment(const std::string& value) {
  WriteIfChanged(EXTERNAL_PROCESSOR_SECTION, EXTERNAL_PROCESSOR_ENVIRONMENT_KEY,
                        IniText::EncodeIni(value));
}

// ---- Recent documents ------------------------------------------------------------

std::vector<std::string> TSettings::GetRecentDocuments() {
  std::vector<std::string> documents;
  for (size_t i = 1; i <= MAX_RECENT_DOCUMENTS; ++i) {
    const std::string path = IniFile().ReadString(RECENT_DOCUMENTS_SECTION, RECENT_DOCUMENT_KEY + std::to_string(i), "");
    if (!path.empty()) documents.push_back(path);
  }
  return documents;
}

void TSettings::SetRecentDocuments(const std::vector<std::string>& documents) {
  if (documents == GetRecentDocuments()) return;
  TIniFile& ini = IniFile();
  ini.BeginUpdate();
  ini.EraseSection(RECENT_DOCUMENTS_SECTION);
  for (size_t i = 0; i < documents.size() && i < MAX_RECENT_DOCUMENTS; ++i)
    ini.WriteString(RECENT_DOCUMENTS_SECTION, RECENT_DOCUMENT_KEY + std::to_string(i + 1), documents[i]);
  ini.EndUpdate();
}

void TSettings::AddRecentDocument(const std::string& path) {
  std::vector<std::string> documents{path};
  for (const std::string& other : GetRecentDocuments())
    if (other != path && documents.size() < MAX_RECENT_DOCUMENTS) documents.push_back(other);
  SetRecentDocuments(documents);
}

void TSettings::RemoveRecentDocument(const std::string& path) {
  std::vector<std::string> documents = GetRecentDocuments();
  std::erase(documents, path);
  SetRecentDocuments(documents);
}
