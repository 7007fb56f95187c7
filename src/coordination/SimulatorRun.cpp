// Starting, watching and cancelling a run, and the module's JSON-RPC server.
#include "coordination/WinUtils.h"
#include "coordination/RunInsight.h"
#include "coordination/RunProgress.h"
#include "coordination/Simulator.h"
#include "coordination/SimulatorInternal.h"
#include "diagnostics/Logging.h"
#include "diagnostics/VersionInfo.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "platform/Events.h"
#include "platform/Files.h"

bool InProcess = false;
Platform::TProcessInformation ExternalProcessorProcInfo;
bool ExternalProcessorRunning = false;


namespace {

std::unique_ptr<TJsonRpcServer> gJsonRpcServer;
uint64_t gStartTicks = 0;
bool gLastRunCancelled = false;
// When IsSimulationDone first found the run cancelled (0: not yet, or no
// run); KILL_DONE once the engines left over have been killed.
uint64_t gCancelTicks = 0;
constexpr uint64_t KILL_DONE = UINT64_MAX;

// How long a failed processor has to end after SIGTERM before it is killed.
constexpr uint32_t PROCESSOR_END_GRACE_MS = 2000;

uint64_t WholeSecondsSince(uint64_t startTicks) { return (Platform::GetTickCount64() - startTicks) / 1000; }

// Terminates slot j's engine, saying whether that worked.
void KillSlot(size_t j) {
  TVelmarProcess& slot = Processes[j];
  // An engine that has ended needs no killing; saying it could not be
  // killed would read as if it were still running.
  uint32_t code = 0;
  if (slot.Exited ||
      (Platform::GetExitCodeProcess(slot.ProcInfo.hProcess, code) && code != Platform::STILL_ACTIVE))
    return;
  if (Platform::TerminateProcess(slot.ProcInfo.hProcess, 1)) {
    NoteSlotKilled(static_cast<uint32_t>(j));
    Logger().Log("Killed Velmar process #%d", j);
  } else
    Logger().Log("Could not kill Velmar process #%d", j);
}

// Says why a program could not be started; running out of descriptors is
// named as such, since nothing else about the failure points at it.
void LogExecFailure(const std::string& program) {
  const int error = WinUtils::LastExecError();
  if (Platform::IsOutOfDescriptors(error))
    Logger().Error("Could not start \"%s\": %s; the manager has run out of file descriptors", program,
                   Platform::SysErrorMessage(error));
  else if (error != 0)
    Logger().Error("Could not start \"%s\": %s", program, Platform::SysErrorMessage(error));
}

void ReleaseSlotHandles(TVelmarProcess& slot) {
  Platform::CloseProcessHandle(slot.ProcInfo.hProcess);
  Platform::CloseProcessHandle(slot.ProcInfo.hThread);
}

}  // namespace

std::string VelmarParameters(uint32_t clientID, const std::string& modelPath) {
  const std::string options = TSettings::GetVelmarOptions();
  if (TSettings::GetVelmarSpecifiedOptionsOnly()) return options;
  // The path is quoted so that it reaches the engine as one argument
  // whatever it holds: a quote in it must not end the argument and let the
  // rest pass for options of the engine's.
  return TextUtils::SafeFormat("%s /RUN=YES /RPC=%s /RPCID=%d %s /RpcResponseTimeout=%d", options,
                               VELMAR_PIPE_NAME, clientID, Platform::QuoteArgument(modelPath),
                               static_cast<uint32_t>(TSettings::GetVelmarTimeStepTimeout() + 2));
}

void CheckChildProcesses() {
  // Asking each engine costs a system call, and this runs after every call:
  // the engines are asked only when some process has ended since last time.
  static uint64_t exitsChecked = ~uint64_t{0};
  const uint64_t exitsSeen = Platform::ProcessExitsSeen();
  if (exitsSeen == exitsChecked) return;
  exitsChecked = exitsSeen;
  for (size_t i = 0; i < Processes.size(); ++i) {
    TVelmarProcess& slot = Processes[i];
    if (slot.Exited || slot.ProcInfo.hProcess < 0) continue;
    uint32_t code = 0;
    if (!Platform::GetExitCodeProcess(slot.ProcInfo.hProcess, code) || code == Platform::STILL_ACTIVE) continue;
    const bool wasRunning = slot.IsRunning();
    slot.Exited = true;
    slot.ExitStatus = code;
    slot.Simulating = false;
    NoteProgress();
    if (!wasRunning) continue;
    if (!Cancel) {
      Logger().Error("Velmar #%d exited without finalizing (exit status %d); cancelling simulation", i, code);
      NoteEngineFailed(static_cast<uint32_t>(i));
      Cancel = true;
    } else {
      Logger().Log("Velmar #%d exited", i);
    }
  }
}

bool AnyVelmarProcessRunning() {
  for (const TVelmarProcess& p : Processes)
    if (p.IsRunning()) return true;
  return false;
}

