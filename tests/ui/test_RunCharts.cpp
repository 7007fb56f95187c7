// The charts under the engine table: the populations the engines report,
// drawn as the run goes, with the processor's settings marked; readable at
// 99 engines; and after a real run in the window, the lines hold what each
// engine's own results file says, year by year.
#include <fstream>
#include <set>
#include <sstream>

#include <QComboBox>
#include <QLineSeries>
#include <QListWidget>
#include <QTimer>

#include "../e2e/RunSupport.h"
#include "../tools/ToolPaths.h"
#include "ScriptedRunSupport.h"
#include "ui/ComputingChart.h"
#include "ui/RunCharts.h"

namespace {

// 99 engines of two populations each, stage counts known at every step; the
// processor set the abundances at steps 3 and 7.
class TReportingEngines : public TFakeSimulator {
 public:
  static constexpr uint32_t ENGINES = 99;
  size_t Steps = 10;
  static float Stage(uint32_t e, size_t step, size_t p, size_t stage) {
    return static_cast<float>(e * 100 + step * 2 + p + stage * 0.25);
  }
  uint64_t StateGeneration() override { return Steps; }
  std::vector<std::string> StateRoots() override { return {"Abund", "K"}; }
  size_t StateSeries(uint32_t e, const std::string& root, size_t from, std::vector<std::vector<float>>& out) override {
    for (size_t s = from; s < Steps; ++s) {
      if (root == "Abund")
        out.push_back({Stage(e, s, 0, 0) + Stage(e, s, 0, 1), Stage(e, s, 1, 0) + Stage(e, s, 1, 1)});
      else
        out.push_back({1000.0f + static_cast<float>(e), 500.0f});
    }
    return Steps;
  }
  std::vector<uint32_t> AbundanceSetAt(uint32_t, size_t from) override {
    std::vector<uint32_t> set;
    for (const uint32_t step : {3u, 7u})
      if (step >= from) set.push_back(step);
    return set;
  }
};

TRunProgress Rows(uint32_t engines, uint64_t run) {
  TRunProgress p;
  p.Run = run;
  for (uint32_t e = 0; e < engines; ++e) {
    TEngineProgress row;
    row.Model = e;
    row.Filename = "/runs/m" + std::to_string(e) + ".vm";
    p.Engines.push_back(row);
  }
  return p;
}

TEST(RunChartsTest, NinetyNineEnginesEachShowTheirPopulationsWithALegendAMarkAndAReadout) {
  TReportingEngines sim;
  TRunCharts charts;
  charts.resize(900, 400);
  charts.show();
  charts.Follow(sim, Rows(TReportingEngines::ENGINES, 1), true);
  // Abundance comes first once the engines report it.
  EXPECT_EQ(charts.Shown(), TRunCharts::ABUNDANCE);
  TChartLines& lines = charts.Population()->Lines();
  ASSERT_EQ(lines.Count(), 2u * TReportingEngines::ENGINES);
  // One entry a line, and one for the marks.
  EXPECT_EQ(charts.Legend()->count(), static_cast<int>(lines.Count()) + 1);
  for (uint32_t e : {0u, 41u, 98u})
    for (size_t p = 0; p < 2; ++p) {
      const int line = charts.Population()->LineOf(e, p);
      ASSERT_GE(line, 0);
      EXPECT_EQ(lines.Line(static_cast<size_t>(line))->name().toStdString(),
                "m" + std::to_string(e) + ".vm, population " + std::to_string(p));
      for (size_t s = 0; s < 10; ++s) {
        double v = 0;
        ASSERT_TRUE(lines.ValueAt(static_cast<size_t>(line), s, v));
        EXPECT_FLOAT_EQ(v, TReportingEngines::Stage(e, s, p, 0) + TReportingEngines::Stage(e, s, p, 1));
      }
    }
  // Every line is marked at steps 3 and 7, and nowhere else.
  std::multiset<double> marked;
  for (const QPointF& m : lines.Marks()) marked.insert(m.x());
  EXPECT_EQ(marked.count(3.0), lines.Count());
  EXPECT_EQ(marked.count(7.0), lines.Count());
  EXPECT_EQ(marked.size(), 2 * lines.Count());
  // Lines of equal colour differ in their dashes.
  EXPECT_EQ(lines.Colour(0), lines.Colour(10));
  EXPECT_NE(lines.Line(0)->pen().style(), lines.Line(10)->pen().style());
  // The readout lists lines with their values, and counts the rest.
  const std::string readout = charts.Readout(5);
  EXPECT_EQ(readout.rfind("step 5\nm0.vm, population 0: 20.25\n", 0), 0u) << readout;
  EXPECT_NE(readout.find("... and 174 more"), std::string::npos) << readout;
  // A legend entry picked draws its line wider.
  charts.Legend()->setCurrentRow(3);
  EXPECT_GT(lines.Line(3)->pen().width(), lines.Line(2)->pen().width());

  // Another variable, as each engine's total; the choice outlives the run.
  ASSERT_TRUE(charts.Pick("K, each engine's total"));
  ASSERT_EQ(charts.Population()->Lines().Count(), TReportingEngines::ENGINES);
  double k = 0;
  ASSERT_TRUE(charts.Population()->Lines().ValueAt(static_cast<size_t>(charts.Population()->LineOf(41, 0)), 2, k));
  EXPECT_EQ(k, 1541.0);
  charts.Follow(sim, Rows(TReportingEngines::ENGINES, 2), true);
  EXPECT_EQ(charts.Shown(), "K, each engine's total");
  ASSERT_TRUE(charts.Pick(TRunCharts::COMPUTING));
  EXPECT_EQ(charts.Legend()->count(), static_cast<int>(TReportingEngines::ENGINES));
}

// A long run's populations are binned like the computing chart's, and the
// marks stay on the bins that hold them.
TEST(RunChartsTest, ALongRunStaysWithinThePointBoundAndKeepsItsMarks) {
  TReportingEngines sim;
  TRunCharts charts;
  const TRunProgress rows = Rows(2, 1);
  for (sim.Steps = 500; sim.Steps <= 5000; sim.Steps += 500) charts.Follow(sim, rows, true);
  TChartLines& lines = charts.Population()->Lines();
  ASSERT_EQ(lines.Count(), 4u);
  EXPECT_LE(lines.Points(0).size(), TChartLines::MAX_POINTS);
  EXPECT_GE(lines.StepsPerPoint(), 8u);
  std::set<double> marked;
  for (const QPointF& m : lines.Marks()) marked.insert(m.x());
  EXPECT_EQ(marked, (std::set<double>{0.0}));  // steps 3 and 7 fall in the first bin
}

class RunChartsWindowTest : public ScriptedRunTest {
 protected:
  static void SetUpTestSuite() { StartModule("velmar-ui-charts-"); }
};

TEST_F(RunChartsWindowTest, AfterADispersalRunTheLinesAreTheEnginesOwnResults) {
  constexpr int YEARS = 15;
  std::string doc;
  std::vector<std::string> models;
  for (int i = 0; i < 3; ++i) {
    models.push_back(PathOf("m" + std::to_string(i) + ".vm"));
    WriteFile(models.back(), "years = " + std::to_string(YEARS) + "\nseed = " + std::to_string(i + 5) +
                                 "\n[population P]\ninitial = " + std::to_string(100 + 200 * i) +
                                 "\ncapacity = 1000\ngrowth = 0.2\nvariation = 0.1\n");
    doc += "[Model" + std::to_string(i) + "]\nFilename=" + models.back() + "\n";
  }
  WriteFile(PathOf("run.vmgr"), doc);
  TSettings::SetVelmarFilename(ToolPaths::Program("velmar-refengine"));
  TSettings::SetUseExternalProcessor(true);
  TSettings::SetExternalProcessorFilename(ToolPaths::Program("velmar-dispersal"));
  TSettings::SetExternalProcessorParameters("0.1");
  TSettings::SetExternalProcessorCloseCommand("QUIT");
  FForm = std::make_unique<TMainForm>(std::vector<std::string>{PathOf("run.vmgr")});
  TMainForm& form = *FForm;
  form.show();
  QTimer::singleShot(0, form.SimulateStartAction, &QAction::trigger);
  ASSERT_TRUE(RunLoopUntil([&] { return form.RunControl().GetSimulating(); }, 30000));
  ASSERT_TRUE(RunLoopUntil(
      [&] { return !form.RunControl().GetSimulating() && !form.SimulationTimer->isActive(); }, 60000));
  ASSERT_EQ(form.RunControl().GetOutcome(), roComplete);

  EXPECT_EQ(form.RunCharts->Shown(), TRunCharts::ABUNDANCE);
  TChartLines& lines = form.RunCharts->Population()->Lines();
  ASSERT_EQ(lines.Count(), 3u);
  // Dispersal hands every engine its new abundances from the second step on.
  std::set<double> marked;
  for (const QPointF& m : lines.Marks()) marked.insert(m.x());
  std::set<double> expected;
  for (int s = 1; s < YEARS; ++s) expected.insert(s);
  EXPECT_EQ(marked, expected);
  for (uint32_t e = 0; e < 3; ++e) {
    const auto results = RunSupport::ReadResults(models[e].substr(0, models[e].size() - 3) + ".results.csv");
    ASSERT_EQ(results.Total.size(), static_cast<size_t>(YEARS + 1));
    const int line = form.RunCharts->Population()->LineOf(e, 0);
    ASSERT_GE(line, 0);
    for (int s = 0; s < YEARS; ++s) {
      double v = -1;
      ASSERT_TRUE(lines.ValueAt(static_cast<size_t>(line), static_cast<size_t>(s), v));
      EXPECT_EQ(v, static_cast<double>(results.Total[static_cast<size_t>(s) + 1])) << "engine " << e << " step " << s;
    }
  }
}

}  // namespace
