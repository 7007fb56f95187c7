// The fixed order of a processor run's calls (see CallOrder.h).
#include "coordination/CallOrder.h"

#include <algorithm>
#include <stdexcept>

#include "coordination/RunEngine.h"

#include "diagnostics/TextUtils.h"

namespace {

using TextUtils::SameText;

// Where a call stands in a run, and where its engine stands after it.
struct TPlace {
  uint32_t Step;
  uint8_t Phase;
  auto operator<=>(const TPlace&) const = default;
};

}  // namespace

void TCallOrder::Reset(size_t engines) {
  CoverEngines(FEngines, engines);
  FCount = engines;
  for (size_t i = 0; i < engines; ++i) {
    FEngines[i].Calls = TCallOrderPart{};
    FEngines[i].Calls.Next.ClientID = static_cast<uint32_t>(i);
  }
}

TCallOrderPart& TCallOrder::Part(size_t id) const {
  if (id >= FCount) throw std::out_of_range("TCallOrder: no such engine");
  return FEngines[id].Calls;
}

bool TCallOrder::HasEnded(uint32_t id) const { return id < FCount && Part(id).Ended; }

TCallKey TCallOrder::Arrive(uint32_t id, std::string_view method, uint32_t completedSteps) {
  TCallOrderPart& e = Part(id);
  const TPlace now{e.Next.Step, e.Next.Phase};
  TPlace call = now, after = now;
  if (SameText(method, "Initialize")) {
    call = {0, PHASE_INITIALIZING};
    after = {0, PHASE_INITIALIZED};
  } else if (SameText(method, "StartSimulation")) {
    call = {0, PHASE_INITIALIZED};
    after = {0, PHASE_BETWEEN_STEPS};
  } else if (SameText(method, "StartTimeStep")) {
    call = {completedSteps, PHASE_BETWEEN_STEPS};
    after = {completedSteps, PHASE_IN_STEP};
  } else if (SameText(method, "StopTimeStep")) {
    call = {completedSteps, PHASE_IN_STEP};
    after = {completedSteps + 1, PHASE_BETWEEN_STEPS};
  } else if (SameText(method, "StopSimulation") || SameText(method, "Finalize")) {
    call = after = {completedSteps, PHASE_BETWEEN_STEPS};
  }
  // An engine that calls out of the usual order is kept in its own order:
  // no call of it goes before the place its previous call left it at.
  call = std::max(call, now);
  after = std::max(after, call);
  TCallKey key{call.Step, call.Phase, id, e.Next.Seq};
  e.Next = {after.Step, after.Phase, id, key.Seq + 1};
  e.Waiting.push_back(key);
  return key;
}

void TCallOrder::Forwarded(uint32_t id) {
  TCallOrderPart& e = Part(id);
  if (!e.Waiting.empty()) e.Waiting.erase(e.Waiting.begin());
}

void TCallOrder::Ended(uint32_t id) {
  if (id < FCount) Part(id).Ended = true;
}

bool TCallOrder::MayForward(const TCallKey& key, uint32_t* holder) const {
  for (size_t i = 0; i < FCount; ++i) {
    if (i == key.ClientID) continue;
    const TCallOrderPart& e = Part(i);
    if (e.Ended && e.Waiting.empty()) continue;
    if (Frontier(e) < key) {
      if (holder) *holder = static_cast<uint32_t>(i);
      return false;
    }
  }
  return true;
}
