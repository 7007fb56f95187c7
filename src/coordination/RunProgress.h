#pragma once
// A run as seen from outside: one row per model of the running document,
// for the window's engine table and the headless progress line, and where
// each engine's output goes. Read and changed on the main thread only.
//
// Reading a snapshot walks the client table, so readers poll the change
// counter (one integer) and build a snapshot only when it has moved.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class TDocument;
struct TEngineRow;
struct TRunEngine;

enum class TEngineState {
  NotStarted,  // its turn in the launch has not come yet
  Launched,    // process created, no "Initialize" yet
  Initialised,
  Simulating,
  Stopped,     // "StopSimulation" called
  Finalised,
  Exited,      // the process has ended; ExitStatus holds its status
  Killed,      // terminated by the manager, or ended by a signal
};

struct TEngineProgress {
  uint32_t Model = 0;
  std::string Filename;
  uint32_t Pid = 0;  // 0 before the launch
  TEngineState State = TEngineState::NotStarted;
  uint32_t ExitStatus = 0;
  // Time steps completed ("StopTimeStep" calls).
  uint32_t CompletedStep = 0;
  // Why its "StartTimeStep" is held at the barrier; empty when not held.
  std::string HeldReason;
  // The file its standard output and error go to; empty when they go to
  // the manager's standard error.
  std::string OutputFile;
  // The last lines of that file, read when the engine failed (exited or
  // timed out before "Initialize", or exited without "Finalize").
  std::vector<std::string> OutputTail;
  // Where its time went: the mean time it computed per step (from the reply
  // to its "StartTimeStep" to its "StopTimeStep"), 0 before its first step,
  // and the share (0..1) of the run so far it was held at the barrier.
  double MeanComputingMs = 0;
  double HeldShare = 0;
  // The engine the others waited for most over the last 10 steps.
  bool HoldsOthers = false;
};

struct TRunProgress {
  std::vector<TEngineProgress> Engines;
  // Counts the runs started; a monitor that keeps anything per run (the
  // chart) starts afresh when it moves.
  uint64_t Run = 0;

  // Engines that have called "Initialize" (whatever they did since).
  size_t InitialisedCount() const;
  size_t SimulatingCount() const;
  // The lowest completed step among the simulating engines; none when no
  // engine is simulating.
  std::optional<uint32_t> LowestSimulatingStep() const;
};

// The state as the table shows it: "launched", "exited with status 3", ...
// (empty for an engine not launched yet).
std::string EngineStateText(const TEngineProgress& engine);

constexpr size_t OUTPUT_TAIL_LINES = 10;
// Only this much of a file's end is read, and a longer line is cut here.
constexpr size_t OUTPUT_TAIL_BYTES = 64 * 1024;
constexpr size_t OUTPUT_TAIL_LINE_LENGTH = 1000;

struct TVelmarProcess;

// What the client table does not keep of a run: its model files (later
// slots still hold the previous run until their turn), how far the launch
// got, which slots the manager killed and where the output went; and the
// counter that moves whenever a snapshot may have changed. The engines'
// parts live in the run's engines (the simulation's, one per model); this
// keeps what is the run's as a whole.
class TRunRows {
 public:
  // Each engine's row is kept in the run's engine.
  explicit TRunRows(std::vector<TRunEngine>& engines) : FEngines(engines) {}
  TRunRows(const TRunRows&) = delete;
  TRunRows& operator=(const TRunRows&) = delete;

  uint64_t Generation() const { return FGeneration; }
  // The model files of the current (or last) run.
  std::vector<std::string> Filenames() const;
  void NoteProgress() { ++FGeneration; }

  // The rows of the current (or last) run, from the client table. heldReason
  // tells why a slot's "StartTimeStep" is held (empty when it is not).
  TRunProgress Snapshot(const std::vector<TVelmarProcess>& processes,
                        const std::function<std::string(uint32_t slot)>& heldReason) const;

  // A run of document is starting: its engines (one per model) and their
  // rows, none launched yet.
  void NoteRunStarting(const TDocument& document);
  // Slot i has been cleared for this run (rows below it are this run's).
  void NoteSlotCleared(uint32_t slot);
  // The manager terminated slot i's process (the run control does not kill
  // an engine that had ended by itself, which keeps showing how).
  void NoteSlotKilled(uint32_t slot);
  // Slot i's engine failed: the last lines of its output file (at most
  // OUTPUT_TAIL_LINES) go to the log as Error lines "Velmar #i output: ..."
  // and to its row, so the reason it gives reaches the user.
  void NoteEngineFailed(uint32_t slot);

  // Where engine slot's output goes for this run:
  // "<document>.engine<slot>.log" beside a saved document (its extension
  // replaced), empty for an untitled one. And the external processor's
  // standard error: "<document>.processor.log".
  std::string EngineOutputFilename(uint32_t slot) const;
  // <document>.states.csv beside a saved document; empty for an untitled one.
  std::string StatesFilename() const;
  std::string ProcessorOutputFilename() const;

  // Creates the output file of a child and returns its descriptor
  // (close-on-exec, for the launch to redirect); -1 when the path is empty
  // or the file cannot be created, which is logged: the child then writes to
  // the manager's standard error and the run goes on. For an engine slot the
  // file is remembered for its row.
  int OpenEngineOutput(uint32_t slot);
  int OpenProcessorOutput() const;

 private:
  TEngineProgress Row(uint32_t slot, const TVelmarProcess& process) const;

  TEngineRow& RowOf(size_t slot) const;

  std::vector<TRunEngine>& FEngines;
  size_t FCount = 0;          // the engines (models) of the run
  std::string FDocumentPath;  // empty for an untitled document
  size_t FCleared = 0;
  uint64_t FGeneration = 0;
  uint64_t FRun = 0;  // runs started
};
