#include "ui/Headless.h"

#include <algorithm>
#include <ostream>

#include "diagnostics/Logging.h"
#include "documents/Documents.h"
#include "platform/Clock.h"
#include "platform/Events.h"
#include "platform/Files.h"
#include "platform/ProcessControl.h"
#include "platform/ScopeExit.h"

THeadlessRun::THeadlessRun(std::string documentPath, std::ostream& out, std::ostream& err)
    : FDocumentPath(std::move(documentPath)),
      FOut(out),
      FErr(err),
      FCreatedAt(Platform::LocalNow()),
      FCreatedTicks(Platform::GetTickCount64()) {}

THeadlessRun::~THeadlessRun() {
  if (FPumpInstalled) Platform::SetMessagePump(FPreviousPump);
}

void THeadlessRun::SetSimulationTimer(bool on) {
  FSimulationTimerOn = on;
  if (on) FSimulationTimerDue = Platform::GetTickCount64() + TRunControl::SIMULATION_TIMER_INTERVAL;
}

void THeadlessRun::SetStartTimer(bool on) {
  FStartTimerOn = on;
  if (on) FStartTimerDue = Platform::GetTickCount64() + TRunControl::START_TIMER_INTERVAL;
}

void THeadlessRun::ShowLogLines(std::span<const std::string> lines) {
  for (const std::string& line : lines) FOut << line << '\n';
  FOut << std::flush;
}

void THeadlessRun::ScheduleLogFlush(unsigned ms) {
  const uint64_t due = Platform::GetTickCount64() + ms;
  if (!FLogFlushOn || due < FLogFlushDue) FLogFlushDue = due;
  FLogFlushOn = true;
}

void THeadlessRun::FlushLogWhenDue() {
  if (!FLogFlushOn || Platform::GetTickCount64() < FLogFlushDue) return;
  FLogFlushOn = false;
  Guarded([this] { FRunControl.LogFlushDue(); });
}

template <class F>
void THeadlessRun::Guarded(F step) {
  try {
    step();
  } catch (const std::exception& e) {
    // The window would show this in a message box and stay open; without
    // one nobody could react, so the run ends here.
    FRunControl.FlushLog();
    FErr << "velmar-manager: " << ExceptionMessage(e) << std::endl;
    FError = true;
  }
}

void THeadlessRun::ProcessEvents() {
  // Also while the run control waits (a run starting).
  FlushLogWhenDue();
  bool stop = FSignals.Take();
  if (!FBatchGone && Platform::ChannelPeerGone(FBatchChannel)) {
    FBatchGone = true;
    stop = true;
  }
  if (stop) StopRequest();
}

void THeadlessRun::StopRequest() {
  const bool again = FStopRequested;
  FStopRequested = true;
  if (FRunControl.GetSimulating()) {
    // The engines are then answered false and end, or are ended as after
    // the Stop command; the run is over once they have gone.
    Guarded([this] { FRunControl.SimulateStopActionExecute(); });
  } else if (FRunControl.GetRunInProgress()) {
    // Asked again while the stopped run's engines are going: they are not
    // waited for any longer.
    if (again) Guarded([] { Simulator().EndEngines(); });
  } else {
    // Nothing to stop: the run has not started (or has ended), so give up.
    FStartTimerOn = false;
    FStartPosted = false;
    FError = true;
  }
}

void THeadlessRun::WaitEvents(uint32_t ms) {
  if (FLogFlushOn) {
    const uint64_t now = Platform::GetTickCount64();
    ms = std::min<uint64_t>(ms, FLogFlushDue > now ? FLogFlushDue - now : 0);
  }
  int fds[3] = {Platform::QueueEventFd()};
  size_t n = 1;
  if (FSignals.Fd() >= 0) fds[n++] = FSignals.Fd();
  if (FBatchChannel >= 0 && !FBatchGone) fds[n++] = FBatchChannel;
  Platform::WaitForAnyFd(std::span<const int>(fds, n), ms);
}

void THeadlessRun::RunDueTimers() {
  const uint64_t now = Platform::GetTickCount64();
  if (FStartTimerOn && now >= FStartTimerDue) Guarded([this] { FRunControl.StartTimerTimer(); });
  if (FSimulationTimerOn && now >= FSimulationTimerDue) {
    FSimulationTimerDue = now + TRunControl::SIMULATION_TIMER_INTERVAL;
    Guarded([this] { FRunControl.SimulationTimerTimer(); });
  }
}

