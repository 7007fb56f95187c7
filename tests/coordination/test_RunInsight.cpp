// The run's timings, end-of-run lines and trace, fed with made-up times: a
// lockstep schedule of engines whose work per step is known, played
// through the same hooks the calls use, so every figure is exact.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "coordination/RunInsight.h"
#include "coordination/TraceReader.h"
#include "diagnostics/Logging.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t T0 = 5'000'000;  // the run's start on the made-up clock

struct TEngineScript {
  std::vector<uint64_t> WorkUs;  // per step (the last value repeats)
  uint64_t ProcessorUs = 0;      // the processor's time for each "StartTimeStep"
  uint64_t WorkAt(size_t step) const { return WorkUs[std::min(step, WorkUs.size() - 1)]; }
};

// Plays a lockstep run: every engine asks for step k BETWEEN_US after its
// reply to step k-1, and the barrier lets it through once every engine has
// completed step k-1. Returns the run's end.
constexpr uint64_t BETWEEN_US = 100;
uint64_t PlayRun(TRunInsight& insight, const std::vector<TEngineScript>& engines, size_t steps) {
  std::vector<std::string> files;
  for (size_t i = 0; i < engines.size(); ++i) files.push_back("/models/m" + std::to_string(i) + ".vm");
  insight.RunStarting(files, T0);
  std::vector<uint64_t> stop(engines.size(), T0 + 1000);
  for (uint32_t i = 0; i < engines.size(); ++i) insight.EngineLaunched(i, 100 + i, T0 + 10 * (i + 1));
  for (size_t k = 0; k < steps; ++k) {
    const uint64_t open = k == 0 ? 0 : *std::max_element(stop.begin(), stop.end());
    // Arrivals in time order, as the manager would see them.
    std::vector<uint32_t> order(engines.size());
    for (uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return stop[a] < stop[b]; });
    for (uint32_t i : order) {
      const uint64_t arrival = stop[i] + (k == 0 ? 0 : BETWEEN_US);
      insight.StartTimeStepArrived(i, static_cast<uint32_t>(k), arrival);
      const uint64_t release = std::max(arrival, open);
      insight.Released(i, release);
      uint64_t reply = release;
      if (engines[i].ProcessorUs) {
        insight.ProcessorExchanged(i, "StartTimeStep", release, release + engines[i].ProcessorUs);
        reply += engines[i].ProcessorUs;
      }
      stop[i] = reply + engines[i].WorkAt(k);
      insight.StopTimeStepArrived(i, stop[i]);
    }
  }
  const uint64_t end = *std::max_element(stop.begin(), stop.end()) + 500;
  insight.RunEnded(end);
  return end;
}

class RunInsightTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FDir = fs::temp_directory_path() / ("velmar-insight-" + std::to_string(getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(FDir);
    Logger().SetLogHandler([this](const TLogEvent& event, bool& handled) {
      FLines.push_back(event.RawMessage);
      handled = true;
    });
  }
  void TearDown() override {
    Logger().SetLogHandler(nullptr);
    fs::remove_all(FDir);
  }
  std::string Path(const std::string& name) const { return (FDir / name).string(); }

  fs::path FDir;
  std::vector<std::string> FLines;
};

// Three engines of 5, 20 and 50 ms a step over 10 steps.
const std::vector<TEngineScript> KNOWN_WORK = {{{5000}}, {{20000}}, {{50000}}};

TEST_F(RunInsightTest, TheRunEndsWithALinePerEngineAndThePaceSetter) {
  TRunInsight insight;
  PlayRun(insight, KNOWN_WORK, 10);
  // Steps 1..9 of a fast engine wait for the slow one's work less its own,
  // less the pause between its steps.
  EXPECT_EQ(FLines, (std::vector<std::string>{
                        "Velmar #0 (m0.vm): 10 steps, computing 0.050 s (5.0 ms a step), held 0.405 s, processor 0.000 s",
                        "Velmar #1 (m1.vm): 10 steps, computing 0.200 s (20.0 ms a step), held 0.270 s, processor 0.000 s",
                        "Velmar #2 (m2.vm): 10 steps, computing 0.500 s (50.0 ms a step), held 0.000 s, processor 0.000 s",
                        "Velmar #2 (m2.vm) set the pace: last to complete 10 of 10 steps; the others completed them 0.752 s before it in all",
                    }));
  // Once only.
  insight.RunEnded(T0 + 10'000'000);
  EXPECT_EQ(FLines.size(), 4u);
}

