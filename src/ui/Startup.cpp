#include "ui/Startup.h"

#include "diagnostics/Logging.h"
#include "diagnostics/TextUtils.h"
#include "documents/SettingsUnit.h"

void StartupModules(const std::string& settingsFile) {
  TextUtils::CheckListSeparator();
  if (!settingsFile.empty()) TSettings::SetSettingsPathname(settingsFile);
  TSettings::Initialize();
  SimulationModule().Startup();
  SetSimulator(&SimulationModule());
}

void ShutdownModules() {
  SetSimulator(nullptr);
  SimulationModule().Shutdown();
  FinalizeLogger();
}
