// The run's rows for the monitor, and the engines' output files.
#include "coordination/RunProgress.h"

#include <algorithm>
#include <fstream>

#include "coordination/RunInsight.h"
#include "coordination/Simulator.h"
#include "coordination/SimulatorInternal.h"
#include "diagnostics/Logging.h"
#include "documents/Documents.h"
#include "platform/Events.h"
#include "platform/Files.h"

namespace {

// What the client table does not keep: the run's model files (later slots
// still hold the previous run until their turn), how far the launch got,
// which slots the manager killed and where the output went.
struct TRunRows {
  std::string DocumentPath;  // empty for an untitled document
  std::vector<std::string> Filenames;
  std::vector<std::string> OutputFiles;
  std::vector<bool> Killed;
  std::vector<std::vector<std::string>> OutputTails;
  size_t Cleared = 0;
};

TRunRows gRun;
uint64_t gGeneration = 0;
uint64_t gRunNumber = 0;
// The run's timings and trace.
TRunInsight gInsight;

// A status above 128 is how a process ended by a signal reports.
constexpr uint32_t SIGNALLED_STATUS = 128;

TEngineState StateOf(const TVelmarProcess& slot, bool killed) {
  if (killed) return TEngineState::Killed;
  if (slot.Exited) return slot.ExitStatus > SIGNALLED_STATUS ? TEngineState::Killed : TEngineState::Exited;
  if (slot.Finalized) return TEngineState::Finalised;
  if (slot.Simulating) return TEngineState::Simulating;
  if (slot.SimulationStopped) return TEngineState::Stopped;
  if (slot.Initialized) return TEngineState::Initialised;
  if (slot.Started) return TEngineState::Launched;
  return TEngineState::NotStarted;
}

int OpenOutput(const std::string& path, const std::string& whose) {
  if (path.empty()) return -1;
  int fd = -1;
  if (const int error = Platform::CreateOutputFile(path, fd); error != 0) {
    Logger().Error("Could not create \"%s\" for the output of %s: %s; it goes to the manager's standard error", path,
                   whose, Platform::OpenErrorMessage(error));
    return -1;
  }
  return fd;
}

// The last maxLines lines of a file that are not blank, from its last
// OUTPUT_TAIL_BYTES; a line longer than OUTPUT_TAIL_LINE_LENGTH is cut.
std::vector<std::string> LastLinesOf(const std::string& path, size_t maxLines) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  const std::streamoff from = size > static_cast<std::streamoff>(OUTPUT_TAIL_BYTES)
                                  ? size - static_cast<std::streamoff>(OUTPUT_TAIL_BYTES)
                                  : 0;
  in.seekg(from);
  std::string text(static_cast<size_t>(size - from), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  // A line cut by where the reading began is not shown.
  if (from > 0) {
    const size_t first = text.find('\n');
    text.erase(0, first == std::string::npos ? text.size() : first + 1);
  }
  std::vector<std::string> lines;
  size_t end = text.size();
  while (end > 0 && lines.size() < maxLines) {
    const size_t start = text.rfind('\n', end - 1);
    const size_t begin = start == std::string::npos ? 0 : start + 1;
    std::string line = text.substr(begin, end - begin);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    if (line.size() > OUTPUT_TAIL_LINE_LENGTH) line.resize(OUTPUT_TAIL_LINE_LENGTH);
    if (!line.empty()) lines.push_back(std::move(line));
    end = start == std::string::npos ? 0 : start;
  }
  std::reverse(lines.begin(), lines.end());
  return lines;
}

}  // namespace

TRunInsight& RunInsight() { return gInsight; }

size_t TRunProgress::InitialisedCount() const {
  return static_cast<size_t>(std::count_if(Engines.begin(), Engines.end(), [](const TEngineProgress& e) {
    return e.State != TEngineState::NotStarted && e.State != TEngineState::Launched;
  }));
}

size_t TRunProgress::SimulatingCount() const {
  return static_cast<size_t>(std::count_if(Engines.begin(), Engines.end(), [](const TEngineProgress& e) {
    return e.State == TEngineState::Simulating;
  }));
}

std::optional<uint32_t> TRunProgress::LowestSimulatingStep() const {
  std::optional<uint32_t> lowest;
  for (const TEngineProgress& e : Engines)
    if (e.State == TEngineState::Simulating && (!lowest || e.CompletedStep < *lowest)) lowest = e.CompletedStep;
  return lowest;
}

