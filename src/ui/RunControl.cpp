#include "ui/RunControl.h"

#include <algorithm>
#include <filesystem>
#include <map>

#include "diagnostics/TextUtils.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/ScopeExit.h"

namespace {
ISimulator* TheSimulator = nullptr;
}

ISimulator& Simulator() {
  if (!TheSimulator) throw Exception("No simulation module is installed");
  return *TheSimulator;
}

ISimulator* InstalledSimulator() { return TheSimulator; }

ISimulator* SetSimulator(ISimulator* simulator) {
  ISimulator* previous = TheSimulator;
  TheSimulator = simulator;
  return previous;
}

std::string TRunControl::LogFilenameFor(const std::string& documentPath) {
  return Platform::ChangeFileExt(documentPath, ".log");
}

std::string TRunControl::SharedModelFileWarning(const TDocument& document) {
  // The engines resolve a relative path from the manager's working folder.
  std::map<std::string, uint32_t> seen;
  for (uint32_t i = 0; i < document.ModelCount(); ++i) {
    const std::string& name = document.GetModel(i)->GetFilename();
    std::error_code ec;
    const std::filesystem::path whole = std::filesystem::absolute(name, ec).lexically_normal();
    const auto [at, added] = seen.emplace(ec ? name : whole.string(), i);
    if (!added)
      return TextUtils::SafeFormat(
          "Model %d and Model %d use the same model file \"%s\"; their engines would overwrite each other's results",
          at->second + 1, i + 1, name);
  }
  return std::string();
}

// The status line of a failed start names the engine that failed.
std::string TRunControl::FailureStatus(const std::exception& e) {
  std::string text = "Simulation failed: ";
  if (const auto* failed = dynamic_cast<const EEngineStartFailed*>(&e))
    text += "Velmar #" + std::to_string(failed->Engine()) + ": ";
  text += e.what();
  // The program that could not be launched and why, beside the message.
  if (const auto* start = dynamic_cast<const ERunStartError*>(&e); start && !start->Cause().empty())
    text += ": " + start->Cause();
  return text;
}

void TRunControl::SetSimulationTimer(bool on) {
  FSimulationTimerOn = on;
  FHost.SetSimulationTimer(on);
}

void TRunControl::ArmAutorun() {
  FAutorun = true;
  FHost.SetStartTimer(true);
}

void TRunControl::SimulateStartActionExecute() {
  // Start stays disabled while a start is under way, but a queued
  // AM_START_SIMULATION or a stray shortcut must not start a second run
  // inside the first one's wait.
  if (FStarting || FSimulating) return;
  try {
    FHost.ControlsToDocument();
    FHost.ControlsToSettings();
    // Two models on one file are allowed (a test of the same model twice
    // may be meant), but their results would mix: the run goes on, warned
    // in the log and, while it runs, in the status.
    TDocument* shown = FHost.CurrentDocument();
    const std::string warning = shown ? SharedModelFileWarning(*shown) : std::string();
    FSimulating = true;
    FOutcome = roNone;
    FStarting = true;
    TDocument* document = FHost.CurrentDocument();
    if (document) FRunDocument = document->GetFilename();
    FRunInProgress = true;
    FHost.ShowRunStatus("");
    if (!warning.empty()) {
      Logger().Warn("%s", warning);
      FHost.ShowRunStatus("Warning: " + warning);
    }
    FHost.UpdateControls();
    try {
      Assert(document != nullptr);
      // A model whose name was cut would run another file than meant.
      if (const std::string cut = document->CutFilenameError(); !cut.empty()) throw Exception(cut);
      Simulator().StartSimulation(*document);
      FStarting = false;
      SetSimulationTimer(true);
    } catch (const std::exception& e) {
      FStarting = false;
      FSimulating = false;
      FOutcome = roFailed;
      Logger().Exception("Simulation failed", e, false);
      FHost.ShowRunStatus(FailureStatus(e));
      // A failed start has ended (or killed) what it launched.
      RunOver();
    }
  } catch (...) {
    FStarting = false;
    FSimulating = false;
    RunOver();
    FlushLog();
    FHost.UpdateControls();
    throw;
  }
  FlushLog();
  FHost.UpdateControls();
}

void TRunControl::SimulateStopActionExecute() {
  if (FHost.CurrentDocument()) Simulator().CancelSimulation();
  FSimulating = false;
  if (FOutcome == roNone) FOutcome = roStopped;
  Logger().Info("Cancelled simulation");
  FHost.ShowRunStatus("Cancelled simulation");
  FlushLog();
  FHost.UpdateControls();
}

void TRunControl::RunOver() {
  FRunInProgress = false;
  FRunDocument.reset();
}

void TRunControl::WatchStoppedRun() {
  if (!FRunInProgress || FSimulating || FStarting || FSimulationTimerOn) return;
  bool cancelled = false;
  try {
    if (!Simulator().IsSimulationDone(cancelled)) return;
  } catch (...) {
    // Reported once by the caller; asking again every tick would only
    // repeat it.
    RunOver();
    FHost.UpdateControls();
    throw;
  }
  FlushLog();  // the run's last lines still go to its own file
  RunOver();
  FHost.UpdateControls();
}