namespace {

// A cancelled run ends when its engines have gone, and an engine that has
// hung (it neither calls nor exits) would keep it going for ever. Every
// call of a cancelled run is answered at once, so an engine still running
// after a time-step time-out plus its own reply time-out will not come
// back: it is killed.
void KillHungEngines() {
  if (!Cancel || !InProcess) {
    gCancelTicks = 0;
    return;
  }
  if (gCancelTicks == KILL_DONE) return;
  if (gCancelTicks == 0) {
    gCancelTicks = Platform::GetTickCount64();
    return;
  }
  if (WholeSecondsSince(gCancelTicks) <= TSettings::GetVelmarTimeStepTimeout() + 2) return;
  gCancelTicks = KILL_DONE;
  for (size_t j = 0; j < Processes.size(); ++j)
    if (Processes[j].IsRunning() && Processes[j].ProcInfo.hProcess >= 0) KillSlot(j);
}

}  // namespace

bool IsSimulationDone() {
  CheckChildProcesses();
  ServeParkedCalls();
  KillHungEngines();
  const bool anyRunning = AnyVelmarProcessRunning();
  const bool stopped = InProcess && !anyRunning;
  InProcess = anyRunning;
  if (ExternalProcessorRunning && !anyRunning) StopExternalProcess();
  if (stopped) {
    gLastRunCancelled = Cancel;
    Logger().Info("Elapsed simulation time: %d seconds", WholeSecondsSince(gStartTicks));
    RunInsight().RunEnded(Platform::MonotonicUs());
  }
  return !InProcess;
}

bool LastRunCancelled() { return gLastRunCancelled; }

void CancelSimulation(TDocument*) { Cancel = true; }

void LogProgramInfo() {
  const std::string path = ProgramFileName();
  TVerInfo info(path);
  const std::string version = info.GetHasVerInfo() && info.GetTranslationCount() > 0
                                  ? info.GetString(info.GetTranslation(0), "FileVersion")
                                  : std::string();
  const auto modified = Platform::FileModifiedTime(path);
  Logger().Log("%s version %s dated %s", path, version,
               modified ? Platform::FormatLocalDateTime(*modified) : std::string());
}

void StartExternalProcessor() {
  Assert(!ExternalProcessorRunning);
  Assert(TSettings::GetUseExternalProcessor());
  const std::string filename = TSettings::GetExternalProcessorFilename();
  const std::string parameters = TSettings::GetExternalProcessorParameters();
  Logger().Debug("Starting \"%s\" with parameters \"%s\"", filename, parameters);
  ResetProcessorBridge();
  int errorOutput = OpenProcessorOutput();
  ExternalProcessorRunning =
      WinUtils::ExecNoWait(filename, parameters, 1, ExternalProcessorProcInfo, ExternalProcessorReadPipe,
                           ExternalProcessorWritePipe, TSettings::GetExternalProcessorEnvironment(), errorOutput);
  Platform::CloseHandleClear(errorOutput);
  if (!ExternalProcessorRunning) {
    LogExecFailure(filename);
    // The pipe ends are ours even when the start failed.
    Platform::CloseHandleClear(ExternalProcessorReadPipe);
    Platform::CloseHandleClear(ExternalProcessorWritePipe);
    throw Exception(TextUtils::SafeFormat("Could not start external processor \"%s\"", filename));
  }
  Logger().Log("External processor started");
}

void StopExternalProcess() {
  Assert(ExternalProcessorRunning);
  // A processor that failed gets nothing more, not even the close command:
  // it is ended, so that a hung one does not outlive the run.
  const bool failed = ExternalProcessorFailed();
  const std::string command = TSettings::GetExternalProcessorCloseCommand();
  if (!command.empty() && !failed) {
    Logger().Debug("Writing [%s] to external processor pipe", command);
    const std::string line = command + TextUtils::CRLF;
    size_t written = 0;
    const int error = Platform::WritePipe(ExternalProcessorWritePipe, line.data(), line.size(), written);
    if (error != 0)
      Logger().Error("Could not write to external processor pipe: %s (error code %d)",
                     Platform::SysErrorMessage(error), error);
  }
  Platform::CloseHandleClear(ExternalProcessorReadPipe);
  Platform::CloseHandleClear(ExternalProcessorWritePipe);
  if (failed && Platform::EndProcess(ExternalProcessorProcInfo.hProcess, PROCESSOR_END_GRACE_MS))
    Logger().Log("External processor ended after its failure");
  Platform::CloseProcessHandle(ExternalProcessorProcInfo.hProcess);
  Platform::CloseProcessHandle(ExternalProcessorProcInfo.hThread);
  ResetProcessorReader();
  ExternalProcessorRunning = false;
}

