// What the engine table and its chart cost a run: the lockstep run of eight
// reference engines over a thousand steps (no growth, no noise, debug lines
// off, an untitled document), started from the window, with the Simulation
// tab's engine table and chart shown and hidden. The figure is the engines' own time from
// the moment the last engine began its first step to the end of the last
// step (from their results files, on the monotonic clock they share), so
// launching and the end-of-run poll are left out; beside it, the CPU time
// of the manager's main thread (coordination and window), which a busy
// machine disturbs less. Runs on Qt's offscreen platform, which paints as a
// screen would.
#include <benchmark/benchmark.h>

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <QApplication>
#include <QEventLoop>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "../tests/tools/ToolPaths.h"
#include "BenchTable.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "ui/ComputingChart.h"
#include "ui/RunCharts.h"
#include "ui/Main.h"
#include "ui/QtMessagePump.h"
#include "ui/RunMonitor.h"
#include "ui/Startup.h"

namespace fs = std::filesystem;

namespace {

constexpr int ENGINES = 8;
constexpr int STEPS = 1000;

fs::path BenchDir() { return fs::temp_directory_path() / ("velmar-bench-monitor-" + std::to_string(getpid())); }

// The window's document: ENGINES models, untitled, so that no log file is
// written and the engines' output goes to standard error (they write none).
void SetUpDocument(TMainForm& form) {
  fs::create_directories(BenchDir());
  form.Document().ClearModels();
  for (int i = 0; i < ENGINES; ++i) {
    const fs::path model = BenchDir() / ("m" + std::to_string(i) + ".vm");
    std::ofstream(model) << "years = " << STEPS << "\nseed = " << (11 + i) << "\n[population P" << i
                         << "]\ninitial = " << (100 + i) << "\ncapacity = 1000\ngrowth = 0\nvariation = 0\n";
    form.Document().AddModel()->SetFilename(model.string());
  }
  form.DocumentToControls();
}

double MainThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Nanoseconds from the last engine's first step to the end of the last step
// of any engine; 0 when a results file is incomplete.
int64_t LockstepNs() {
  int64_t lastFirstStart = 0, lastStop = 0;
  for (int i = 0; i < ENGINES; ++i) {
    std::ifstream in(BenchDir() / ("m" + std::to_string(i) + ".results.csv"));
    std::string line;
    std::vector<std::pair<int64_t, int64_t>> years;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      const size_t stopAt = line.rfind(',');
      const size_t startAt = line.rfind(',', stopAt - 1);
      years.emplace_back(std::stoll(line.substr(startAt + 1, stopAt - startAt - 1)), std::stoll(line.substr(stopAt + 1)));
    }
    if (years.size() != STEPS + 1) return 0;
    lastFirstStart = std::max(lastFirstStart, years[1].first);
    lastStop = std::max(lastStop, years.back().second);
  }
  return lastStop - lastFirstStart;
}

// chart: the picker's entry shown under the table (the engines report Abund,
// so "Abundance" is what a run shows unless the user picks another).
void LockstepRun(benchmark::State& state, bool tableShown, const char* chart = TRunCharts::COMPUTING) {
  double cpuSeconds = 0;
  for (auto _ : state) {
    const double cpuAtStart = MainThreadCpuSeconds();
    TMainForm form({});
    SetUpDocument(form);
    form.PageControl->setCurrentWidget(form.SimulationTabSheet);
    form.EnginesTable->setVisible(tableShown);
    form.RunCharts->setVisible(tableShown);
    if (std::string(chart) != TRunCharts::ABUNDANCE) form.RunCharts->Pick(chart);
    form.show();
    (void)QTest::qWaitForWindowExposed(&form);
    form.SimulateStartAction->trigger();
    TRunControl& run = form.RunControl();
    // The application's own loop, as in the program: a test wait would
    // sleep between its passes and hold up the engines' calls.
    QEventLoop loop;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
      if (!run.GetSimulating() && !run.GetSimulationTimerOn()) loop.quit();
    });
    watch.start(20);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    loop.exec();
    const bool ended = !run.GetSimulating() && !run.GetSimulationTimerOn();
    const int64_t ns = LockstepNs();
    if (!ended || run.GetOutcome() != roComplete || ns <= 0) {
      state.SkipWithError("the run did not complete");
      break;
    }
    state.SetIterationTime(static_cast<double>(ns) / 1e9);
    cpuSeconds += MainThreadCpuSeconds() - cpuAtStart;
  }
  // What the manager's one busy thread spent on the run (coordination and
  // window alike): steadier than the time on a shared machine.
  state.counters["ManagerCpuSeconds"] = cpuSeconds / static_cast<double>(std::max<int64_t>(state.iterations(), 1));
}