void TRunControl::SimulationTimerTimer() {
  if (!FSimulating) {
    Logger().Debug("Simulation timer is running but simulation is not running!");
    FlushLog();
    SetSimulationTimer(false);
    FHost.UpdateControls();
    return;
  }
  bool cancelled = false;
  if (!Simulator().IsSimulationDone(cancelled)) return;
  SetSimulationTimer(false);
  FSimulating = false;
  // A run that ended because it was cancelled did not complete: say so,
  // and keep an unattended window open so the user sees why.
  // The status keeps the fingerprint in sight for comparing runs.
  const std::string fingerprint = Simulator().RunFingerprint();
  const std::string mark = fingerprint.empty() ? std::string() : " (run fingerprint " + fingerprint + ")";
  if (cancelled) {
    FOutcome = roCancelled;
    Logger().Error("Simulation was cancelled");
    FHost.ShowRunStatus("Simulation was cancelled" + mark);
  } else {
    FOutcome = roComplete;
    Logger().Info("Simulation complete");
    FHost.ShowRunStatus("Simulation complete" + mark);
  }
  FlushLog();
  RunOver();
  FHost.UpdateControls();
  if (FAutorun && !cancelled) FHost.CloseMainWindow();
}

void TRunControl::StartTimerTimer() {
  FHost.SetStartTimer(false);
  Assert(FAutorun);
  FHost.PostStartSimulation();
}

bool TRunControl::DebugLinesWanted() { return TSettings::GetDebugMessages(); }

void TRunControl::LogMessage(const TLogEvent& event, bool& handled) {
  handled = true;
  if (event.EventType == etDebug && !DebugLinesWanted()) return;
  FPendingLines.push_back(event.Message);
  // The document decides the log file now; whether it has one (a file at
  // its name) is looked at when the lines are written.
  TDocument* document = FHost.CurrentDocument();
  if (FRunDocument || document) {
    const std::string& name = FRunDocument ? *FRunDocument : document->GetFilename();
    if (FPendingFileText.empty() || FPendingFileText.back().Document != name)
      FPendingFileText.push_back({name, std::move(FSpareFileText)});
    std::string& text = FPendingFileText.back().Text;
    text += event.Message;
    if (!event.Message.ends_with(TextUtils::CRLF)) text += TextUtils::CRLF;
  }
  RequestLogFlush();
}

void TRunControl::RequestLogFlush() {
  // A flush under way takes the line along; a scheduled one will.
  if (FFlushingLog || FLogFlushScheduled) return;
  const uint64_t now = Platform::GetTickCount64();
  if (!FLogIntervalStart || now - *FLogIntervalStart >= LOG_FLUSH_INTERVAL) {
    FLogIntervalStart = now;
    FLinesAtOnce = 0;
  }
  if (FLinesAtOnce < LOG_LINES_AT_ONCE) {
    ++FLinesAtOnce;
    WriteLog(true);
  } else {
    FLogFlushScheduled = true;
    FHost.ScheduleLogFlush(static_cast<unsigned>(LOG_FLUSH_INTERVAL - (now - *FLogIntervalStart)));
  }
}

void TRunControl::FlushLog() { WriteLog(false); }

void TRunControl::LogFlushDue() {
  FLogFlushScheduled = false;
  WriteLog(true);
}

void TRunControl::WriteLog(bool bounded) {
  if (FFlushingLog) return;
  FFlushingLog = true;
  const Platform::TScopeExit done([this] { FFlushingLog = false; });
  const uint64_t start = Platform::GetTickCount64();
  // Every round writes what the files are owed. A failed write logs its
  // report, which comes back into LogMessage and is taken along by the next.
  for (bool first = true;; first = false) {
    const bool timeLeft = !bounded || first || Platform::GetTickCount64() - start < LOG_PASS_BUDGET;
    const size_t pending = FPendingLines.size() - FFirstPendingLine;
    if (timeLeft && pending > 0) {
      const size_t shown = bounded ? std::min(pending, LOG_LINES_PER_APPEND) : pending;
      FHost.ShowLogLines(std::span<const std::string>(FPendingLines.data() + FFirstPendingLine, shown));
      FFirstPendingLine += shown;
      if (FFirstPendingLine == FPendingLines.size()) {
        FPendingLines.clear();
        FFirstPendingLine = 0;
      }
    }
    if (!FPendingFileText.empty())
      WriteLogFiles();
    else if (!timeLeft || FPendingLines.empty())
      break;
  }
  if (!FPendingLines.empty() && !FLogFlushScheduled) {
    FLogFlushScheduled = true;
    FHost.ScheduleLogFlush(0);
  }
}

void TRunControl::WriteLogFiles() {
  std::vector<TPendingFileText> pending;
  pending.swap(FPendingFileText);
  for (const TPendingFileText& file : pending) {
    if (!Platform::FileExists(file.Document)) continue;
    const std::string logFile = LogFilenameFor(file.Document);
    try {
      TextUtils::AppendLinesToFile(file.Text, logFile);
    } catch (const std::exception& e) {
      if (FWarnedAboutLogFailure) continue;
      FWarnedAboutLogFailure = true;
      // Comes back into LogMessage; its own write fails silently then.
      Logger().Exception("Could not write to log file \"%s\"", {logFile}, e, false);
    }
  }
  // The written text's memory takes the next lines (a flood would otherwise
  // grow a new buffer at every flush), unless it is large.
  if (!pending.empty() && pending.front().Text.capacity() <= MAX_SPARE_FILE_TEXT) {
    FSpareFileText = std::move(pending.front().Text);
    FSpareFileText.clear();
  }
}
