#include "ui/RunControl.h"

#include "diagnostics/TextUtils.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "platform/Files.h"

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
    FSimulating = true;
    FOutcome = roNone;
    FStarting = true;
    FHost.UpdateControls();
    TDocument* document = FHost.CurrentDocument();
    try {
      Assert(document != nullptr);
      Simulator().StartSimulation(*document);
      FStarting = false;
      SetSimulationTimer(true);
    } catch (const std::exception& e) {
      FStarting = false;
      FSimulating = false;
      FOutcome = roFailed;
      Logger().Exception("Simulation failed", e, false);
    }
  } catch (...) {
    FStarting = false;
    FSimulating = false;
    FHost.UpdateControls();
    throw;
  }
  FHost.UpdateControls();
}

void TRunControl::SimulateStopActionExecute() {
  if (TDocument* document = FHost.CurrentDocument()) Simulator().CancelSimulation(*document);
  FSimulating = false;
  if (FOutcome == roNone) FOutcome = roStopped;
  Logger().Info("Cancelled simulation");
  FHost.UpdateControls();
}

void TRunControl::SimulationTimerTimer() {
  if (!FSimulating) {
    Logger().Debug("Simulation timer is running but simulation is not running!");
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
  if (cancelled) {
    FOutcome = roCancelled;
    Logger().Error("Simulation was cancelled");
  } else {
    FOutcome = roComplete;
    Logger().Info("Simulation complete");
  }
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
  FHost.ShowLogLine(event.Message);

  TDocument* document = FHost.CurrentDocument();
  if (!document || !Platform::FileExists(document->GetFilename())) return;
  const std::string logFile = LogFilenameFor(document->GetFilename());
  try {
    TextUtils::AppendLineToFile(event.Message, logFile);
  } catch (const std::exception& e) {
    if (FWarnedAboutLogFailure) return;
    FWarnedAboutLogFailure = true;
    // Comes back into this handler; its own write fails silently then.
    Logger().Exception("Could not write to log file \"%s\"", {logFile}, e, false);
  }
}
