// Starting, watching and cancelling a run, and the module's JSON-RPC server.
#include <cerrno>
#include <typeinfo>

#include "coordination/RunSettings.h"
#include "coordination/Simulation.h"
#include "coordination/WinUtils.h"
#include "diagnostics/Logging.h"
#include "diagnostics/VersionInfo.h"
#include "documents/Documents.h"
#include "platform/Events.h"
#include "platform/Files.h"
#include "platform/ProcessControl.h"

namespace {

// FCancelTicks once the engines left over from a cancelled run have been killed.
constexpr uint64_t KILL_DONE = UINT64_MAX;
// An engine sent SIGTERM has this long to end before it is killed.
constexpr uint64_t ENGINE_END_GRACE_MS = 2000;

void ReleaseSlotHandles(TVelmarProcess& slot) {
  Platform::CloseProcessHandle(slot.ProcInfo.hProcess);
  Platform::CloseProcessHandle(slot.ProcInfo.hThread);
}

}  // namespace

// Terminates slot j's engine, saying whether that worked.
void TSimulation::KillSlot(size_t j) {
  TVelmarProcess& slot = Processes[j];
  // An engine that has ended needs no killing; saying it could not be
  // killed would read as if it were still running.
  uint32_t code = 0;
  if (slot.Exited ||
      (Platform::GetExitCodeProcess(slot.ProcInfo.hProcess, code) && code != Platform::STILL_ACTIVE))
    return;
  if (Platform::TerminateProcess(slot.ProcInfo.hProcess)) {
    FRows.NoteSlotKilled(static_cast<uint32_t>(j));
    Logger().Log("Killed Velmar process #%d", j);
  } else
    Logger().Log("Could not kill Velmar process #%d", j);
}

// Sends slot j's engine SIGTERM, so that it may end as it ends itself.
void TSimulation::AskSlotToEnd(size_t j) {
  if (Platform::RequestProcessStop(Processes[j].ProcInfo.hProcess))
    Logger().Log("Asked Velmar process #%d to end (SIGTERM)", j);
}

std::string LogExecFailure(const std::string& program, int error) {
  if (error == 0) return std::string();
  const std::string reason = Platform::SysErrorMessage(error);
  if (Platform::IsOutOfDescriptors(error))
    Logger().Error("Could not start \"%s\": %s; the manager has run out of file descriptors", program, reason);
  else
    Logger().Error("Could not start \"%s\": %s", program, reason);
  return TextUtils::SafeFormat("\"%s\": %s", program, reason);
}

std::string VelmarParameters(const TRunSettings& settings, uint32_t clientID, const std::string& modelPath) {
  const std::string& options = settings.VelmarOptions;
  if (settings.VelmarSpecifiedOptionsOnly) return options;
  // The path is quoted so that it reaches the engine as one argument
  // whatever it holds: a quote in it must not end the argument and let the
  // rest pass for options of the engine's.
  return TextUtils::SafeFormat("%s /RUN=YES /RPC=%s /RPCID=%d %s /RpcResponseTimeout=%d", options,
                               VELMAR_PIPE_NAME, clientID, Platform::QuoteArgument(modelPath),
                               EngineReplyTimeoutSeconds());
}

void TSimulation::CheckChildProcesses() {
  // Asking each engine costs a system call, and this runs after every call:
  // the engines are asked only when some process has ended since last time.
  const uint64_t exitsSeen = Platform::ProcessExitsSeen();
  if (exitsSeen == FExitsChecked) return;
  FExitsChecked = exitsSeen;
  for (size_t i = 0; i < Processes.size(); ++i) {
    TVelmarProcess& slot = Processes[i];
    if (slot.Exited || slot.ProcInfo.hProcess < 0) continue;
    uint32_t code = 0;
    if (!Platform::GetExitCodeProcess(slot.ProcInfo.hProcess, code) || code == Platform::STILL_ACTIVE) continue;
    const bool wasRunning = slot.IsRunning();
    slot.Exited = true;
    slot.ExitStatus = code;
    slot.Simulating = false;
    NoteEngineEnded(static_cast<uint32_t>(i));
    FRows.NoteProgress();
    if (!wasRunning) continue;
    if (!Cancel) {
      Logger().Error("Velmar #%d exited without finalizing (exit status %d); cancelling simulation", i, code);
      FRows.NoteEngineFailed(static_cast<uint32_t>(i));
      Cancel = true;
    } else {
      Logger().Log("Velmar #%d exited", i);
    }
  }
}

