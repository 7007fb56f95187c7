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

TRunTimings::TWaits TRunTimings::WaitsFor(size_t first, size_t last) const {
  TWaits waits;
  waits.WaitedForUs.assign(FEngines.size(), 0);
  waits.LastIn.assign(FEngines.size(), 0);
  for (size_t step = first; step <= last && step < FStepEnds.size(); ++step) {
    const TStepEnd& end = FStepEnds[step];
    if (end.Count < 2 || end.LastEngine >= FEngines.size()) continue;
    ++waits.SharedSteps;
    waits.WaitedForUs[end.LastEngine] += end.LastUs * end.Count - end.SumUs;
    ++waits.LastIn[end.LastEngine];
  }
  return waits;
}

std::optional<uint32_t> TRunTimings::HeldOthersMost(uint32_t lastStep) const {
  if (FEngines.size() < 2) return std::nullopt;
  const uint32_t first = lastStep >= RECENT_STEPS - 1 ? lastStep - (RECENT_STEPS - 1) : 0;
  const TWaits waits = WaitsFor(first, lastStep);
  const auto most = std::max_element(waits.WaitedForUs.begin(), waits.WaitedForUs.end());
  if (*most == 0) return std::nullopt;
  return static_cast<uint32_t>(most - waits.WaitedForUs.begin());
}

std::optional<TRunTimings::TPace> TRunTimings::PaceSetter() const {
  if (FEngines.size() < 2 || FStepEnds.empty()) return std::nullopt;
  const TWaits waits = WaitsFor(0, FStepEnds.size() - 1);
  const auto most = std::max_element(waits.WaitedForUs.begin(), waits.WaitedForUs.end());
  if (waits.SharedSteps == 0 || *most == 0) return std::nullopt;
  const auto engine = static_cast<uint32_t>(most - waits.WaitedForUs.begin());
  return TPace{engine, *most, waits.LastIn[engine], waits.SharedSteps};
}

size_t TRunTimings::ComputingSeries(uint32_t engine, size_t from, std::vector<float>& out) const {
  if (engine >= FEngines.size()) return 0;
  const std::vector<float>& series = FEngines[engine].ComputingMs;
  if (from < series.size()) out.insert(out.end(), series.begin() + static_cast<std::ptrdiff_t>(from), series.end());
  return series.size();
}
