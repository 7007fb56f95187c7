#include "ui/Startup.h"

#include "Shared/Componen/ThreadSync.h"
#include "diagnostics/Logging.h"
#include "diagnostics/TextUtils.h"
#include "diagnostics/VersionInfo.h"
#include "documents/SettingsUnit.h"
#include "platform/Files.h"
#include "platform/Process.h"

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
    if (const int error = Platform::ExistingFileReadError(settingsFile); error != 0)
      Logger().Warn("Could not read the settings file \"%s\": %s; the defaults are used", settingsFile,
                    Platform::SysErrorMessage(error));
    TSettings::SetSettingsPathname(settingsFile);
  }
  TSettings::Initialize();
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
