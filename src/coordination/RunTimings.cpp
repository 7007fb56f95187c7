#include "coordination/RunTimings.h"

#include <algorithm>

namespace {

uint64_t Since(uint64_t fromUs, uint64_t toUs) { return toUs > fromUs ? toUs - fromUs : 0; }

const TRunTimings::TEngineNow NO_ENGINE{};

}  // namespace

void TRunTimings::RunStarted(size_t engines, uint64_t nowUs) {
  FEngines.assign(engines, TEngine{});
  FStepEnds.clear();
  FRunStartUs = nowUs;
  FRunEndUs = 0;
  FRunning = true;
}

void TRunTimings::RunEnded(uint64_t nowUs) {
  if (!FRunning) return;
  FRunning = false;
  FRunEndUs = nowUs;
}

void TRunTimings::StartTimeStepArrived(uint32_t engine, uint32_t step, uint64_t nowUs) {
  TEngine* e = Engine(engine);
  if (!e) return;
  if (e->Now.Phase == TPhase::Stopped) e->Totals.BetweenUs += Since(e->Now.StopRepliedUs, nowUs);
  e->Now.Phase = TPhase::Held;
  e->Now.Step = step;
  e->Now.ArrivedUs = nowUs;
}

void TRunTimings::Released(uint32_t engine, uint64_t nowUs) {
  TEngine* e = Engine(engine);
  if (!e || e->Now.Phase != TPhase::Held) return;
  e->Totals.HeldUs += Since(e->Now.ArrivedUs, nowUs);
  e->Now.Phase = TPhase::Computing;
  e->Now.ComputingFromUs = nowUs;
}

void TRunTimings::StopTimeStepArrived(uint32_t engine, uint64_t nowUs) {
  TEngine* e = Engine(engine);
  if (!e || e->Now.Phase != TPhase::Computing) return;
  const uint64_t computing = Since(e->Now.ComputingFromUs, nowUs);
  e->Totals.ComputingUs += computing;
  ++e->Totals.Steps;
  e->ComputingMs.push_back(static_cast<float>(static_cast<double>(computing) / 1000.0));
  e->Now.Phase = TPhase::Stopped;
  e->Now.StopRepliedUs = nowUs;
  const uint32_t step = e->Now.Step;
  e->Marks[step % MARKS] = {step, nowUs};
  if (step >= FStepEnds.size()) FStepEnds.resize(static_cast<size_t>(step) + 1);
  TStepEnd& end = FStepEnds[step];
  ++end.Count;
  end.SumUs += nowUs;
  if (end.Count == 1 || nowUs >= end.LastUs) {
    end.LastUs = nowUs;
    end.LastEngine = engine;
  }
}

void TRunTimings::ProcessorExchanged(uint32_t engine, uint64_t startUs, uint64_t endUs) {
  TEngine* e = Engine(engine);
  if (!e) return;
  e->Totals.ProcessorUs += Since(startUs, endUs);
  // The reply to the call went out once the processor had answered.
  if (e->Now.Phase == TPhase::Computing) e->Now.ComputingFromUs = std::max(e->Now.ComputingFromUs, endUs);
  if (e->Now.Phase == TPhase::Stopped) e->Now.StopRepliedUs = std::max(e->Now.StopRepliedUs, endUs);
}

uint64_t TRunTimings::ElapsedUs(uint64_t nowUs) const {
  return Since(FRunStartUs, FRunning ? nowUs : FRunEndUs);
}

TRunTimings::TTotals TRunTimings::Totals(uint32_t engine) const {
  return engine < FEngines.size() ? FEngines[engine].Totals : TTotals{};
}

const TRunTimings::TEngineNow& TRunTimings::Now(uint32_t engine) const {
  return engine < FEngines.size() ? FEngines[engine].Now : NO_ENGINE;
}

double TRunTimings::MeanComputingMs(uint32_t engine) const {
  const TTotals t = Totals(engine);
  return t.Steps ? static_cast<double>(t.ComputingUs) / 1000.0 / t.Steps : 0.0;
}

double TRunTimings::HeldShare(uint32_t engine, uint64_t nowUs) const {
  const uint64_t elapsed = ElapsedUs(nowUs);
  if (elapsed == 0 || engine >= FEngines.size()) return 0.0;
  uint64_t held = FEngines[engine].Totals.HeldUs;
  // A wait still going on counts up to now.
  const TEngineNow& now = FEngines[engine].Now;
  if (FRunning && now.Phase == TPhase::Held) held += Since(now.ArrivedUs, nowUs);
  return std::min(1.0, static_cast<double>(held) / static_cast<double>(elapsed));
}

std::optional<uint32_t> TRunTimings::HeldOthersMost(uint32_t lastStep) const {
  if (FEngines.size() < 2) return std::nullopt;
  std::vector<uint64_t> waitedFor(FEngines.size(), 0);
  const uint32_t first = lastStep >= RECENT_STEPS - 1 ? lastStep - (RECENT_STEPS - 1) : 0;
  for (uint32_t step = first; step <= lastStep; ++step) {
    uint64_t latest = 0, sum = 0;
    uint32_t count = 0, who = 0;
    for (uint32_t i = 0; i < FEngines.size(); ++i) {
      const TStopMark& mark = FEngines[i].Marks[step % MARKS];
      if (mark.Step != step) continue;
      ++count;
      sum += mark.AtUs;
      if (count == 1 || mark.AtUs >= latest) {
        latest = mark.AtUs;
        who = i;
      }
    }
    if (count >= 2) waitedFor[who] += latest * count - sum;
  }
  const auto most = std::max_element(waitedFor.begin(), waitedFor.end());
  if (*most == 0) return std::nullopt;
  return static_cast<uint32_t>(most - waitedFor.begin());
}

std::optional<TRunTimings::TPace> TRunTimings::PaceSetter() const {
  if (FEngines.size() < 2) return std::nullopt;
  std::vector<uint64_t> waitedFor(FEngines.size(), 0);
  std::vector<uint32_t> last(FEngines.size(), 0);
  uint32_t shared = 0;
  for (const TStepEnd& end : FStepEnds) {
    if (end.Count < 2 || end.LastEngine >= FEngines.size()) continue;
    ++shared;
    waitedFor[end.LastEngine] += end.LastUs * end.Count - end.SumUs;
    ++last[end.LastEngine];
  }
  const auto most = std::max_element(waitedFor.begin(), waitedFor.end());
  if (shared == 0 || *most == 0) return std::nullopt;
  const auto engine = static_cast<uint32_t>(most - waitedFor.begin());
  return TPace{engine, *most, last[engine], shared};
}

size_t TRunTimings::ComputingSeries(uint32_t engine, size_t from, std::vector<float>& out) const {
  if (engine >= FEngines.size()) return 0;
  const std::vector<float>& series = FEngines[engine].ComputingMs;
  if (from < series.size()) out.insert(out.end(), series.begin() + static_cast<std::ptrdiff_t>(from), series.end());
  return series.size();
}