bool TSimulation::AnyVelmarProcessRunning() const {
  for (const TVelmarProcess& p : Processes)
    if (p.IsRunning()) return true;
  return false;
}

// A cancelled run ends when its engines have gone, and an engine that has
// hung (it neither calls nor exits) would keep it going for ever. Every
// call of a cancelled run is answered at once, so an engine still running
// after a time-step time-out plus its own reply time-out will not come
// back: it is sent SIGTERM, and killed when it has not ended a moment
// later. EndEngines skips the time-out.
void TSimulation::KillHungEngines() {
  if (!Cancel || !InProcess) {
    FCancelTicks = 0;
    FTermTicks = 0;
    FEndEnginesNow = false;
    return;
  }
  if (FCancelTicks == KILL_DONE) return;
  const uint64_t now = Platform::GetTickCount64();
  if (FCancelTicks == 0) {
    FCancelTicks = now;
    if (!FEndEnginesNow) return;
  }
  auto running = [this](size_t j) { return Processes[j].IsRunning() && Processes[j].ProcInfo.hProcess >= 0; };
  if (FTermTicks == 0) {
    if (!FEndEnginesNow && WholeSecondsSince(FCancelTicks) <= EngineReplyTimeoutSeconds()) return;
    FTermTicks = now;
    for (size_t j = 0; j < Processes.size(); ++j)
      if (running(j)) AskSlotToEnd(j);
    return;
  }
  if (now - FTermTicks < ENGINE_END_GRACE_MS) return;
  FCancelTicks = KILL_DONE;
  for (size_t j = 0; j < Processes.size(); ++j)
    if (running(j)) KillSlot(j);
}

bool TSimulation::IsSimulationDone() {
  CheckChildProcesses();
  ServeParkedCalls();
  KillHungEngines();
  const bool anyRunning = AnyVelmarProcessRunning();
  const bool stopped = InProcess && !anyRunning;
  InProcess = anyRunning;
  if (FProcessor.Running() && !anyRunning) StopExternalProcess();
  if (stopped) {
    FLastRunCancelled = Cancel;
    Logger().Info("Elapsed simulation time: %d seconds", WholeSecondsSince(FStartTicks));
    FLastFingerprint.clear();
    if (FFingerprint.Any()) {
      uint32_t steps = 0;
      FLastFingerprint = FFingerprint.Finish(steps);
      Logger().Info("Run fingerprint: %s (%d steps)", FLastFingerprint, steps);
    }
    for (const std::string& line : FStates.RunEnded()) Logger().Info(line);
    FInsight.RunEnded(Platform::MonotonicUs(), FLastFingerprint);
  }
  return !InProcess;
}

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

void TSimulation::StartExternalProcessor(const TRunSettings& settings) {
  Assert(settings.UseExternalProcessor);
  int errorOutput = FRows.OpenProcessorOutput();
  try {
    FProcessor.Start(settings, errorOutput);
  } catch (...) {
    Platform::CloseHandleClear(errorOutput);
    throw;
  }
  Platform::CloseHandleClear(errorOutput);
}

void TSimulation::StopExternalProcess() { FProcessor.Stop(); }