std::string EngineStateText(const TEngineProgress& engine) {
  switch (engine.State) {
    case TEngineState::NotStarted: return "";
    case TEngineState::Launched: return "launched";
    case TEngineState::Initialised: return "initialised";
    case TEngineState::Simulating: return "simulating";
    case TEngineState::Stopped: return "stopped";
    case TEngineState::Finalised: return "finalised";
    case TEngineState::Exited: return "exited with status " + std::to_string(engine.ExitStatus);
    case TEngineState::Killed: return "killed";
  }
  return "";
}

uint64_t ProgressGeneration() { return gGeneration; }

void NoteProgress() { ++gGeneration; }

TRunProgress RunProgress() {
  TRunProgress progress;
  progress.Run = gRunNumber;
  progress.Engines.resize(gRun.Filenames.size());
  for (size_t i = 0; i < progress.Engines.size(); ++i) {
    TEngineProgress& row = progress.Engines[i];
    row.Model = static_cast<uint32_t>(i);
    row.Filename = gRun.Filenames[i];
    if (i >= gRun.Cleared || i >= Processes.size()) continue;
    const TVelmarProcess& slot = Processes[i];
    row.State = StateOf(slot, gRun.Killed[i]);
    row.Pid = slot.Started ? slot.ProcInfo.dwProcessId : 0;
    row.ExitStatus = slot.ExitStatus;
    row.CompletedStep = slot.TimeStep;
    row.OutputFile = gRun.OutputFiles[i];
    row.OutputTail = gRun.OutputTails[i];
    if (IsHeldAtBarrier(row.Model)) TRpcHandler::CanStartTimestep(row.Model, slot.TimeStep, row.HeldReason);
  }
  AddTimings(progress, RunInsight().Timings(), Platform::MonotonicUs());
  return progress;
}

void NoteRunStarting(const TDocument& document) {
  gRun = TRunRows{};
  ++gRunNumber;
  if (Platform::FileExists(document.GetFilename())) gRun.DocumentPath = document.GetFilename();
  for (uint32_t i = 0; i < document.ModelCount(); ++i) gRun.Filenames.push_back(document.GetModel(i)->GetFilename());
  gRun.OutputFiles.resize(gRun.Filenames.size());
  gRun.Killed.resize(gRun.Filenames.size());
  gRun.OutputTails.resize(gRun.Filenames.size());
  RunInsight().RunStarting(gRun.Filenames, Platform::MonotonicUs());
  NoteProgress();
}

void NoteSlotCleared(uint32_t slot) {
  gRun.Cleared = std::max<size_t>(gRun.Cleared, slot + 1);
  NoteProgress();
}

void NoteSlotKilled(uint32_t slot) {
  const bool endedAlready = slot < Processes.size() && Processes[slot].Exited;
  if (slot < gRun.Killed.size() && !endedAlready) gRun.Killed[slot] = true;
  NoteProgress();
}

void NoteEngineFailed(uint32_t slot) {
  if (slot >= gRun.OutputFiles.size() || gRun.OutputFiles[slot].empty()) return;
  std::vector<std::string> lines = LastLinesOf(gRun.OutputFiles[slot], OUTPUT_TAIL_LINES);
  for (const std::string& line : lines) Logger().Error("Velmar #%d output: %s", slot, line);
  gRun.OutputTails[slot] = std::move(lines);
  NoteProgress();
}

std::string EngineOutputFilename(uint32_t slot) {
  if (gRun.DocumentPath.empty()) return {};
  return Platform::ChangeFileExt(gRun.DocumentPath, ".engine" + std::to_string(slot) + ".log");
}

std::string ProcessorOutputFilename() {
  if (gRun.DocumentPath.empty()) return {};
  return Platform::ChangeFileExt(gRun.DocumentPath, ".processor.log");
}

int OpenEngineOutput(uint32_t slot) {
  const int fd = OpenOutput(EngineOutputFilename(slot), "Velmar #" + std::to_string(slot));
  if (fd >= 0 && slot < gRun.OutputFiles.size()) gRun.OutputFiles[slot] = EngineOutputFilename(slot);
  return fd;
}

int OpenProcessorOutput() { return OpenOutput(ProcessorOutputFilename(), "the external processor"); }
