#pragma once
// What the run control needs from the simulation module. It lives here, not
// beside the run control, so that coordination can implement it without
// knowing the window.
#include <cstdint>

#include "coordination/RunProgress.h"

class TDocument;

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
  // The engines of the current or last run. The counter is cheap and moves
  // whenever the rows may have changed; a monitor builds rows only then.
  virtual uint64_t ProgressGeneration() { return 0; }
  virtual TRunProgress Progress() { return {}; }
};
