// Where a run's time goes, seen from outside: scripted engines whose work
// per step is known (20, 50 and 100 ms) run in lockstep, in the window and as
// a headless run of the program; the engine table, the chart, the
// end-of-run lines and the trace must all tell the same story: each engine
// computes about its known work, the fast ones are held for about the
// difference, and the slow one sets the pace. And a headless run killed
// half way leaves a trace the same reader reads.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>

#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include "../tools/ToolPaths.h"
#include "ScriptedRunSupport.h"
#include "coordination/TraceReader.h"
#include "documents/SettingsUnit.h"
#include "ui/ComputingChart.h"
#include "ui/Main.h"
#include "ui/QtMessagePump.h"
#include "ui/RunMonitor.h"
#include "ui/Startup.h"

namespace {

// Large enough that what a loaded machine adds to every call (the engine's
// reply and its next call each wait for a core) stays well inside 20 %.
const std::vector<double> WORK_MS = {20, 50, 100};
constexpr int STEPS = 25;
// Under the sanitizers every call the manager handles costs several times
// as much, and that cost lands in the engine's measured step: the figures
// are checked for their shape there, with room for it.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double TOLERANCE = 0.50;
#else
constexpr double TOLERANCE = 0.20;
#endif

// Engine i: starts with the others (gate "go"), then STEPS steps of its work.
std::string Script(double workMs) {
  return "call Initialize\ncall StartSimulation\ngate go\nsteps " + std::to_string(STEPS) + " " +
         std::to_string(static_cast<int>(workMs)) + "\ncall StopSimulation\ncall Finalize\n";
}

// What one source (the table, the end-of-run lines, the trace) says of an
// engine, per step.
struct TFigures {
  double ComputingMs = -1;
  double HeldMs = -1;  // negative: the source does not tell
  bool SetsPace = false;
};

// The work each engine did per step, as it measured it itself ("work: W ms
// a step" in its output file): the 20, 50 and 100 ms asked for, or a little
// more when a loaded machine wakes the engine late.
std::vector<double> WorkDone(const std::function<std::string(const std::string&)>& path) {
  std::vector<double> work;
  for (size_t i = 0; i < WORK_MS.size(); ++i) {
    std::ifstream in(path("run.engine" + std::to_string(i) + ".log"));
    std::string line;
    double w = -1;
    while (std::getline(in, line))
      if (line.rfind("work: ", 0) == 0) w = std::stod(line.substr(6));
    EXPECT_GE(w, WORK_MS[i]) << "engine " << i;
    work.push_back(w);
  }
  return work;
}

// The same expectations, whatever the source: each engine's computing time
// within 20 % of its work, the fast ones held for about the difference to
// the slowest, the slowest marked.
void ExpectKnownWork(const std::string& source, const std::vector<TFigures>& figures, const std::vector<double>& work) {
  SCOPED_TRACE(source);
  ASSERT_EQ(figures.size(), WORK_MS.size());
  ASSERT_EQ(work.size(), WORK_MS.size());
  const double slowest = work.back();
  for (size_t i = 0; i < figures.size(); ++i) {
    SCOPED_TRACE("engine " + std::to_string(i));
    EXPECT_NEAR(figures[i].ComputingMs, work[i], TOLERANCE * work[i]);
    if (figures[i].HeldMs >= 0) {
      if (i + 1 < figures.size())
        EXPECT_NEAR(figures[i].HeldMs, slowest - work[i], TOLERANCE * (slowest - work[i]));
      else
        EXPECT_LT(figures[i].HeldMs, TOLERANCE * work.front());  // nobody holds the slowest
    }
    EXPECT_EQ(figures[i].SetsPace, i + 1 == figures.size());
  }
}

// The end-of-run lines of a log.
std::vector<TFigures> FiguresOfLines(const std::string& log, const std::string& fileStem) {
  std::vector<TFigures> figures(WORK_MS.size());
  const std::regex engine(R"(Info: Velmar #(\d+) \((\S+)\): (\d+) steps, computing ([\d.]+) s \(([\d.]+) ms a step\), )"
                          R"(held ([\d.]+) s, processor ([\d.]+) s)");
  const std::regex pace(R"(Info: Velmar #(\d+) \((\S+)\) set the pace: last to complete (\d+) of (\d+) steps; )"
                        R"(the others completed them ([\d.]+) s before it in all)");
  size_t seen = 0;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), engine); it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    const size_t i = std::stoul(m[1]);
    EXPECT_LT(i, figures.size());
    if (i >= figures.size()) continue;
    ++seen;
    EXPECT_EQ(m[2].str(), fileStem + std::to_string(i) + (fileStem == "e" ? ".script" : ".vm"));
    EXPECT_EQ(std::stoi(m[3]), STEPS);
    const double steps = std::stod(m[3]);
    figures[i].ComputingMs = std::stod(m[4]) * 1000 / steps;
    EXPECT_NEAR(std::stod(m[5]), figures[i].ComputingMs, 0.1);  // the mean agrees with the total
    figures[i].HeldMs = std::stod(m[6]) * 1000 / steps;
  }
  EXPECT_EQ(seen, WORK_MS.size()) << log;
  std::smatch m;
  EXPECT_TRUE(std::regex_search(log, m, pace)) << log;
  if (!m.empty()) {
    const size_t i = std::stoul(m[1]);
    if (i < figures.size()) figures[i].SetsPace = true;
    EXPECT_GE(std::stoi(m[3]), STEPS - 2);  // the slow one completes (nearly) every step last
    EXPECT_EQ(std::stoi(m[4]), STEPS);
  }
  return figures;
}

