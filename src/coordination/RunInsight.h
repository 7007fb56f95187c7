#pragma once
// The run's timings and its trace, fed by the calls the manager handles:
// each hook is one line where the event happens, with the time it happened
// on the monotonic clock (Platform::MonotonicUs). At the run's end an Info
// line per engine says where its time went, and one which engine set the
// pace.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "coordination/RunProgress.h"
#include "coordination/RunTimings.h"
#include "coordination/TraceWriter.h"

class TRunInsight {
 public:
  // Off, the hooks return at once (the timings and the trace are not kept).
  void SetEnabled(bool on) { FEnabled = on; }
  bool Enabled() const { return FEnabled; }
  // Every run from now on writes its trace to path (emptied at the run's
  // start); empty: no trace.
  void SetTraceFile(std::string path) { FTracePath = std::move(path); }
  const std::string& TraceFile() const { return FTracePath; }
  // The last run's trace could not be opened or written (the log said so).
  bool TraceFailed() const { return FTrace.Failure() != 0; }

  // ---- Hooks ---------------------------------------------------------------
  void RunStarting(const std::vector<std::string>& modelFiles, uint64_t nowUs);
  void EngineLaunched(uint32_t engine, uint32_t pid, uint64_t nowUs);
  void StartTimeStepArrived(uint32_t engine, uint32_t step, uint64_t nowUs);
  void Released(uint32_t engine, uint64_t nowUs);
  void StopTimeStepArrived(uint32_t engine, uint64_t nowUs);
  void ProcessorExchanged(int64_t engine, std::string_view call, uint64_t startUs, uint64_t endUs);
  // Logs the run's timings and closes its trace; once per run.
  // An engine's total abundance at the end of a step: a counter on its
  // track of the trace.
  void AbundanceReported(uint32_t engine, double total, uint64_t nowUs);
  // fingerprint: the run's (empty when it reached no step), for the trace.
  void RunEnded(uint64_t nowUs, std::string_view fingerprint = {});

  // Times an exchange with the external processor from its creation to its
  // end of scope.
  class TProcessorSpan {
   public:
    TProcessorSpan(TRunInsight* insight, int64_t engine, std::string_view call);
    ~TProcessorSpan();
    TProcessorSpan(const TProcessorSpan&) = delete;
    TProcessorSpan& operator=(const TProcessorSpan&) = delete;

   private:
    TRunInsight* FInsight;
    int64_t FEngine;
    std::string_view FCall;
    uint64_t FStartUs = 0;
  };
  [[nodiscard]] TProcessorSpan TimeProcessor(int64_t engine, std::string_view call) {
    return TProcessorSpan(FEnabled ? this : nullptr, engine, call);
  }

  // ---- Queries -------------------------------------------------------------
  const TRunTimings& Timings() const { return FTimings; }
  // The lines RunEnded logs: one per engine, then the pace setter's.
  std::vector<std::string> SummaryLines() const;
  // "Velmar #N (model file)", as the trace names engine N's track.
  std::string EngineName(uint32_t engine) const;

 private:
  TRunTimings FTimings;
  TTraceWriter FTrace;
  std::string FTracePath;
  std::vector<std::string> FModelNames;  // file names without their folders
  bool FEnabled = true;
};

// Fills the rows' figures (mean computing time, held share, the engine that
// held the others most) from timings.
void AddTimings(TRunProgress& progress, const TRunTimings& timings, uint64_t nowUs);

