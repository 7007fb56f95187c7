// The settings a run uses (see RunSettings.h).
#include "coordination/RunSettings.h"

#include "documents/SettingsUnit.h"

namespace {

// How much longer than the manager holds a call an engine waits for its reply.
constexpr uint32_t ENGINE_REPLY_MARGIN_SECONDS = 2;

}  // namespace

TRunSettings TRunSettings::Read() {
  TRunSettings s;
  s.VelmarFilename = TSettings::GetVelmarFilename();
  s.VelmarOptions = TSettings::GetVelmarOptions();
  s.VelmarSpecifiedOptionsOnly = TSettings::GetVelmarSpecifiedOptionsOnly();
  s.VelmarStartTimeout = TSettings::GetVelmarStartTimeout();
  s.UseExternalProcessor = TSettings::GetUseExternalProcessor();
  s.ExternalProcessorFilename = TSettings::GetExternalProcessorFilename();
  s.ExternalProcessorParameters = TSettings::GetExternalProcessorParameters();
  s.ExternalProcessorEnvironment = TSettings::GetExternalProcessorEnvironment();
  s.RecordVariables = TSettings::GetRecordVariables();
  return s;
}

uint32_t EngineReplyTimeoutSeconds() { return TSettings::GetVelmarTimeStepTimeout() + ENGINE_REPLY_MARGIN_SECONDS; }