// The trace: the mean of the computing and held spans on each engine's
// track; the pace setter is the engine whose computing ends each step last.
std::vector<TFigures> FiguresOfTrace(const TTrace& trace, const std::string& fileStem) {
  std::vector<TFigures> figures(WORK_MS.size());
  std::vector<std::vector<TTraceEvent>> computing(WORK_MS.size());
  for (size_t i = 0; i < WORK_MS.size(); ++i) {
    const std::string name = "Velmar #" + std::to_string(i) + " (" + fileStem + std::to_string(i) +
                             (fileStem == "e" ? ".script" : ".vm") + ")";
    const auto track = trace.TrackNamed(name);
    EXPECT_TRUE(track) << name;
    if (!track) return figures;
    computing[i] = trace.Spans(*track, "computing");
    const auto held = trace.Spans(*track, "held");
    EXPECT_EQ(computing[i].size(), static_cast<size_t>(STEPS));
    EXPECT_EQ(held.size(), static_cast<size_t>(STEPS));
    double c = 0, h = 0;
    for (size_t k = 0; k < computing[i].size(); ++k) {
      EXPECT_EQ(computing[i][k].Step, static_cast<int64_t>(k));
      c += static_cast<double>(computing[i][k].Dur) / 1000;
    }
    for (const TTraceEvent& e : held) h += static_cast<double>(e.Dur) / 1000;
    figures[i].ComputingMs = computing[i].empty() ? 0 : c / static_cast<double>(computing[i].size());
    figures[i].HeldMs = held.empty() ? 0 : h / static_cast<double>(held.size());
  }
  std::vector<int> last(WORK_MS.size(), 0);
  for (size_t k = 0; k < static_cast<size_t>(STEPS); ++k) {
    size_t who = 0;
    int64_t latest = -1;
    for (size_t i = 0; i < WORK_MS.size(); ++i)
      if (k < computing[i].size() && computing[i][k].Ts + computing[i][k].Dur > latest) {
        latest = computing[i][k].Ts + computing[i][k].Dur;
        who = i;
      }
    ++last[who];
  }
  figures[static_cast<size_t>(std::max_element(last.begin(), last.end()) - last.begin())].SetsPace = true;
  return figures;
}


class RunInsightWindowTest : public ScriptedRunTest {
 protected:
  static void SetUpTestSuite() { StartModule("velmar-ui-insight-"); }
};