void BM_LockstepRun_TableHidden(benchmark::State& state) { LockstepRun(state, false); }
void BM_LockstepRun_TableShown(benchmark::State& state) { LockstepRun(state, true); }
BENCHMARK(BM_LockstepRun_TableHidden)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_LockstepRun_TableShown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);
void BM_LockstepRun_PopulationChart(benchmark::State& state) { LockstepRun(state, true, TRunCharts::ABUNDANCE); }
BENCHMARK(BM_LockstepRun_PopulationChart)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void AddRows(const BenchTable::TCollector& c) {
  using namespace BenchTable;
  const auto hidden = c.Seconds("BM_LockstepRun_TableHidden");
  const auto shown = c.Seconds("BM_LockstepRun_TableShown");
  if (hidden && shown)
    AddRow("Lockstep run from the window, 8 engines × 1,000 steps, engine table and chart shown", Time(*shown),
           "≤ 1.1 × the same with the table and chart hidden (" + Time(*hidden) + ")", Fixed(*shown / *hidden, 2),
           Verdict(*shown <= 1.1 * *hidden));
  const auto population = c.Seconds("BM_LockstepRun_PopulationChart");
  if (hidden && population)
    AddRow("Same, engine table and population chart (Abundance) shown", Time(*population),
           "≤ 1.1 × the same with the table and chart hidden (" + Time(*hidden) + ")", Fixed(*population / *hidden, 2),
           Verdict(*population <= 1.1 * *hidden));
  const auto cpuHidden = c.Counter("BM_LockstepRun_TableHidden", "ManagerCpuSeconds");
  const auto cpuShown = c.Counter("BM_LockstepRun_TableShown", "ManagerCpuSeconds");
  if (cpuHidden && cpuShown)
    AddRow("Same, the manager's CPU time per run, engine table and chart shown", Time(*cpuShown),
           "≤ 1.1 × the same with the table and chart hidden (" + Time(*cpuHidden) + ")", Fixed(*cpuShown / *cpuHidden, 2),
           Verdict(*cpuShown <= 1.1 * *cpuHidden));
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  setenv("VELMAR_PIPE_NAMESPACE", ("velmar-bench-monitor-" + std::to_string(getpid()) + "-").c_str(), 1);
  int qtArgc = 1;
  QApplication application(qtArgc, argv);

  fs::create_directories(BenchDir());
  TSettings::SetSettingsPathname((BenchDir() / "settings.ini").string());
  TSettings::SetVelmarFilename(ToolPaths::Program("velmar-refengine"));
  TSettings::SetUseExternalProcessor(false);
  TSettings::SetDebugMessages(false);
  TSettings::SetVelmarStartTimeout(60);
  TSettings::SetVelmarTimeStepTimeout(60);
  SimulationModule().Startup();
  SetSimulator(&SimulationModule());
  {
    TQtMessagePump pump;
    // A whole run varies by several per cent on a shared machine: nine
    // interleaved repetitions unless asked otherwise.
    std::vector<char*> args(argv, argv + argc);
    std::string repetitions = "--benchmark_repetitions=9";
    bool asked = false;
    for (int i = 1; i < argc; ++i) asked = asked || std::string(argv[i]).rfind("--benchmark_repetitions", 0) == 0;
    if (!asked) args.push_back(repetitions.data());
    int count = static_cast<int>(args.size());
    args.push_back(nullptr);
    AddRows(BenchTable::RunAndCollect(count, args.data()));
  }
  SetSimulator(nullptr);
  SimulationModule().Shutdown();
  std::error_code ec;
  fs::remove_all(BenchDir(), ec);
  return 0;
}
