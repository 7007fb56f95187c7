#include "ui/Startup.h"

#include "Shared/Componen/ThreadSync.h"
#include "diagnostics/Logging.h"
#include "diagnostics/TextUtils.h"
#include "diagnostics/VersionInfo.h"
#include "documents/SettingsUnit.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/ProfileFile.h"

#include <cerrno>
#include <string>

TSimulation& SimulationModule() {
  static TSimulation simulation;
  return simulation;
}

void StartupModules(const std::string& settingsFile) {
  // A write past the file-size limit fails like one to a full disk instead
  // of killing the program; and every engine costs descriptors.
  Platform::IgnoreWriteSignals();
  Platform::RaiseDescriptorLimit();
  TextUtils::CheckListSeparator();
  if (!settingsFile.empty()) {
    // A file that is not there yet is made at the first change; one that
    // is there but cannot be read would silently give every default.
    if (!Platform::PathExists(settingsFile))
      Logger().Warn("The settings file \"%s\" does not exist; the defaults are used, and a setting that changes is "
                    "written to it",
                    settingsFile);
    else if (const int error = Platform::ExistingFileReadError(settingsFile); error != 0)
      Logger().Warn("Could not read the settings file \"%s\": %s; the defaults are used", settingsFile,
                    Platform::SysErrorMessage(error));
    TSettings::SetSettingsPathname(settingsFile);
  }
  TSettings::Initialize();
  // A file that is read as empty, or not written, says why at once rather
  // than at the first setting that changes.
  const std::string settings = TSettings::GetIniFilename();
  const Platform::TProfileFileCheck check = Platform::CheckProfileFile(settings);
  if (check.Error == EFBIG)
    Logger().Warn("The settings file \"%s\" is too large (%s bytes; at most %s); the defaults are used and it is not "
                  "written",
                  settings, std::to_string(check.Size), std::to_string(Platform::PROFILE_MAX_FILE_SIZE));
  else if (check.Error == 0 && !check.Writable)
    Logger().Warn("The settings file \"%s\" holds bytes that are not text; it is read as far as it can be, and not "
                  "written",
                  settings);
  InitializeThreadSync();
  SimulationModule().Startup();
  SetSimulator(&SimulationModule());
}

void ShutdownModules() {
  SetSimulator(nullptr);
  SimulationModule().Shutdown();
  FinalizeThreadSync();
  FinalizeLogger();
}

std::string ProgramVersion() {
  TVerInfo info(ProgramFileName());
  if (!info.GetHasVerInfo() || info.GetTranslationCount() == 0) return "unknown";
  return info.GetString(info.GetTranslation(0), "FileVersion");
}
