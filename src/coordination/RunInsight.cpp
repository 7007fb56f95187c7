#include "coordination/RunInsight.h"

#include "diagnostics/Logging.h"
#include "diagnostics/TextUtils.h"
#include "platform/Clock.h"
#include "platform/Files.h"

namespace {

std::string Seconds(uint64_t us) { return TextUtils::SafeFormat("%.3f s", static_cast<double>(us) / 1e6); }

}  // namespace

TRunInsight::TProcessorSpan::TProcessorSpan(TRunInsight* insight, int64_t engine, std::string_view call)
    : FInsight(insight), FEngine(engine), FCall(call), FStartUs(insight ? Platform::MonotonicUs() : 0) {}

TRunInsight::TProcessorSpan::~TProcessorSpan() {
  if (FInsight) FInsight->ProcessorExchanged(FEngine, FCall, FStartUs, Platform::MonotonicUs());
}

std::string TRunInsight::EngineName(uint32_t engine) const {
  const std::string file = engine < FModelNames.size() ? FModelNames[engine] : std::string();
  return "Velmar #" + std::to_string(engine) + " (" + file + ")";
}

void TRunInsight::RunStarting(const std::vector<std::string>& modelFiles, uint64_t nowUs) {
  if (FTrace.IsOpen()) FTrace.Close(nowUs);
  if (!FEnabled) return;
  FModelNames.clear();
  for (const std::string& file : modelFiles) FModelNames.push_back(Platform::ExtractFileName(file));
  FTimings.RunStarted(modelFiles.size(), nowUs);
  if (FTracePath.empty()) return;
  if (const int error = FTrace.Open(FTracePath, nowUs); error != 0) {
    Logger().Error("Could not create the trace file \"%s\": %s; the run goes on without a trace", FTracePath,
                   Platform::OpenErrorMessage(error));
    return;
  }
  for (uint32_t i = 0; i < FModelNames.size(); ++i) FTrace.NameEngine(i, FModelNames[i]);
  FTrace.Flush();
}

void TRunInsight::EngineLaunched(uint32_t engine, uint32_t pid, uint64_t nowUs) {
  if (!FEnabled) return;
  FTrace.ManagerEvent("launch Velmar #" + std::to_string(engine), nowUs, engine, pid);
}

void TRunInsight::StartTimeStepArrived(uint32_t engine, uint32_t step, uint64_t nowUs) {
  if (!FEnabled) return;
  FTimings.StartTimeStepArrived(engine, step, nowUs);
}

void TRunInsight::Released(uint32_t engine, uint64_t nowUs) {
  if (!FEnabled) return;
  const TRunTimings::TEngineNow before = FTimings.Now(engine);
  FTimings.Released(engine, nowUs);
  if (before.Phase == TRunTimings::TPhase::Held) FTrace.Span(engine, "held", before.ArrivedUs, nowUs, before.Step);
}

void TRunInsight::StopTimeStepArrived(uint32_t engine, uint64_t nowUs) {
  if (!FEnabled) return;
  const TRunTimings::TEngineNow before = FTimings.Now(engine);
  FTimings.StopTimeStepArrived(engine, nowUs);
  if (before.Phase == TRunTimings::TPhase::Computing)
    FTrace.Span(engine, "computing", before.ComputingFromUs, nowUs, before.Step);
}

void TRunInsight::ProcessorExchanged(int64_t engine, std::string_view call, uint64_t startUs, uint64_t endUs) {
  if (!FEnabled || engine < 0 || static_cast<uint64_t>(engine) >= FTimings.EngineCount()) return;
  const auto id = static_cast<uint32_t>(engine);
  FTimings.ProcessorExchanged(id, startUs, endUs);
  FTrace.Span(id, "processor", startUs, endUs, FTimings.Now(id).Step, call);
}

std::vector<std::string> TRunInsight::SummaryLines() const {
  std::vector<std::string> lines;
  uint32_t steps = 0;
  for (uint32_t i = 0; i < FTimings.EngineCount(); ++i) steps += FTimings.Totals(i).Steps;
  if (steps == 0) return lines;
  for (uint32_t i = 0; i < FTimings.EngineCount(); ++i) {
    const TRunTimings::TTotals t = FTimings.Totals(i);
    lines.push_back(TextUtils::SafeFormat("%s: %d steps, computing %s (%.1f ms a step), held %s, processor %s",
                                          EngineName(i), t.Steps, Seconds(t.ComputingUs),
                                          FTimings.MeanComputingMs(i), Seconds(t.HeldUs), Seconds(t.ProcessorUs)));
  }
  if (const auto pace = FTimings.PaceSetter())
    lines.push_back(TextUtils::SafeFormat(
        "%s set the pace: last to complete %d of %d steps; the others completed them %s before it in all",
        EngineName(pace->Engine), pace->LastToFinish, pace->SharedSteps, Seconds(pace->OthersWaitedUs)));
  return lines;
}

void TRunInsight::AbundanceReported(uint32_t engine, double total, uint64_t nowUs) {
  if (FEnabled) FTrace.Counter(engine, "abundance", nowUs, total);
}

void TRunInsight::RunEnded(uint64_t nowUs, std::string_view fingerprint) {
  if (!FEnabled || !FTimings.Running()) return;
  FTimings.RunEnded(nowUs);
  for (const std::string& line : SummaryLines()) Logger().Info(line);
  FTrace.Close(nowUs, fingerprint);
}

void AddTimings(TRunProgress& progress, const TRunTimings& timings, uint64_t nowUs) {
  if (timings.EngineCount() != progress.Engines.size()) return;
  for (TEngineProgress& row : progress.Engines) {
    row.MeanComputingMs = timings.MeanComputingMs(row.Model);
    row.HeldShare = timings.HeldShare(row.Model, nowUs);
  }
  // The last step every simulating engine has completed; once none
  // simulates, the last any engine completed.
  std::optional<uint32_t> completed = progress.LowestSimulatingStep();
  if (!completed)
    for (const TEngineProgress& row : progress.Engines)
      if (!completed || row.CompletedStep > *completed) completed = row.CompletedStep;
  if (!completed || *completed == 0) return;
  if (const auto most = timings.HeldOthersMost(*completed - 1); most && *most < progress.Engines.size())
    progress.Engines[*most].HoldsOthers = true;
}