TEST_F(RunInsightTest, TheProcessorsTimeIsItsOwnAndComputingStartsAtTheReply) {
  TRunInsight insight;
  PlayRun(insight, {{{5000}, 2000}, {{20000}}}, 4);
  EXPECT_EQ(insight.Timings().Totals(0).ProcessorUs, 8000u);
  EXPECT_EQ(insight.Timings().Totals(0).ComputingUs, 20000u);
  EXPECT_DOUBLE_EQ(insight.Timings().MeanComputingMs(0), 5.0);
  EXPECT_EQ(insight.Timings().Totals(1).ProcessorUs, 0u);
  ASSERT_FALSE(FLines.empty());
  EXPECT_EQ(FLines[0], "Velmar #0 (m0.vm): 4 steps, computing 0.020 s (5.0 ms a step), held 0.039 s, processor 0.008 s");
  // Between steps: from the reply to "StopTimeStep" to the next "StartTimeStep".
  EXPECT_EQ(insight.Timings().Totals(0).BetweenUs, 3 * BETWEEN_US);
}

TEST_F(RunInsightTest, OneEngineAloneSetsNoPace) {
  TRunInsight insight;
  PlayRun(insight, {{{7000}}}, 3);
  EXPECT_EQ(FLines, (std::vector<std::string>{
                        "Velmar #0 (m0.vm): 3 steps, computing 0.021 s (7.0 ms a step), held 0.000 s, processor 0.000 s"}));
}

TEST_F(RunInsightTest, ARunWithoutStepsLogsNothingAndADisabledInsightKeepsNothing) {
  TRunInsight insight;
  insight.RunStarting({"a.vm", "b.vm"}, T0);
  insight.RunEnded(T0 + 1000);
  EXPECT_TRUE(FLines.empty());

  TRunInsight off;
  off.SetEnabled(false);
  off.SetTraceFile(Path("off.json"));
  PlayRun(off, KNOWN_WORK, 5);
  EXPECT_TRUE(FLines.empty());
  EXPECT_EQ(off.Timings().Totals(2).Steps, 0u);
  EXPECT_FALSE(fs::exists(Path("off.json")));
}

// The table's mark: who held the others most over the last 10 steps, not
// over the whole run. Engine 0 is slow for 30 steps, then engine 1 for 12.
TEST_F(RunInsightTest, TheMarkFollowsTheLastTenStepsAndThePaceTheWholeRun) {
  TRunInsight insight;
  std::vector<uint64_t> slowFirst(30, 40000), fastLater(12, 1000);
  slowFirst.insert(slowFirst.end(), fastLater.begin(), fastLater.end());
  std::vector<uint64_t> fastFirst(30, 1000), slowLater(12, 30000);
  fastFirst.insert(fastFirst.end(), slowLater.begin(), slowLater.end());
  PlayRun(insight, {{slowFirst}, {fastFirst}, {{2000}}}, 42);
  const TRunTimings& t = insight.Timings();
  struct TCase {
    uint32_t LastStep;
    std::optional<uint32_t> Marked;
  };
  for (const TCase& c : {TCase{29, 0}, TCase{37, 1}, TCase{41, 1}, TCase{60, std::nullopt}}) {
    SCOPED_TRACE(c.LastStep);
    EXPECT_EQ(t.HeldOthersMost(c.LastStep), c.Marked);
  }
  const auto pace = t.PaceSetter();
  ASSERT_TRUE(pace);
  EXPECT_EQ(pace->Engine, 0u);
  EXPECT_EQ(pace->LastToFinish, 30u);
  EXPECT_EQ(pace->SharedSteps, 42u);

  // The rows of the snapshot carry the figures and the mark.
  TRunProgress progress;
  for (uint32_t i = 0; i < 3; ++i) {
    TEngineProgress row;
    row.Model = i;
    row.State = TEngineState::Finalised;
    row.CompletedStep = 42;
    progress.Engines.push_back(row);
  }
  AddTimings(progress, t, T0 + 100'000'000);
  EXPECT_FALSE(progress.Engines[0].HoldsOthers);
  EXPECT_TRUE(progress.Engines[1].HoldsOthers);
  EXPECT_FALSE(progress.Engines[2].HoldsOthers);
  EXPECT_NEAR(progress.Engines[0].MeanComputingMs, (30 * 40.0 + 12 * 1.0) / 42, 1e-9);
  EXPECT_NEAR(progress.Engines[2].MeanComputingMs, 2.0, 1e-9);
  // The third engine waits nearly the whole run; the share is of the run.
  EXPECT_GT(progress.Engines[2].HeldShare, 0.9);
  EXPECT_LE(progress.Engines[2].HeldShare, 1.0);
}

