#pragma once
// The per-user settings: one INI file shared by every running instance of
// the program. Nothing is kept in memory; every getter reads the file and
// every setter writes it at once, so one instance sees another's changes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class TIniFile;

inline constexpr const char* SETTINGS_FILENAME = "VelmarManager.settings";
inline constexpr const char* SETTINGS_COMPANY_FOLDER = "Corvane";
inline constexpr const char* SETTINGS_PRODUCT_FOLDER = "VelmarManager";

inline constexpr const char* MAIN_SECTION = "Main";
inline constexpr const char* ACTIVE_PAGE_INDEX_KEY = "ActivePage";
inline constexpr const char* DEBUG_MESSAGES_KEY = "DebugMessages";

inline constexpr const char* VELMAR_SECTION = "Velmar";
inline constexpr const char* VELMAR_FILENAME_KEY = "Filename";
inline constexpr const char* VELMAR_OPTIONS_KEY = "Options";
inline constexpr const char* VELMAR_SPECIFIED_OPTIONS_ONLY_KEY = "SpecifiedOptionsOnly";
inline constexpr const char* VELMAR_START_TIMEOUT_KEY = "StartTimeout";
inline constexpr const char* VELMAR_TIMESTEP_TIMEOUT_KEY = "TimeStepTimeout";

inline constexpr const char* EXTERNAL_PROCESSOR_SECTION = "ExternalProcessor";
inline constexpr const char* USE_EXTERNAL_PROCESSOR_KEY = "UseExternalProcessor";
inline constexpr const char* EXTERNAL_PROCESSOR_FILENAME_KEY = "Filename";
inline constexpr const char* EXTERNAL_PROCESSOR_PARAMETERS_KEY = "Parameters";
inline constexpr const char* EXTERNAL_PROCESSOR_CLOSE_COMMAND_KEY = "CloseCommand";
inline constexpr const char* EXTERNAL_PROCESSOR_ENVIRONMENT_KEY = "Environment";

// The documents last opened or saved, newest first, in a section of their
// own: File1=..., File2=...
inline constexpr const char* RECENT_DOCUMENTS_SECTION = "RecentDocuments";
inline constexpr const char* RECENT_DOCUMENT_KEY = "File";
inline constexpr size_t MAX_RECENT_DOCUMENTS = 8;

inline constexpr int32_t DEFAULT_ACTIVE_PAGE_INDEX = 0;
inline constexpr bool DEFAULT_DEBUG_MESSAGES = true;
inline constexpr bool DEFAULT_VELMAR_SPECIFIED_OPTIONS_ONLY = false;
inline constexpr uint32_t DEFAULT_VELMAR_START_TIMEOUT = 60;
inline constexpr uint32_t DEFAULT_VELMAR_TIMESTEP_TIMEOUT = 60;
inline constexpr bool DEFAULT_USE_EXTERNAL_PROCESSOR = true;

class TSettings {
 public:
  TSettings() = delete;

  // Opens the store at its file (the per-user file unless another was
  // chosen). Runs by itself on first use; start-up calls it early so that a
  // folder that cannot be created is reported before the window exists.
  static void Initialize();
  // Uses file instead of the per-user settings file (the command line's
  // --settings FILE); an empty name returns to the per-user file. Takes
  // effect at once.
  static void SetSettingsPathname(const std::string& file);
  // The file the store reads and writes.
  static std::string GetIniFilename();
  // Closes the store; the next use opens it again (per-user file).
  static void Finalize();

  // The per-user settings folder, created with its parents when missing;
  // logs an error and still returns the path when that fails.
  static std::string GetSettingsFolder();
  static std::string GetSettingsPathname();

  static int32_t GetActivePageIndex();
  static void SetActivePageIndex(int32_t value);
  static bool GetDebugMessages();
  static void SetDebugMessages(bool value);

  static std::string GetVelmarFilename();
  static void SetVelmarFilename(const std::string& value);
  static std::string GetVelmarOptions();
  static void SetVelmarOptions(const std::string& value);
  static bool GetVelmarSpecifiedOptionsOnly();
  static void SetVelmarSpecifiedOptionsOnly(bool value);
  static uint32_t GetVelmarStartTimeout();
  static void SetVelmarStartTimeout(uint32_t value);
  static uint32_t GetVelmarTimeStepTimeout();
  static void SetVelmarTimeStepTimeout(uint32_t value);

  static bool GetUseExternalProcessor();
  static void SetUseExternalProcessor(bool value);
  static std::string GetExternalProcessorFilename();
  static void SetExternalProcessorFilename(const std::string& value);
  static std::string GetExternalProcessorParameters();
  static void SetExternalProcessorParameters(const std::string& value);
  static std::string GetExternalProcessorCloseCommand();
  static void SetExternalProcessorCloseCommand(const std::string& value);
  // Several lines; stored as one line with the breaks escaped.
  static std::string GetExternalProcessorEnvironment();
  static void SetExternalProcessorEnvironment(const std::string& value);

  // The recent documents, newest first (at most MAX_RECENT_DOCUMENTS).
  // [Record] Variables: comma-separated path prefixes of the numbers the
  // states file keeps ("Abund, K"); empty keeps every number.
  static std::string GetRecordVariables();
  static void SetRecordVariables(const std::string& value);

  static std::vector<std::string> GetRecentDocuments();
  static void SetRecentDocuments(const std::vector<std::string>& documents);
  // Puts path first, dropping an older entry of it and the oldest beyond
  // the limit.
  static void AddRecentDocument(const std::string& path);
  static void RemoveRecentDocument(const std::string& path);

 private:
  static TIniFile& IniFile();
  static void WriteIfChanged(std::string_view section, std::string_view key, std::string_view value);

  static std::unique_ptr<TIniFile> FIniFile;
  static std::string FPathnameOverride;
};
