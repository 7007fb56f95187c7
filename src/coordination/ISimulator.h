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

// A start that failed on a program that could not be launched: the message
// is the one the log gives; the cause names the program and the system's
// reason, for where the user looks.
class ERunStartError : public Exception {
 public:
  ERunStartError(std::string message, std::string cause)
      : Exception(std::move(message)), FCause(std::move(cause)) {}
  const std::string& Cause() const noexcept { return FCause; }

 private:
  std::string FCause;
};

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
  // The fingerprint of the last finished run's reported states (32
  // hexadecimal digits); empty when it reached no step.
  virtual std::string RunFingerprint() { return {}; }
  // The states file of the current or last run; empty when it writes none.
  virtual std::string StatesFile() { return {}; }
  // The numbers the engines reported, for the chart: the counter moves when
  // something new came; the variable roots in the order first seen; an
  // engine's values of a root from step `from` on (per step, a value per
  // first index, deeper indices summed), returning the steps it has; the
  // steps from `from` on at which the processor set an engine's abundances.
  virtual uint64_t StateGeneration() { return 0; }
  virtual std::vector<std::string> StateRoots() { return {}; }
  virtual size_t StateSeries(uint32_t /*engine*/, const std::string& /*root*/, size_t /*from*/,
                             std::vector<std::vector<float>>& /*out*/) {
    return 0;
  }
  virtual std::vector<uint32_t> AbundanceSetAt(uint32_t /*engine*/, size_t /*from*/) { return {}; }
  // Every run from now on writes its trace to path; empty: none.
  virtual void SetTraceFile(const std::string& /*path*/) {}
};