TEST_F(RunInsightWindowTest, TheTableTheChartTheLogAndTheTraceShowWhereTheTimeWent) {
  std::vector<std::string> scripts;
  for (double work : WORK_MS) scripts.push_back(Script(work));
  const std::string doc = Document(scripts);
  SimulationModule().SetTraceFile(PathOf("run.trace.json"));
  FForm = std::make_unique<TMainForm>(std::vector<std::string>{doc});
  TMainForm& form = *FForm;
  form.show();

  // Every engine simulating, then all go at once.
  bool released = false, seenMidRun = false;
  QTimer driver;
  driver.setInterval(5);
  QObject::connect(&driver, &QTimer::timeout, [&] {
    TEngineTable& table = *form.EnginesTable;
    if (!released && table.rowCount() == 3 && table.Cell(0, TEngineTable::ecState) == "simulating" &&
        table.Cell(1, TEngineTable::ecState) == "simulating" && table.Cell(2, TEngineTable::ecState) == "simulating") {
      WriteFile(PathOf("go"), "");
      released = true;
    }
    // Half way: the figures are there already, the slow one is marked.
    if (released && !seenMidRun && table.Cell(2, TEngineTable::ecStep).toInt() >= STEPS / 2 &&
        table.Cell(2, TEngineTable::ecState) == "simulating") {
      seenMidRun = true;
      EXPECT_FALSE(table.Cell(0, TEngineTable::ecComputing).isEmpty());
      EXPECT_EQ(table.Cell(2, TEngineTable::ecPace), TEngineTable::PACE_MARK);
      EXPECT_GT(form.ComputingChart->Points(2).size(), 0);
    }
  });
  driver.start();
  const auto started = std::chrono::steady_clock::now();
  QTimer::singleShot(0, form.SimulateStartAction, &QAction::trigger);
  ASSERT_TRUE(RunLoopUntil([&] { return released; }, 30000));
  ASSERT_TRUE(RunLoopUntil(
      [&] { return !form.RunControl().GetSimulating() && !form.SimulationTimer->isActive(); }, 60000));
  const double runMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  driver.stop();
  EXPECT_TRUE(seenMidRun);
  EXPECT_EQ(form.RunControl().GetOutcome(), roComplete);

  // The table's data, and the cells made of it.
  const TRunProgress progress = Simulator().Progress();
  ASSERT_EQ(progress.Engines.size(), 3u);
  std::vector<TFigures> table(3);
  for (size_t i = 0; i < 3; ++i) {
    const TEngineProgress& e = progress.Engines[i];
    table[i] = {e.MeanComputingMs, -1, e.HoldsOthers};
    const int row = static_cast<int>(i);
    EXPECT_EQ(form.EnginesTable->Cell(row, TEngineTable::ecComputing), QString("%1 ms").arg(e.MeanComputingMs, 0, 'f', 1));
    EXPECT_EQ(form.EnginesTable->Cell(row, TEngineTable::ecHeldShare), QString("%1 %").arg(qRound(e.HeldShare * 100)));
    EXPECT_EQ(form.EnginesTable->Cell(row, TEngineTable::ecPace), e.HoldsOthers ? TEngineTable::PACE_MARK : "");
  }
  const std::vector<double> work = WorkDone([this](const std::string& name) { return PathOf(name); });
  ExpectKnownWork("table", table, work);
  // The fast engines spend most of the run held, the slow one hardly any.
  EXPECT_GT(progress.Engines[0].HeldShare, 0.5);
  EXPECT_GT(progress.Engines[0].HeldShare, progress.Engines[1].HeldShare);
  EXPECT_LT(progress.Engines[2].HeldShare, 0.1);

  // The chart keeps every step of every engine after the run, and read
  // them no more than twice a second while the run went on.
  ASSERT_EQ(form.ComputingChart->LineCount(), 3);
  for (int i = 0; i < 3; ++i) {
    const QList<QPointF> points = form.ComputingChart->Points(i);
    ASSERT_EQ(points.size(), STEPS) << i;
    double sum = 0;
    for (int k = 0; k < points.size(); ++k) {
      EXPECT_EQ(points[k].x(), k);
      sum += points[k].y();
    }
    EXPECT_NEAR(sum / STEPS, work[static_cast<size_t>(i)], TOLERANCE * work[static_cast<size_t>(i)]);
  }
  EXPECT_GE(form.ComputingChart->RunningReads(), 2);
  EXPECT_LE(form.ComputingChart->RunningReads(), static_cast<int>(runMs / TComputingChart::REFRESH_INTERVAL) + 1);

  // The window's log.
  ExpectKnownWork("log lines", FiguresOfLines(form.MessagesMemo->toPlainText().toStdString(), "e"), work);
  // The trace, closed with the run.
  const auto trace = ReadTraceFile(PathOf("run.trace.json"));
  ASSERT_TRUE(trace);
  EXPECT_TRUE(trace->Complete);
  ExpectKnownWork("trace", FiguresOfTrace(*trace, "e"), work);
}

// A long run's lines are drawn in bins of steps, each point the mean of its
// steps, read in pieces as the run goes: the chart stays at MAX_POINTS
// points a line at most and tells the same means.
class TLongRun : public ISimulator {
 public:
  void StartSimulation(TDocument&) override {}
  bool IsSimulationDone(bool& cancelled) override {
    cancelled = false;
    return true;
  }
  void CancelSimulation() override {}
  size_t ComputingPerStep(uint32_t engine, size_t from, std::vector<float>& out) override {
    for (size_t k = from; k < Steps; ++k) out.push_back(static_cast<float>(engine * 10 + k % 8));  // mean 3.5 + 10 i
    return Steps;
  }
  size_t Steps = 0;
};

