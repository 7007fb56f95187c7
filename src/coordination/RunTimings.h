#pragma once
// Where the time of a run goes, engine by engine and step by step, taken
// from the calls the manager handles anyway. Pure bookkeeping: every event
// comes with the time it happened (microseconds on the monotonic clock), so
// that nothing here reads a clock or keeps state outside the object.
//
// For each engine and step:
//   held       arrival of its "StartTimeStep" until the barrier releases it;
//   computing  the reply to that call (after the external processor, when
//              one is in use) until its "StopTimeStep" arrives;
//   processor  the time the external processor took for its calls;
//   between    the reply to its "StopTimeStep" until its next "StartTimeStep".
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

class TRunTimings {
 public:
  // Steps looked back over to find the engine that held the others most.
  static constexpr uint32_t RECENT_STEPS = 10;

  struct TTotals {
    uint32_t Steps = 0;  // "StopTimeStep" calls timed
    uint64_t ComputingUs = 0;
    uint64_t HeldUs = 0;
    uint64_t ProcessorUs = 0;
    uint64_t BetweenUs = 0;
  };

  // Where an engine is in its step, and since when.
  enum class TPhase { Idle, Held, Computing, Stopped };
  struct TEngineNow {
    TPhase Phase = TPhase::Idle;
    uint32_t Step = 0;            // the step it started last
    uint64_t ArrivedUs = 0;       // its "StartTimeStep" arrived
    uint64_t ComputingFromUs = 0; // the reply to it went out
    uint64_t StopRepliedUs = 0;   // the reply to its "StopTimeStep" went out
  };

  // ---- Events ---------------------------------------------------------------
  void RunStarted(size_t engines, uint64_t nowUs);
  void RunEnded(uint64_t nowUs);
  void StartTimeStepArrived(uint32_t engine, uint32_t step, uint64_t nowUs);
  // The barrier let its "StartTimeStep" through (at once, or later).
  void Released(uint32_t engine, uint64_t nowUs);
  void StopTimeStepArrived(uint32_t engine, uint64_t nowUs);
  // The external processor answered one of the engine's calls. A call's
  // reply goes out after the processor's answer, so the spans that begin
  // at a reply begin here.
  void ProcessorExchanged(uint32_t engine, uint64_t startUs, uint64_t endUs);

  // ---- Queries --------------------------------------------------------------
  size_t EngineCount() const { return FEngines.size(); }
  bool Running() const { return FRunning; }
  uint64_t RunStartUs() const { return FRunStartUs; }
  // The run's length so far, or its whole length once it has ended.
  uint64_t ElapsedUs(uint64_t nowUs) const;
  TTotals Totals(uint32_t engine) const;
  const TEngineNow& Now(uint32_t engine) const;
  // Mean computing time per step, 0 before the first step.
  double MeanComputingMs(uint32_t engine) const;
  // The share (0..1) of the run so far the engine spent held at the barrier.
  double HeldShare(uint32_t engine, uint64_t nowUs) const;
  // The engine the others waited for most over the RECENT_STEPS steps up to
  // lastStep (a step counts when at least two engines completed it); none
  // when nobody waited.
  std::optional<uint32_t> HeldOthersMost(uint32_t lastStep) const;
  // Over the whole run: the engine the others waited for longest in all,
  // with that wait and the steps it was the last to complete.
  struct TPace {
    uint32_t Engine = 0;
    uint64_t OthersWaitedUs = 0;
    uint32_t LastToFinish = 0;  // steps it completed last
    uint32_t SharedSteps = 0;   // steps completed by at least two engines
  };
  std::optional<TPace> PaceSetter() const;
  // The computing time (ms) of each step from step `from` on, appended to
  // out; returns how many steps the engine has completed in all. The chart
  // reads only what is new since its last read.
  size_t ComputingSeries(uint32_t engine, size_t from, std::vector<float>& out) const;

 private:
  struct TEngine {
    TEngineNow Now;
    TTotals Totals;
    std::vector<float> ComputingMs;  // one a step
  };
  // Who completed each step last and when, and the sum of every completion
  // time: what the others waited for the last one follows from these, over
  // the recent steps and over the whole run alike.
  struct TStepEnd {
    uint64_t LastUs = 0;
    uint64_t SumUs = 0;
    uint32_t LastEngine = 0;
    uint32_t Count = 0;
  };

  TEngine* Engine(uint32_t engine) { return engine < FEngines.size() ? &FEngines[engine] : nullptr; }
  // How long the others completed the steps [first, last] before the engine
  // that completed each last, per engine; the steps it was last in, and the
  // steps at least two engines completed.
  struct TWaits {
    std::vector<uint64_t> WaitedForUs;
    std::vector<uint32_t> LastIn;
    uint32_t SharedSteps = 0;
  };
  TWaits WaitsFor(size_t first, size_t last) const;

  std::vector<TEngine> FEngines;
  std::vector<TStepEnd> FStepEnds;
  uint64_t FRunStartUs = 0;
  uint64_t FRunEndUs = 0;
  bool FRunning = false;
};
