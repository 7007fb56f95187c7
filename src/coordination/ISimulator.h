#pragma once
// What the run control needs from the simulation module. It lives here, not
// beside the run control, so that coordination can implement it without
// knowing the window.
#include <cstdint>
#include <string>
#include <vector>

#include "coordination/RunProgress.h"
#include "diagnostics/Exception.h"

class TDocument;

// A start that failed at one engine: the error as that engine's start
// raised it, and which engine it was (its model's number).
class EEngineStartFailed : public Exception {
 public:
  EEngineStartFailed(uint32_t engine, std::string message) : Exception(std::move(message)), FEngine(engine) {}
  uint32_t Engine() const { return FEngine; }

 private:
  uint32_t FEngine;
};

// The run operations of the simulation module. The program plugs the real
// module in at start-up; the window's tests plug in a fake.
class ISimulator {
 public:
  virtual ~ISimulator() = default;
  // Starts one engine per model; returns once all have initialised, or raises.
  virtual void StartSimulation(TDocument& document) = 0;
  // True once no run is in progress. For the run it found finished,
  // cancelled tells whether that run had been cancelled (time-out, engine or
  // processor failure, Stop).
  virtual bool IsSimulationDone(bool& cancelled) = 0;
  // Records the request to cancel and returns at once.
  virtual void CancelSimulation() = 0;
  // Cancels, and ends the engines still running without waiting out the
  // cancel's time-out: SIGTERM now, SIGKILL a moment later.
  virtual void EndEngines() { CancelSimulation(); }
  // The engines of the current or last run. The counter is cheap and moves
  // whenever the rows may have changed; a monitor builds rows only then.
  virtual uint64_t ProgressGeneration() { return 0; }
  virtual TRunProgress Progress() { return {}; }
  // The computing time (ms) of engine's steps from step `from` on, appended
  // to out; returns the number of steps it has completed in the current (or
  // last) run. A chart reads only what is new since its last read.
  virtual size_t ComputingPerStep(uint32_t /*engine*/, size_t /*from*/, std::vector<float>& /*out*/) { return 0; }
  // Every run from now on writes its trace to path; empty: none.
  virtual void SetTraceFile(const std::string& /*path*/) {}
};
