#pragma once
// Starting, watching and stopping a run, the unattended mode, and the log
// handler that shows every line and appends it to the document's log file.
// Free of Qt: the window and the headless runner drive this one
// implementation, each supplying its own timers and line display.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "coordination/ISimulator.h"
#include "coordination/RunProgress.h"
#include "diagnostics/Logging.h"

class TDocument;

// The simulator in use; raises when none is installed.
ISimulator& Simulator();
// Installs a simulator (nullptr removes it); returns the previous one.
ISimulator* SetSimulator(ISimulator* simulator);
// The simulator in use, or null.
ISimulator* InstalledSimulator();

// What the run control needs from whoever shows it.
class IRunHost {
 public:
  virtual ~IRunHost() = default;
  // The current document; null only while the window is being created.
  virtual TDocument* CurrentDocument() = 0;
  virtual void ControlsToDocument() = 0;
  virtual void ControlsToSettings() = 0;
  virtual void UpdateControls() = 0;
  virtual void SetSimulationTimer(bool on) = 0;  // 100 ms
  virtual void SetStartTimer(bool on) = 0;       // 500 ms
  // Queues AMStartSimulation to run from the message loop.
  virtual void PostStartSimulation() = 0;
  // Appends log lines to the visible log, in order.
  virtual void ShowLogLines(std::span<const std::string> lines) = 0;
  // Calls TRunControl::LogFlushDue from the message loop in ms milliseconds
  // (0: at its next pass), or sooner when a call is due sooner already.
  virtual void ScheduleLogFlush(unsigned ms) = 0;
  // Closes through the normal close path (end of an unattended run).
  virtual void CloseMainWindow() = 0;
  // Where the user looks: how the run started, failed or ended (the
  // window's status bar); empty clears it. Log lines say the same.
  virtual void ShowRunStatus(const std::string& /*text*/) {}
};

// How the last run ended, as far as this window saw it.
enum TRunOutcome { roNone, roComplete, roFailed, roCancelled, roStopped };

class TRunControl {
 public:
  static constexpr unsigned SIMULATION_TIMER_INTERVAL = 100;  // ms
  static constexpr unsigned START_TIMER_INTERVAL = 500;       // ms
  static constexpr unsigned AM_START_SIMULATION = 33972;      // 0x84B4
  // Log lines go out to the visible log and the file one by one as they
  // come, up to LOG_LINES_AT_ONCE in LOG_FLUSH_INTERVAL; lines beyond that
  // are gathered and go out together at the interval's end.
  static constexpr unsigned LOG_FLUSH_INTERVAL = 50;  // ms
  static constexpr unsigned LOG_LINES_AT_ONCE = 10;
  // A pass of the message loop adds lines to the visible log for about this
  // long, LOG_LINES_PER_APPEND at a time; the rest follow in the next passes.
  static constexpr unsigned LOG_PASS_BUDGET = 20;  // ms
  static constexpr size_t LOG_LINES_PER_APPEND = 2000;

  explicit TRunControl(IRunHost& host) : FHost(host) {}

  bool GetSimulating() const { return FSimulating; }
  // StartSimulation has not returned yet.
  bool GetStarting() const { return FStarting; }
  bool GetAutorun() const { return FAutorun; }
  bool GetSimulationTimerOn() const { return FSimulationTimerOn; }
  // Engines of the last run may still be running: from Start until the
  // simulation module finds the run over, also after Stop.
  bool GetRunInProgress() const { return FRunInProgress; }
  TRunOutcome GetOutcome() const { return FOutcome; }

  // Unattended run: starts the document from the message loop 500 ms on.
  void ArmAutorun();

  void SimulateStartActionExecute();
  void SimulateStopActionExecute();
  void SimulationTimerTimer();
  void StartTimerTimer();
  void AMStartSimulation() { SimulateStartActionExecute(); }
  // After Stop the simulation timer ends, but the stopped run's engines
  // take a moment to go: the host calls this while GetRunInProgress holds
  // and the timer is off, so that their ends are seen (and logged to the
  // run's own log file) as they happen.
  void WatchStoppedRun();

  // The logger's handler, and its filter: debug lines are shown only with
  // the debug-messages setting on. Each line's log file is the one of the
  // document current when it was logged.
  void LogMessage(const TLogEvent& event, bool& handled);
  static bool DebugLinesWanted();
  // Shows and writes every line gathered so far. The run control does so
  // itself when a run starts, fails or ends; the host calls it before the
  // program ends and before a modal box.
  void FlushLog();
  // The host's scheduled call: lines to the visible log for
  // LOG_PASS_BUDGET, every line to the file.
  void LogFlushDue();
  // A new document may report its own log-file failure once.
  void DocumentLoaded() {
    FlushLog();
    FWarnedAboutLogFailure = false;
  }
  bool GetWarnedAboutLogFailure() const { return FWarnedAboutLogFailure; }

  // The log file beside a document: its extension replaced by ".log".
  static std::string LogFilenameFor(const std::string& documentPath);
  // The warning for the first two models of document that name the same
  // file (their engines would write the same results); empty when none do.
  static std::string SharedModelFileWarning(const TDocument& document);
  // "Simulation failed: " and the error, naming the engine that failed.
  static std::string FailureStatus(const std::exception& e);

 private:
  void SetSimulationTimer(bool on);
  void RunOver();
  void RequestLogFlush();
  void WriteLog(bool bounded);
  void WriteLogFiles();

  // Lines of one document's log file, each ending in CR LF.
  struct TPendingFileText {
    std::string Document;
    std::string Text;
  };

  IRunHost& FHost;
  bool FSimulating = false;
  bool FStarting = false;
  bool FAutorun = false;
  bool FWarnedAboutLogFailure = false;
  bool FSimulationTimerOn = false;
  bool FRunInProgress = false;
  // The document path of the run in progress: every line of a run goes to
  // that document's log file, whatever document the window shows by then.
  std::optional<std::string> FRunDocument;
  TRunOutcome FOutcome = roNone;
  std::vector<std::string> FPendingLines;          // from FFirstPendingLine on not shown yet
  size_t FFirstPendingLine = 0;
  std::vector<TPendingFileText> FPendingFileText;  // not written yet
  std::string FSpareFileText;                      // empty, with room
  static constexpr size_t MAX_SPARE_FILE_TEXT = 4 << 20;
  bool FLogFlushScheduled = false;
  bool FFlushingLog = false;
  std::optional<uint64_t> FLogIntervalStart;  // tick count
  unsigned FLinesAtOnce = 0;                   // in the interval so far
};