void StartProcess(const TModel& model, TVelmarProcess& slot) {
  const uint64_t waitStart = Platform::GetTickCount64();
  const uint32_t id = slot.ClientID;
  slot.Initialized = false;
  slot.Filename = model.GetFilename();
  slot.Params = VelmarParameters(id, slot.Filename);
  const std::string program = TSettings::GetVelmarFilename();
  Logger().Debug("Starting \"%s\" with parameters \"%s\"", program, slot.Params);
  // Without a file of its own, both of the engine's streams go to our
  // standard error, so that our standard output carries the log alone.
  int output = OpenEngineOutput(id);
  slot.Started =
      WinUtils::ExecNoWait(program, slot.Params, 1, slot.ProcInfo, output >= 0 ? output : Platform::StdErrorHandle());
  Platform::CloseHandleClear(output);
  NoteProgress();
  if (!slot.Started) {
    LogExecFailure(program);
    throw Exception(TextUtils::SafeFormat("Could not start Velmar for \"%s\"", slot.Filename));
  }
  slot.StartTime = Platform::LocalNow();
  Logger().Log("Velmar #%d started", id);
  RunInsight().EngineLaunched(id, slot.ProcInfo.dwProcessId, Platform::MonotonicUs());
  // The slot is looked up by index after every pass, never through a
  // reference held across nested calls.
  while (!Cancel && !Processes[id].Initialized && !Processes[id].Exited &&
         WholeSecondsSince(waitStart) <= TSettings::GetVelmarStartTimeout())
    WaitPass();
  if (Cancel) throw Exception("Canceled");
  if (!Processes[id].Initialized) {
    // Whatever the engine said about it is in its output file.
    NoteEngineFailed(id);
    if (Processes[id].Exited)
      throw Exception(TextUtils::SafeFormat("Velmar exited before initializing (exit status %d)",
                                            Processes[id].ExitStatus));
    throw Exception("Timed out waiting for Velmar to initialize");
  }
}

void StartSimulation(TDocument& document) {
  // The engines of a cancelled run that have not ended yet would keep the
  // previous run alive for ever: they are stopped first.
  if (!IsSimulationDone() && Cancel) {
    for (size_t j = 0; j < Processes.size(); ++j)
      if (Processes[j].IsRunning()) {
        KillSlot(j);
        Processes[j].Exited = true;
        Processes[j].Simulating = false;
      }
  }
  Assert(IsSimulationDone());
  Assert(!InProcess);
  gStartTicks = Platform::GetTickCount64();
  InProcess = false;
  Cancel = false;
  gLastRunCancelled = false;
  NoteRunStarting(document);
  Logger().Log();
  LogProgramInfo();

  const std::string program = TSettings::GetVelmarFilename();
  if (!Platform::FileExists(program))
    throw Exception(TextUtils::SafeFormat(
        "Could not find Velmar executable at \"%s\".  Please locate it on the Settings tab.", program));
  TJsonRpcServer& server = JsonRpcServer();
  if (TSettings::GetUseExternalProcessor()) {
    const std::string processor = TSettings::GetExternalProcessorFilename();
    if (!Platform::FileExists(processor))
      throw Exception(TextUtils::SafeFormat(
          "Could not find external processor executable at \"%s\".  Please locate it on the Settings tab.",
          processor));
    server.SetOnRPC(nullptr);
    server.SetOnRPCRaw(&TRpcHandler::OnRPCRaw);
    StartExternalProcessor();
  } else {
    server.SetOnRPC(&TRpcHandler::OnRPC);
    server.SetOnRPCRaw(nullptr);
  }

  size_t i = 0;
  try {
    // Handles of the previous run's slots are released as the slots are
    // reused or dropped.
    for (size_t j = document.ModelCount(); j < Processes.size(); ++j) ReleaseSlotHandles(Processes[j]);
    Processes.resize(document.ModelCount());
    for (i = 0; i < Processes.size(); ++i) {
      ReleaseSlotHandles(Processes[i]);
      Processes[i].Clear();
      Processes[i].ClientID = static_cast<uint32_t>(i);
      NoteSlotCleared(static_cast<uint32_t>(i));
      StartProcess(*document.GetModel(static_cast<uint32_t>(i)), Processes[i]);
      Logger().Log("Velmar started and initialized for model #%d", i);
    }
  } catch (...) {
    for (size_t j = 0; j <= i && j < std::max<size_t>(Processes.size(), 1); ++j) {
      if (j < Processes.size())
        KillSlot(j);
      else
        Logger().Log("Could not kill Velmar process #%d", j);
    }
    if (ExternalProcessorRunning) StopExternalProcess();
    RunInsight().RunEnded(Platform::MonotonicUs());
    throw;
  }
  InProcess = true;
}

TJsonRpcServer& JsonRpcServer() {
  Assert(gJsonRpcServer != nullptr);
  return *gJsonRpcServer;
}

bool HasJsonRpcServer() { return gJsonRpcServer != nullptr; }

void InitializeSimulator() { SetJsonRpcServer(TJsonRpcServer::Create(VELMAR_PIPE_NAME)); }

void SetJsonRpcServer(std::unique_ptr<TJsonRpcServer> server) {
  ForgetParkedCalls();
  gJsonRpcServer = std::move(server);
  // A call may open the barrier for calls held there, and may change what
  // the run monitor shows.
  if (gJsonRpcServer)
    gJsonRpcServer->SetOnCallDone([] {
      ServeParkedCalls();
      NoteProgress();
    });
}

void FinalizeSimulator() {
  ForgetParkedCalls();
  gJsonRpcServer.reset();
  for (TVelmarProcess& p : Processes) ReleaseSlotHandles(p);
  Processes.clear();
}
