#include "ui/Startup.h"

#include "diagnostics/Logging.h"
#include "diagnostics/TextUtils.h"
#include "documents/SettingsUnit.h"
#include "platform/Process.h"

void StartupModules(const std::string& settingsFile) {
  // A write past the file-size limit fails like one to a full disk instead
  // of killing the program; and every engine costs descriptors.
  Platform::IgnoreWriteSignals();
  Platform::RaiseDescriptorLimit();
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
