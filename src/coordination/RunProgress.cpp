// The run's rows for the monitor, and the engines' output files.
#include "coordination/RunProgress.h"


#include <algorithm>

#include "coordination/RunEngine.h"
#include "coordination/Simulator.h"
#include "diagnostics/Logging.h"
#include "documents/Documents.h"
#include "platform/Events.h"
#include "platform/Files.h"
#include "platform/TempFile.h"

namespace {

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
  int fd = -1;
  if (Platform::OpenRegularFileForReading(path, fd) != 0) return {};
  const int64_t size = Platform::SeekFd(fd, 0, Platform::TFdSeek::End);
  const int64_t from = size > static_cast<int64_t>(OUTPUT_TAIL_BYTES) ? size - static_cast<int64_t>(OUTPUT_TAIL_BYTES) : 0;
  std::string text;
  if (size > 0 && Platform::SeekFd(fd, from, Platform::TFdSeek::Begin) == from) {
    text.resize(static_cast<size_t>(size - from));
    text.resize(static_cast<size_t>(std::max<int64_t>(0, Platform::ReadFd(fd, text.data(), size - from))));
  }
  Platform::CloseFd(fd);
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

TRunProgress TRunRows::Snapshot(const std::vector<TVelmarProcess>& processes,
                                const std::function<std::string(uint32_t slot)>& heldReason) const {
  TRunProgress progress;
  progress.Run = FRun;
  progress.Engines.resize(FCount);
  for (uint32_t i = 0; i < progress.Engines.size(); ++i) {
    if (i < FCleared && i < processes.size()) {
      progress.Engines[i] = Row(i, processes[i]);
      progress.Engines[i].HeldReason = heldReason(i);
    } else {
      progress.Engines[i].Model = i;
      progress.Engines[i].Filename = RowOf(i).ModelFile;
    }
  }
  return progress;
}

TEngineProgress TRunRows::Row(uint32_t i, const TVelmarProcess& slot) const {
  const TEngineRow& engine = RowOf(i);
  TEngineProgress row;
  row.Model = i;
  row.Filename = engine.ModelFile;
  row.State = StateOf(slot, engine.Killed);
  row.Pid = slot.Started ? slot.ProcInfo.dwProcessId : 0;
  row.ExitStatus = slot.ExitStatus;
  row.CompletedStep = slot.TimeStep;
  row.OutputFile = engine.OutputFile;
  row.OutputTail = engine.OutputTail;
  return row;
}

TEngineRow& TRunRows::RowOf(size_t slot) const { return FEngines[slot].Row; }

std::vector<std::string> TRunRows::Filenames() const {
  std::vector<std::string> files;
  files.reserve(FCount);
  for (size_t i = 0; i < FCount; ++i) files.push_back(RowOf(i).ModelFile);
  return files;
}

void TRunRows::NoteRunStarting(const TDocument& document) {
  ++FRun;
  FDocumentPath.clear();
  FCleared = 0;
  if (Platform::FileExists(document.GetFilename())) FDocumentPath = document.GetFilename();
  FCount = document.ModelCount();
  CoverEngines(FEngines, FCount);
  for (uint32_t i = 0; i < FCount; ++i) {
    RowOf(i) = TEngineRow{};
    RowOf(i).ModelFile = document.GetModel(i)->GetFilename();
  }
  NoteProgress();
}

void TRunRows::NoteSlotCleared(uint32_t slot) {
  FCleared = std::max<size_t>(FCleared, slot + 1);
  NoteProgress();
}

void TRunRows::NoteSlotKilled(uint32_t slot) {
  if (slot < FCount) RowOf(slot).Killed = true;
  NoteProgress();
}

void TRunRows::NoteEngineFailed(uint32_t slot) {
  if (slot >= FCount || RowOf(slot).OutputFile.empty()) return;
  std::vector<std::string> lines = LastLinesOf(RowOf(slot).OutputFile, OUTPUT_TAIL_LINES);
  for (const std::string& line : lines) Logger().Error("Velmar #%d output: %s", slot, line);
  RowOf(slot).OutputTail = std::move(lines);
  NoteProgress();
}

std::string TRunRows::EngineOutputFilename(uint32_t slot) const {
  if (FDocumentPath.empty()) return {};
  return Platform::ChangeFileExt(FDocumentPath, ".engine" + std::to_string(slot) + ".log");
}

std::string TRunRows::ProcessorOutputFilename() const {
  if (FDocumentPath.empty()) return {};
  return Platform::ChangeFileExt(FDocumentPath, ".processor.log");
}

std::string TRunRows::StatesFilename() const {
  if (FDocumentPath.empty()) return {};
  return Platform::ChangeFileExt(FDocumentPath, ".states.csv");
}

int TRunRows::OpenEngineOutput(uint32_t slot) {
  const int fd = OpenOutput(EngineOutputFilename(slot), "Velmar #" + std::to_string(slot));
  if (fd >= 0 && slot < FCount) RowOf(slot).OutputFile = EngineOutputFilename(slot);
  return fd;
}

int TRunRows::OpenProcessorOutput() const { return OpenOutput(ProcessorOutputFilename(), "the external processor"); }
