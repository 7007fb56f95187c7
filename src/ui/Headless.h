#pragma once
// A run without a window: the document is run as with /r, by the same run
// control the window uses; every line the window would show goes to out.
#include <iosfwd>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/Messages.h"
#include "platform/Signals.h"
#include "ui/RunControl.h"

class THeadlessRun : private IRunHost, private Platform::IMessagePump {
 public:
  // Exit statuses.
  static constexpr int EXIT_COMPLETE = 0;
  static constexpr int EXIT_FAILED = 1;  // failed, cancelled or stopped
  static constexpr int EXIT_USAGE = 2;

  // Create before any thread is started: SIGINT, SIGTERM and SIGHUP become
  // Stop; the run then ends once its engines have gone (asked again, they
  // are ended at once).
  THeadlessRun(std::string documentPath, std::ostream& out, std::ostream& err);
  ~THeadlessRun() override;

  // Runs the document until the run has ended; returns the exit status.
  int Run();

  // While the run goes on, a line "step N, k of M engines simulating" goes
  // to err at most once a second (for a terminal: the caller decides).
  static constexpr unsigned PROGRESS_INTERVAL = 1000;  // ms
  void SetProgressLines(bool on) { FProgressLines = on; }

  TRunControl& RunControl() { return FRunControl; }

  // The run belongs to a batch, whose channel is fd: the batch's going
  // away stops the run as SIGTERM does.
  void SetBatchChannel(int fd) { FBatchChannel = fd; }
  int BatchChannel() const { return FBatchChannel; }

  // What a results row tells of the run, known once Run has returned.
  const std::string& DocumentPath() const { return FDocumentPath; }
  const Platform::TLocalDateTime& CreatedAt() const { return FCreatedAt; }
  uint64_t CreatedTicks() const { return FCreatedTicks; }
  bool StopRequested() const { return FStopRequested; }  // a signal came, or the batch went
  uint32_t StepsDone() const { return FStepsDone; }      // the highest step an engine completed
  uint32_t ModelCount() const { return FModelCount; }
  const std::string& Fingerprint() const { return FFingerprint; }  // empty: no step was reached
  const std::string& StatesFile() const { return FStatesFile; }    // empty: none written

 private:
  // IRunHost
  TDocument* CurrentDocument() override { return FDocument.get(); }
  void ControlsToDocument() override {}
  void ControlsToSettings() override {}
  void UpdateControls() override {}
  void SetSimulationTimer(bool on) override;
  void SetStartTimer(bool on) override;
  void PostStartSimulation() override { FStartPosted = true; }
  void ShowLogLines(std::span<const std::string> lines) override;
  void ScheduleLogFlush(unsigned ms) override;
  void CloseMainWindow() override { FClosed = true; }

  // IMessagePump: the signals take part in every wait.
  void ProcessEvents() override;
  void WaitEvents(uint32_t ms) override;

  // Runs a run-control step; an error it lets out ends the run as failed.
  template <class F>
  void Guarded(F step);
  void RunDueTimers();
  void FlushLogWhenDue();
  void PrintProgressWhenDue();
  void StopRequest();
  uint32_t MillisecondsToNextTimer() const;

  std::string FDocumentPath;
  std::ostream& FOut;
  std::ostream& FErr;
  std::unique_ptr<TDocument> FDocument;
  TRunControl FRunControl{*this};
  Platform::TStopSignals FSignals;
  Platform::IMessagePump* FPreviousPump = nullptr;
  bool FPumpInstalled = false;
  bool FStartPosted = false;
  bool FClosed = false;
  bool FError = false;
  bool FSimulationTimerOn = false;
  bool FStartTimerOn = false;
  uint64_t FSimulationTimerDue = 0;
  uint64_t FStartTimerDue = 0;
  bool FLogFlushOn = false;
  uint64_t FLogFlushDue = 0;
  bool FProgressLines = false;
  uint64_t FProgressDue = 0;
  Platform::TLocalDateTime FCreatedAt;
  uint64_t FCreatedTicks = 0;
  bool FStopRequested = false;
  int FBatchChannel = -1;
  bool FBatchGone = false;
  uint32_t FStepsDone = 0;
  uint32_t FModelCount = 0;
  std::string FFingerprint;
  std::string FStatesFile;
};
