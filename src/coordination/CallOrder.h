#pragma once
// The order in which a processor run hands the engines' calls to the
// external processor. Each call gets a key from what its engine has sent
// so far, never from when it arrived; a call is passed on once no engine
// still running can send one with a smaller key. So the processor reads
// the same lines in the same order however fast each engine is.
//
// A key is (step, phase, client id, the engine's own call count). The
// phase says where in its run the engine stands when it sends the call:
//   Initialize                              (0, PHASE_INITIALIZING)
//   StartSimulation                         (0, PHASE_INITIALIZED)
//   StartTimeStep of step k                 (k, PHASE_BETWEEN_STEPS)
//   StopTimeStep of step k                  (k, PHASE_IN_STEP)
//   StopSimulation and Finalize after the last step k-1 (k, PHASE_BETWEEN_STEPS)
// A call of any other method (Echo) takes the phase its engine is in, so it
// keeps its place in that engine's own sequence. Hence at every step all
// StartTimeStep calls come before all StopTimeStep calls, which come in
// client order before the next step's starts; and an engine that ends early
// is passed on as soon as the engines before it have started the step it
// would have run next.
#include <compare>
#include <cstdint>
#include <string_view>
#include <vector>

enum TCallPhase : uint8_t {
  PHASE_INITIALIZING = 0,
  PHASE_INITIALIZED = 1,
  PHASE_BETWEEN_STEPS = 2,
  PHASE_IN_STEP = 3,
};

struct TCallKey {
  uint32_t Step = 0;
  uint8_t Phase = PHASE_INITIALIZING;
  uint32_t ClientID = 0;
  uint64_t Seq = 0;
  auto operator<=>(const TCallKey&) const = default;
};

struct TRunEngine;

// An engine's part: where it stands in the order.
struct TCallOrderPart {
  // The smallest key its next call can have.
  TCallKey Next;
  // Keys of its calls that have arrived and not been passed on yet, the
  // oldest first (an engine has one at a time unless it sends ahead).
  std::vector<TCallKey> Waiting;
  bool Ended = false;
};

class TCallOrder {
 public:
  // Each engine's part is kept in the run's engine.
  explicit TCallOrder(std::vector<TRunEngine>& engines) : FEngines(engines) {}
  TCallOrder(const TCallOrder&) = delete;
  TCallOrder& operator=(const TCallOrder&) = delete;

  // A new run of engines engines (the first engines of the run's): each of
  // them will send its calls from the beginning, the ones not launched yet
  // included.
  void Reset(size_t engines);
  size_t EngineCount() const { return FCount; }

  // The key of a call of method that engine id sends after completing
  // completedSteps steps; the engine's place moves past it.
  TCallKey Arrive(uint32_t id, std::string_view method, uint32_t completedSteps);
  // The engine's call with this key has been passed on.
  void Forwarded(uint32_t id);
  // The engine sends nothing more that counts (it finalised, exited or
  // was killed): it holds nobody any longer.
  void Ended(uint32_t id);
  bool HasEnded(uint32_t id) const;

  // Whether a call with key may be passed on now: every other engine still
  // running can only send calls with larger keys. holder receives the
  // first engine that could still send a smaller one.
  bool MayForward(const TCallKey& key, uint32_t* holder = nullptr) const;

 private:
  static const TCallKey& Frontier(const TCallOrderPart& e) { return e.Waiting.empty() ? e.Next : e.Waiting.front(); }
  // Engine id's part; raises std::out_of_range for an engine not in the run.
  TCallOrderPart& Part(size_t id) const;

  std::vector<TRunEngine>& FEngines;
  size_t FCount = 0;  // the engines of the run
};