void TSimulation::StartProcess(const TModel& model, uint32_t id) {
  const uint64_t waitStart = Platform::GetTickCount64();
  TVelmarProcess& slot = Processes[id];
  slot.Initialized = false;
  slot.Filename = model.GetFilename();
  slot.Params = VelmarParameters(FRunSettings, id, slot.Filename);
  const std::string& program = FRunSettings.VelmarFilename;
  Logger().Debug("Starting \"%s\" with parameters \"%s\"", program, slot.Params);
  // Without a file of its own, both of the engine's streams go to our
  // standard error, so that our standard output carries the log alone.
  int output = FRows.OpenEngineOutput(id);
  const WinUtils::TExecResult exec =
      WinUtils::ExecNoWait(program, slot.Params, slot.ProcInfo, output >= 0 ? output : Platform::StdErrorHandle());
  slot.Started = static_cast<bool>(exec);
  Platform::CloseHandleClear(output);
  FRows.NoteProgress();
  if (!slot.Started) {
    const std::string cause = LogExecFailure(program, exec.Error);
    throw ERunStartError(TextUtils::SafeFormat("Could not start Velmar for \"%s\"", slot.Filename), cause);
  }
  slot.StartTime = Platform::LocalNow();
  Logger().Log("Velmar #%d started", id);
  FInsight.EngineLaunched(id, slot.ProcInfo.dwProcessId, Platform::MonotonicUs());
  // The slot is looked up by index after every pass, never through a
  // reference held across nested calls.
  while (!Cancel && !Processes[id].Initialized && !Processes[id].Exited &&
         WholeSecondsSince(waitStart) <= FRunSettings.VelmarStartTimeout)
    WaitPass();
  // A processor that failed cancelled the start: its reason is the
  // start's, not the user's Stop.
  if (Cancel) throw Exception(FProcessor.Failed() ? FProcessor.FailureReason() : std::string("Canceled"));
  if (!Processes[id].Initialized) {
    // Whatever the engine said about it is in its output file.
    FRows.NoteEngineFailed(id);
    if (Processes[id].Exited)
      throw Exception(TextUtils::SafeFormat("Velmar exited before initializing (exit status %d)",
                                            Processes[id].ExitStatus));
    throw Exception("Timed out waiting for Velmar to initialize");
  }
}

void TSimulation::StartSimulation(TDocument& document) {
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
  FStartTicks = Platform::GetTickCount64();
  InProcess = false;
  Cancel = false;
  FLastRunCancelled = false;
  FLastFingerprint.clear();
  FOrdered.clear();
  // Every part of every engine starts afresh; each module then takes its
  // engines on.
  FEngines.assign(document.ModelCount(), TRunEngine{});
  FOrder.Reset(document.ModelCount());
  FFingerprint.Reset(document.ModelCount());
  FRows.NoteRunStarting(document);
  FInsight.RunStarting(FRows.Filenames(), Platform::MonotonicUs());
  Logger().Log();
  LogProgramInfo();

  FRunSettings = TRunSettings::Read();
  const std::string& program = FRunSettings.VelmarFilename;
  if (!Platform::FileExists(program))
    throw Exception(TextUtils::SafeFormat(
        "Could not find Velmar executable at \"%s\".  Please locate it on the Settings tab.", program));
  TJsonRpcServer& server = JsonRpcServer();
  const bool useProcessor = FRunSettings.UseExternalProcessor;
  if (useProcessor) {
    const std::string& processor = FRunSettings.ExternalProcessorFilename;
    if (!Platform::FileExists(processor))
      throw Exception(TextUtils::SafeFormat(
          "Could not find external processor executable at \"%s\".  Please locate it on the Settings tab.",
          processor));
  }
  // A model the engine could not read fails the start before anything is
  // launched, so no output file of the last run is emptied.
  for (uint32_t m = 0; m < document.ModelCount(); ++m) {
    const std::string model = document.GetModel(m)->GetFilename();
    int error = Platform::ExistingFileReadError(model);
    if (!error && !Platform::FileExists(model)) error = ENOENT;
    if (error)
      throw Exception(TextUtils::SafeFormat("Could not read model #%d \"%s\": %s; nothing was started", m, model,
                                            Platform::SysErrorMessage(error)));
  }
  if (useProcessor) {
    server.SetOnRPC(nullptr);
    server.SetOnRPCRaw([this](uint32_t pipe, std::string_view rpc) { return OnRPCRaw(pipe, rpc); });
    StartExternalProcessor(FRunSettings);
  } else {
    // The states are read from the call's text: the server builds only the
    // outline of each call.
    server.SetOnRPC([this](uint32_t pipe, const std::string& method,
                           const IJsonValue& params) { return OnRPC(pipe, method, params); },
                    true);
    server.SetOnRPCRaw(nullptr);
  }

  // The states file is emptied only once the run is to start, like the
  // engines' output files.
  FStates.RunStarting(FRows.StatesFilename(), FRows.Filenames(), FRunSettings.RecordVariables);
  size_t i = 0;
  // Until the last engine has initialised, the ones not launched yet hold
  // the others at the barrier as engines that have completed no step.
  FLaunching = true;
  FLaunchNext = 0;
  try {
    // Handles of the previous run's slots are released as the slots are
    // reused or dropped.
    for (size_t j = document.ModelCount(); j < Processes.size(); ++j) ReleaseSlotHandles(Processes[j]);
    Processes.resize(document.ModelCount());
    for (i = 0; i < Processes.size(); ++i) {
      ReleaseSlotHandles(Processes[i]);
      Processes[i].Clear();
      Processes[i].ClientID = static_cast<uint32_t>(i);
      FRows.NoteSlotCleared(static_cast<uint32_t>(i));
      try {
        StartProcess(*document.GetModel(static_cast<uint32_t>(i)), static_cast<uint32_t>(i));
      } catch (const Exception& e) {
        // The window's status line names the engine; the error and its log
        // line stay as they were.
        if (Cancel || typeid(e) != typeid(Exception)) throw;
        throw EEngineStartFailed(static_cast<uint32_t>(i), e.Message());
      }
      FLaunchNext = i + 1;
      Logger().Log("Velmar started and initialized for model #%d", i);
    }
  } catch (...) {
    FLaunching = false;
    FLaunchEndTicks = Platform::GetTickCount64();
    for (size_t j = 0; j <= i && j < std::max<size_t>(Processes.size(), 1); ++j) {
      if (j < Processes.size())
        KillSlot(j);
      else
        Logger().Log("Could not kill Velmar process #%d", j);
    }
    if (FProcessor.Running()) StopExternalProcess();
    FStates.RunEnded();
    FInsight.RunEnded(Platform::MonotonicUs());
    throw;
  }
  FLaunching = false;
  FLaunchEndTicks = Platform::GetTickCount64();
  InProcess = true;
}