TEST_F(RunInsightTest, TheChartReadsOnlyWhatIsNew) {
  TRunInsight insight;
  PlayRun(insight, {{{1000, 2000, 3000, 4000}}, {{500}}}, 4);
  std::vector<float> out;
  EXPECT_EQ(insight.Timings().ComputingSeries(0, 0, out), 4u);
  EXPECT_EQ(out, (std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f}));
  out.clear();
  EXPECT_EQ(insight.Timings().ComputingSeries(0, 3, out), 4u);
  EXPECT_EQ(out, std::vector<float>{4.0f});
  out.clear();
  EXPECT_EQ(insight.Timings().ComputingSeries(0, 4, out), 4u);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(insight.Timings().ComputingSeries(7, 0, out), 0u);
}

TEST_F(RunInsightTest, TheTraceHoldsEverySpanWithItsStepAndReadsBackWholeOrCut) {
  TRunInsight insight;
  insight.SetTraceFile(Path("run.json"));
  const uint64_t end = PlayRun(insight, {{{5000}, 1000}, {{20000}}, {{50000}}}, 6);
  std::ifstream in(Path("run.json"), std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  // A few hundred bytes per engine-step at most.
  EXPECT_LT(text.size(), 300u * 3 * 6 + 2000);
  const auto trace = ReadTrace(text);
  ASSERT_TRUE(trace);
  EXPECT_TRUE(trace->Complete);
  EXPECT_FALSE(trace->CutLine);
  EXPECT_EQ(trace->TrackNames.at(0), "Manager");
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const auto track = trace->TrackNamed("Velmar #" + std::to_string(i) + " (m" + std::to_string(i) + ".vm)");
    ASSERT_TRUE(track);
    const auto computing = trace->Spans(*track, "computing");
    const auto held = trace->Spans(*track, "held");
    ASSERT_EQ(computing.size(), 6u);
    ASSERT_EQ(held.size(), 6u);
    const int64_t work[] = {5000, 20000, 50000};
    for (size_t k = 0; k < 6; ++k) {
      EXPECT_EQ(computing[k].Dur, work[i]);
      EXPECT_EQ(computing[k].Step, static_cast<int64_t>(k));
      EXPECT_EQ(held[k].Step, static_cast<int64_t>(k));
      // Held ends where computing (or the processor's answer) begins.
      EXPECT_LE(held[k].Ts + held[k].Dur, computing[k].Ts);
    }
    if (i == 1) {
      EXPECT_EQ(held[3].Dur, 50000 - 20000);
    }
  }
  const auto processor = trace->Spans(1, "processor");
  ASSERT_EQ(processor.size(), 6u);
  EXPECT_EQ(processor[2].Dur, 1000);
  EXPECT_EQ(processor[2].Step, 2);
  EXPECT_EQ(processor[2].Call, "StartTimeStep");
  std::vector<std::string> manager;
  for (const TTraceEvent& e : trace->Events)
    if (e.Track == 0) manager.push_back(e.Name + "@" + std::to_string(e.Ts));
  EXPECT_EQ(manager, (std::vector<std::string>{"run start@0", "launch Velmar #0@10", "launch Velmar #1@20",
                                               "launch Velmar #2@30", "Run@0", "run end@" + std::to_string(end - T0)}));
  const auto run = trace->Spans(0, "Run");
  ASSERT_EQ(run.size(), 1u);
  EXPECT_EQ(run[0].Dur, static_cast<int64_t>(end - T0));

  // Cut anywhere, as a killed manager leaves it: still read, with every
  // event whose line was whole.
  size_t previous = 0;
  for (size_t length = text.find('\n') + 1; length + 1 < text.size(); length += 7) {
    const auto cut = ReadTrace(std::string_view(text).substr(0, length));
    ASSERT_TRUE(cut) << length;
    EXPECT_FALSE(cut->Complete);
    EXPECT_GE(cut->Events.size(), previous);
    previous = cut->Events.size();
  }
  EXPECT_GE(previous + 1, trace->Events.size());
  // Not a trace at all, or damage before the last line.
  EXPECT_FALSE(ReadTrace("{\"traceEvents\":[]}"));
  std::string damaged = text;
  damaged[text.find("computing") + 3] = '"';
  EXPECT_FALSE(ReadTrace(damaged));
}

TEST_F(RunInsightTest, ATraceFileThatIsALinkIsRefusedAndTheRunGoesOn) {
  std::ofstream(Path("target.json")) << "keep";
  fs::create_symlink(Path("target.json"), Path("link.json"));
  TRunInsight insight;
  insight.SetTraceFile(Path("link.json"));
  PlayRun(insight, KNOWN_WORK, 2);
  ASSERT_FALSE(FLines.empty());
  EXPECT_NE(FLines[0].find("Could not create the trace file \"" + Path("link.json") + "\""), std::string::npos)
      << FLines[0];
  EXPECT_EQ(FLines.size(), 1u + 4u);  // the error, then the run's lines
  std::ifstream in(Path("target.json"));
  std::string kept;
  in >> kept;
  EXPECT_EQ(kept, "keep");
}

}  // namespace