void THeadlessRun::PrintProgressWhenDue() {
  const bool running = FRunControl.GetSimulating() && !FRunControl.GetStarting();
  const uint64_t now = Platform::GetTickCount64();
  if (!FProgressLines || !running) {
    FProgressDue = now + PROGRESS_INTERVAL;
    return;
  }
  if (now < FProgressDue) return;
  FProgressDue = now + PROGRESS_INTERVAL;
  const TRunProgress progress = Simulator().Progress();
  // The step the slowest simulating engine has completed; with none
  // simulating, the slowest engine's.
  std::optional<uint32_t> step = progress.LowestSimulatingStep();
  if (!step)
    for (const TEngineProgress& e : progress.Engines)
      if (!step || e.CompletedStep < *step) step = e.CompletedStep;
  FErr << "step " << step.value_or(0) << ", " << progress.SimulatingCount() << " of " << progress.Engines.size()
       << " engines simulating" << std::endl;
}

uint32_t THeadlessRun::MillisecondsToNextTimer() const {
  const uint64_t now = Platform::GetTickCount64();
  uint64_t wait = TRunControl::SIMULATION_TIMER_INTERVAL;
  if (FStartTimerOn) wait = std::min(wait, FStartTimerDue > now ? FStartTimerDue - now : 0);
  if (FSimulationTimerOn) wait = std::min(wait, FSimulationTimerDue > now ? FSimulationTimerDue - now : 0);
  if (FLogFlushOn) wait = std::min(wait, FLogFlushDue > now ? FLogFlushDue - now : 0);
  return static_cast<uint32_t>(wait);
}

int THeadlessRun::Run() {
  // Something that is there but no document is refused when it is loaded.
  if (!Platform::PathExists(FDocumentPath)) {
    FErr << "velmar-manager: no document at \"" << FDocumentPath << "\"" << std::endl;
    return EXIT_USAGE;
  }
  // Whatever way this ends, the log goes back to the handler, filter and
  // flush that were installed before, and the message pump to its owner.
  Platform::TScopeExit restore([this, previous = Logger().GetHandlerSet()]() mutable {
    if (FPumpInstalled) Platform::SetMessagePump(FPreviousPump);
    FPumpInstalled = false;
    Logger().SetHandlerSet(std::move(previous));
  });
  Logger().SetLogHandler([this](const TLogEvent& event, bool& handled) { FRunControl.LogMessage(event, handled); },
                         &TRunControl::DebugLinesWanted, [this] { FRunControl.FlushLog(); });
  FPreviousPump = Platform::SetMessagePump(this);
  FPumpInstalled = true;

  FDocument = std::make_unique<TDocument>();
  bool loaded = true;
  try {
    FDocument->LoadFromFile(FDocumentPath);
    FRunControl.DocumentLoaded();
  } catch (const EDocumentError& e) {
    // Not a document: a usage error, said on standard error.
    FRunControl.FlushLog();
    FErr << "velmar-manager: " << ExceptionMessage(e) << std::endl;
    return EXIT_USAGE;
  } catch (const std::exception& e) {
    Logger().Exception("Could not load \"%s\"", {FDocumentPath}, e, false);
    loaded = false;
  }
  if (loaded) {
    if (const std::string unread = FDocument->UnreadSectionsWarning(); !unread.empty()) Logger().Warn("%s", unread);
    if (const std::string cut = FDocument->CutFilenameError(); !cut.empty()) {
      // A cut name would run another file than meant.
      Logger().Error("%s", cut);
      FRunControl.FlushLog();
      FErr << "velmar-manager: " << cut << std::endl;
      return EXIT_USAGE;
    }
  }
  if (loaded && FDocument->ModelCount() == 0) {
    // Nothing to run is no completed run: random bytes, or a file that is
    // not a document, would otherwise "complete" with nothing done.
    FRunControl.FlushLog();
    FErr << "velmar-manager: \"" << FDocumentPath << "\" has no models; there is nothing to run" << std::endl;
    return EXIT_USAGE;
  }
  if (loaded) FRunControl.ArmAutorun();

  while (loaded) {
    Platform::ProcessMessages();
    RunDueTimers();
    Guarded([this] { PrintProgressWhenDue(); });
    if (FStartPosted && !FError) {
      FStartPosted = false;
      Guarded([this] { FRunControl.AMStartSimulation(); });
    }
    if (FClosed || FError) break;
    // A stopped run is over when its engines have gone: none is left
    // behind, running on with no manager.
    Guarded([this] { FRunControl.WatchStoppedRun(); });
    const bool idle = !FRunControl.GetSimulating() && !FRunControl.GetStarting() && !FSimulationTimerOn &&
                      !FStartTimerOn && !FStartPosted && !FRunControl.GetRunInProgress();
    if (idle && FRunControl.GetOutcome() != roNone) break;
    Platform::WaitMessage(MillisecondsToNextTimer());
  }

  FRunControl.FlushLog();
  if (loaded) {
    FModelCount = FDocument->ModelCount();
    for (const TEngineProgress& e : Simulator().Progress().Engines) FStepsDone = std::max(FStepsDone, e.CompletedStep);
    FFingerprint = Simulator().RunFingerprint();
    FStatesFile = Simulator().StatesFile();
  }
  return FClosed && FRunControl.GetOutcome() == roComplete ? EXIT_COMPLETE : EXIT_FAILED;
}