TEST(ComputingChartTest, ALongRunIsDrawnInBinsWithTheSameMeans) {
  TComputingChart chart;
  TLongRun run;
  TRunProgress progress;
  progress.Run = 7;
  progress.Engines.resize(2);
  progress.Engines[1].Model = 1;
  struct TCase {
    size_t Steps;
    size_t StepsPerPoint;
  };
  for (const TCase& c : {TCase{600, 1}, TCase{1000, 1}, TCase{1001, 2}, TCase{2999, 4}, TCase{13000, 16}}) {
    SCOPED_TRACE(c.Steps);
    run.Steps = c.Steps;
    chart.Follow(run, progress, true);
    EXPECT_EQ(chart.StepsPerPoint(), c.StepsPerPoint);
    for (int engine = 0; engine < 2; ++engine) {
      const QList<QPointF> points = chart.Points(engine);
      ASSERT_LE(points.size(), TComputingChart::MAX_POINTS);
      ASSERT_EQ(static_cast<size_t>(points.size()), c.Steps / c.StepsPerPoint);
      double sum = 0;
      for (qsizetype j = 0; j < points.size(); ++j) {
        EXPECT_EQ(points[j].x(), static_cast<double>(static_cast<size_t>(j) * c.StepsPerPoint));
        sum += points[j].y();
      }
      // Whole bins of 8 steps, or pieces of them that average out.
      EXPECT_NEAR(sum / static_cast<double>(points.size()), 10.0 * engine + 3.5, 0.1);
    }
  }
  // Another run starts the lines afresh.
  progress.Run = 8;
  run.Steps = 3;
  chart.Follow(run, progress, true);
  EXPECT_EQ(chart.StepsPerPoint(), 1u);
  EXPECT_EQ(chart.Points(0).size(), 3);
  EXPECT_EQ(chart.Points(1)[2], QPointF(2, 12));
}

// ---- The program itself, headless ------------------------------------------

class RunInsightHeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/velmar-insight-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    FDir = folder;
  }
  void TearDown() override {
    if (FPid > 0) {
      kill(FPid, SIGKILL);
      waitpid(FPid, nullptr, 0);
    }
    std::filesystem::remove_all(FDir);
  }
  std::string Path(const std::string& name) const { return FDir + "/" + name; }
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // The settings file of the runs: the scripted engine, with or without the
  // example processor.
  void WriteSettings(bool processor) {
    TSettings::SetSettingsPathname(Path("run.settings"));
    TSettings::SetVelmarFilename(ToolPaths::Program("ui_scripted_engine"));
    TSettings::SetVelmarStartTimeout(20);
    TSettings::SetVelmarTimeStepTimeout(20);
    TSettings::SetUseExternalProcessor(processor);
    TSettings::SetExternalProcessorFilename(ToolPaths::Program("velmar-dispersal"));
    TSettings::SetExternalProcessorParameters("0.1");
    TSettings::SetSettingsPathname("");
  }
  void WriteDocument(int steps) {
    std::string doc;
    for (size_t i = 0; i < WORK_MS.size(); ++i) {
      const std::string script = Path("e" + std::to_string(i) + ".script");
      Write(script, "call Initialize\ncall StartSimulation\ngate go\nsteps " + std::to_string(steps) + " " +
                        std::to_string(static_cast<int>(WORK_MS[i])) + "\ncall StopSimulation\ncall Finalize\n");
      doc += "[Model" + std::to_string(i) + "]\nFilename=" + script + "\n";
    }
    Write(Path("run.vmgr"), doc);
  }
  // Starts velmar-manager --headless with --trace; its output goes to "out".
  void StartManager() {
    const std::string program = ToolPaths::Program("velmar-manager");
    const std::string settings = Path("run.settings"), trace = Path("run.trace.json"), doc = Path("run.vmgr"),
                      out = Path("out");
    const std::string ns = "velmar-insight-" + std::to_string(getpid()) + "-";
    FPid = fork();
    ASSERT_GE(FPid, 0);
    if (FPid == 0) {
      const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      setenv("VELMAR_PIPE_NAMESPACE", ns.c_str(), 1);
      execl(program.c_str(), program.c_str(), "--settings", settings.c_str(), "--trace", trace.c_str(), "--headless",
            doc.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  // Once the last engine is initialised (it calls StartSimulation at once),
  // the engines are let go together.
  bool ReleaseWhenAllStarted() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < until) {
      if (Read(Path("out")).find("Velmar started and initialized for model #2") != std::string::npos) {
        Write(Path("go"), "");
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  int Wait() {
    int status = 0;
    waitpid(FPid, &status, 0);
    FPid = -1;
    return status;
  }

  std::string FDir;
  pid_t FPid = -1;
};

TEST_F(RunInsightHeadlessTest, TheEndOfRunLinesAndTheTraceTellTheKnownWorkWithAndWithoutAProcessor) {
  for (const bool processor : {false, true}) {
    SCOPED_TRACE(processor ? "with the processor" : "direct");
    WriteSettings(processor);
    WriteDocument(STEPS);
    std::filesystem::remove(Path("go"));
    StartManager();
    ASSERT_TRUE(ReleaseWhenAllStarted()) << Read(Path("out"));
    const int status = Wait();
    const std::string out = Read(Path("out"));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << out;
    const std::vector<double> work = WorkDone([this](const std::string& name) { return Path(name); });
    ExpectKnownWork("end-of-run lines", FiguresOfLines(out, "e"), work);
    // The lines come after the elapsed time and before the run's outcome.
    EXPECT_LT(out.find("Info: Elapsed simulation time"), out.find("set the pace"));
    EXPECT_LT(out.find("set the pace"), out.find("Info: Simulation complete"));
    EXPECT_EQ(out.find("processor 0.000 s") == std::string::npos, processor) << out;
    const auto trace = ReadTraceFile(Path("run.trace.json"));
    ASSERT_TRUE(trace);
    EXPECT_TRUE(trace->Complete);
    ExpectKnownWork("trace", FiguresOfTrace(*trace, "e"), work);
    // The processor answers every call of every engine: its spans, each
    // naming its call and step.
    for (int64_t track = 1; track <= 3; ++track) {
      const auto spans = trace->Spans(track, "processor");
      if (!processor) {
        EXPECT_TRUE(spans.empty());
        continue;
      }
      EXPECT_GE(spans.size(), static_cast<size_t>(2 * STEPS));
      size_t starts = 0;
      for (const TTraceEvent& e : spans) starts += e.Call == "StartTimeStep";
      EXPECT_EQ(starts, static_cast<size_t>(STEPS));
    }
    // The manager's track: the run's start, the three launches, the whole
    // run as a span, the end.
    std::vector<std::string> manager;
    for (const TTraceEvent& e : trace->Events)
      if (e.Track == 0) manager.push_back(e.Name);
    EXPECT_EQ(manager, (std::vector<std::string>{"run start", "launch Velmar #0", "launch Velmar #1",
                                                 "launch Velmar #2", "Run", "run end"}));
    // A few hundred bytes per engine-step.
    EXPECT_LT(std::filesystem::file_size(Path("run.trace.json")), (processor ? 700u : 300u) * 3 * STEPS);
  }
}

TEST_F(RunInsightHeadlessTest, ARunKilledHalfWayLeavesATraceTheSameReaderReads) {
  constexpr int LONG_RUN = 200;  // 20 s at the slow engine's pace; killed long before
  WriteSettings(false);
  WriteDocument(LONG_RUN);
  StartManager();
  ASSERT_TRUE(ReleaseWhenAllStarted()) << Read(Path("out"));
  // Half way is enough: once the slow engine's twentieth step is in the file.
  std::optional<TTrace> trace;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  size_t slowSteps = 0;
  while (std::chrono::steady_clock::now() < until) {
    trace = ReadTraceFile(Path("run.trace.json"));
    slowSteps = trace ? trace->Spans(3, "computing").size() : 0;
    if (slowSteps >= 20) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_GE(slowSteps, 20u);
  ASSERT_EQ(kill(FPid, SIGKILL), 0);
  const int status = Wait();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);

  trace = ReadTraceFile(Path("run.trace.json"));
  ASSERT_TRUE(trace) << Read(Path("run.trace.json")).substr(0, 2000);
  EXPECT_FALSE(trace->Complete);
  for (size_t i = 0; i < WORK_MS.size(); ++i) {
    SCOPED_TRACE(i);
    const auto track = trace->TrackNamed("Velmar #" + std::to_string(i) + " (e" + std::to_string(i) + ".script)");
    ASSERT_TRUE(track);
    const auto computing = trace->Spans(*track, "computing");
    EXPECT_GE(computing.size(), 20u);
    EXPECT_LT(computing.size(), static_cast<size_t>(LONG_RUN));
    for (size_t k = 0; k < computing.size(); ++k) EXPECT_EQ(computing[k].Step, static_cast<int64_t>(k));
  }
  // No end on the manager's track: the run never ended.
  for (const TTraceEvent& e : trace->Events) {
    EXPECT_NE(e.Name, "run end");
    EXPECT_NE(e.Name, "Run");
  }
}

}  // namespace