// ---- The object itself ------------------------------------------------------

TSimulation::TSimulation() : FProcessor(Cancel, FInsight), FRows(FEngines) {}

TSimulation::~TSimulation() { Shutdown(); }

void TSimulation::Startup() { SetJsonRpcServer(TJsonRpcServer::Create(VELMAR_PIPE_NAME)); }

void TSimulation::Shutdown() {
  FParked.clear();
  FOrdered.clear();
  FServer.reset();
  // Every process handle goes now, while the platform's process watcher is
  // still there: the module itself lives until the program's exit, and the
  // watcher may be gone by the time it is destroyed.
  for (TVelmarProcess& p : Processes) ReleaseSlotHandles(p);
  Processes.clear();
  FProcessor.Release();
}

TJsonRpcServer& TSimulation::JsonRpcServer() {
  Assert(FServer != nullptr);
  return *FServer;
}

void TSimulation::SetJsonRpcServer(std::unique_ptr<TJsonRpcServer> server) {
  FParked.clear();
  FOrdered.clear();
  FServer = std::move(server);
  // A call may open the barrier for calls held there, and may change what
  // the run monitor shows.
  if (FServer)
    FServer->SetOnCallDone([this] {
      ServeParkedCalls();
      FRows.NoteProgress();
    });
}

bool TSimulation::IsSimulationDone(bool& cancelled) {
  const bool done = IsSimulationDone();
  cancelled = done && FLastRunCancelled;
  return done;
}

TRunProgress TSimulation::Progress() {
  TRunProgress progress = FRows.Snapshot(Processes, [this](uint32_t slot) {
    std::string reason;
    if (IsHeldAtBarrier(slot)) CanStartTimestep(slot, Processes[slot].TimeStep, reason);
    return reason;
  });
  AddTimings(progress, FInsight.Timings(), Platform::MonotonicUs());
  return progress;
}

size_t TSimulation::ComputingPerStep(uint32_t engine, size_t from, std::vector<float>& out) {
  return FInsight.Timings().ComputingSeries(engine, from, out);
}
