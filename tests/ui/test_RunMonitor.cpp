// The run monitor of the Simulation tab: three scripted engines run by the
// real coordination module over the pipe, each held at chosen points of its
// run by gate files, while the test reads the engine table and the
// progress bar at every stage.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include <QDesktopServices>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "../tools/ToolPaths.h"
#include "UiTestSupport.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "ui/Main.h"
#include "ui/QtMessagePump.h"
#include "ui/RunMonitor.h"
#include "ui/Startup.h"

namespace fs = std::filesystem;

// Readable cells in failure reports.
void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

// Takes the "file" links the window opens with the desktop's program.
class TUrlCatcher : public QObject {
  Q_OBJECT
 public:
  QList<QUrl> Opened;
 public slots:
  void Open(const QUrl& url) { Opened.push_back(url); }
};

namespace {

// A point of the run: once Ready holds, Check reads the window and the
// gates named are opened.
struct TStage {
  std::string Name;
  std::function<bool()> Ready;
  std::function<void()> Check;
  std::vector<std::string> Gates;
};

class RunMonitorTest : public UiTest {
 protected:
  static void SetUpTestSuite() {
    setenv("VELMAR_PIPE_NAMESPACE", ("velmar-ui-monitor-" + std::to_string(getpid()) + "-").c_str(), 1);
    SimulationModule().Startup();
  }
  static void TearDownTestSuite() { SimulationModule().Shutdown(); }

  void SetUp() override {
    UiTest::SetUp();
    SetSimulator(&SimulationModule());
    FPump = std::make_unique<TQtMessagePump>();
    TSettings::SetVelmarFilename(ToolPaths::Program("ui_scripted_engine"));
    TSettings::SetUseExternalProcessor(false);
    TSettings::SetVelmarStartTimeout(20);
    TSettings::SetVelmarTimeStepTimeout(20);
  }
  void TearDown() override {
    FForm.reset();
    FPump.reset();
    UiTest::TearDown();
  }

  // A document of one scripted engine per script.
  std::string Document(const std::vector<std::string>& scripts) {
    std::string doc;
    for (size_t i = 0; i < scripts.size(); ++i) {
      const std::string path = PathOf("e" + std::to_string(i) + ".script");
      WriteFile(path, scripts[i]);
      doc += "[Model" + std::to_string(i) + "]\nFilename=" + path + "\n";
    }
    WriteFile(PathOf("run.vmgr"), doc);
    return PathOf("run.vmgr");
  }
  TMainForm& Open(const std::string& document) {
    FForm.reset();  // a window going takes the log handler with it
    FForm = std::make_unique<TMainForm>(document.empty() ? std::vector<std::string>{}
                                                         : std::vector<std::string>{document});
    FForm->show();
    return *FForm;
  }

  // Starts the run and goes through the stages in order, each from inside
  // whatever wait the manager is in; true when every stage was reached.
  bool RunThrough(std::vector<TStage> stages, int ms = 30000) {
    size_t next = 0;
    QTimer driver;
    driver.setInterval(10);
    QObject::connect(&driver, &QTimer::timeout, [&] {
      while (next < stages.size() && stages[next].Ready()) {
        SCOPED_TRACE("stage " + stages[next].Name);
        stages[next].Check();
        for (const std::string& gate : stages[next].Gates) WriteFile(PathOf(gate), "");
        ++next;
      }
    });
    driver.start();
    QTimer::singleShot(0, FForm->SimulateStartAction, &QAction::trigger);
    const bool reached = QTest::qWaitFor([&] { return next == stages.size(); }, ms);
    EXPECT_TRUE(reached) << "stuck before stage " << (next < stages.size() ? stages[next].Name : "");
    return reached;
  }
  bool WaitForRunEnd() {
    return QTest::qWaitFor([&] { return !FForm->RunControl().GetSimulating() && !FForm->SimulationTimer->isActive(); },
                           30000);
  }

  QString Cell(int row, int column) const { return FForm->EnginesTable->Cell(row, column); }
  QString State(int row) const { return Cell(row, TEngineTable::ecState); }
  bool States(const std::vector<QString>& states) const {
    if (FForm->EnginesTable->rowCount() != static_cast<int>(states.size())) return false;
    for (size_t i = 0; i < states.size(); ++i)
      if (State(static_cast<int>(i)) != states[i]) return false;
    return true;
  }
  void ExpectStates(const std::vector<QString>& states) const {
    ASSERT_EQ(FForm->EnginesTable->rowCount(), static_cast<int>(states.size()));
    for (size_t i = 0; i < states.size(); ++i) EXPECT_EQ(State(static_cast<int>(i)), states[i]) << "row " << i;
  }
  QString BarText() const { return FForm->ProgressBar->text(); }
  bool Busy() const { return FForm->ProgressBar->minimum() == 0 && FForm->ProgressBar->maximum() == 0; }

  std::unique_ptr<TQtMessagePump> FPump;
  std::unique_ptr<TMainForm> FForm;
};

// Engine i: prints to both streams, lists its descriptors on log files, waits at init<i> before "Initialize" and
// at sim<i> before "StartSimulation", runs two steps (engine 2 waits at
// step2 inside its first), waits at fin<i> before "Finalize" and at quit
// before it ends.
std::string GatedScript(int i) {
  const std::string n = std::to_string(i);
  return "say engine " + n + " output\nwarn engine " + n + " error\nlogs\ngate init" + n + "\ncall Initialize\ngate sim" + n +
         "\ncall StartSimulation\ncall StartTimeStep\n" + (i == 2 ? "gate step2\n" : "") +
         "call StopTimeStep\ncall StartTimeStep\ncall StopTimeStep\ncall StopSimulation\ngate fin" + n +
         "\ncall Finalize\ngate quit\n";
}

TEST_F(RunMonitorTest, TheTableAndTheProgressBarFollowEveryStageOfARun) {
  TMainForm& form = Open(Document({GatedScript(0), GatedScript(1), GatedScript(2)}));
  WriteFile(PathOf("run.engine1.log"), "a previous run's output\n");  // each run starts its files anew
  EXPECT_EQ(form.EnginesTable->rowCount(), 0);
  EXPECT_FALSE(form.MonitorTimer->isActive());

  const QString held = "ClientID 2 has not completed timestep 0";
  std::vector<TStage> stages = {
      {"first launched", [&] { return States({"launched", "", ""}); },
       [&] {
         EXPECT_EQ(Cell(0, TEngineTable::ecModel), "0");
         EXPECT_EQ(Cell(0, TEngineTable::ecFile).toStdString(), PathOf("e0.script"));
         EXPECT_EQ(Cell(2, TEngineTable::ecFile).toStdString(), PathOf("e2.script"));
         EXPECT_GT(Cell(0, TEngineTable::ecPid).toInt(), 0);
         EXPECT_EQ(Cell(1, TEngineTable::ecPid), "");
         EXPECT_TRUE(form.MonitorTimer->isActive());
         EXPECT_EQ(form.ProgressBar->value(), 0);
         EXPECT_EQ(form.ProgressBar->maximum(), 3);
       },
       {"init0"}},
      {"first initialised", [&] { return States({"initialised", "launched", ""}); },
       [&] {
         EXPECT_EQ(form.ProgressBar->value(), 1);
         EXPECT_EQ(BarText(), "1 of 3 engines initialised");
         EXPECT_NE(Cell(1, TEngineTable::ecPid), Cell(0, TEngineTable::ecPid));
       },
       {"init1", "init2"}},
      {"all initialised",
       [&] { return States({"initialised", "initialised", "initialised"}) && !form.RunControl().GetStarting(); },
       [&] {
         EXPECT_TRUE(Busy());
         EXPECT_EQ(BarText(), "");  // nobody simulates yet
       },
       {"sim2"}},
      {"last simulating", [&] { return State(2) == "simulating"; },
       [&] {
         EXPECT_EQ(BarText(), "Time step 0");
         EXPECT_EQ(Cell(2, TEngineTable::ecStep), "0");
       },
       {"sim0", "sim1"}},
      {"two held at the barrier",
       [&] { return Cell(0, TEngineTable::ecHeld) != "" && Cell(1, TEngineTable::ecHeld) != ""; },
       [&] {
         ExpectStates({"simulating", "simulating", "simulating"});
         EXPECT_EQ(Cell(0, TEngineTable::ecHeld), held);
         EXPECT_EQ(Cell(1, TEngineTable::ecHeld), held);
         EXPECT_EQ(Cell(2, TEngineTable::ecHeld), "");
         EXPECT_EQ(Cell(0, TEngineTable::ecStep), "1");
         EXPECT_EQ(Cell(1, TEngineTable::ecStep), "1");
         EXPECT_EQ(Cell(2, TEngineTable::ecStep), "0");
         EXPECT_EQ(BarText(), "Time step 0");  // the slowest one's
       },
       {"step2"}},
      {"all stopped", [&] { return States({"stopped", "stopped", "stopped"}); },
       [&] {
         for (int row = 0; row < 3; ++row) {
           EXPECT_EQ(Cell(row, TEngineTable::ecStep), "2");
           EXPECT_EQ(Cell(row, TEngineTable::ecHeld), "");
         }
       },
       {"fin0", "fin1", "fin2"}},
  };
  ASSERT_TRUE(RunThrough(stages));
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(form.RunControl().GetOutcome(), roComplete);
  ExpectStates({"finalised", "finalised", "finalised"});
  WriteFile(PathOf("quit"), "");
  EXPECT_FALSE(form.MonitorTimer->isActive());
  EXPECT_FALSE(Busy());
  EXPECT_EQ(form.ProgressBar->value(), 0);
  EXPECT_EQ(BarText(), "");

  // Each engine's two streams went to its own file beside the document,
  // and no engine holds another's file (or the manager's log).
  for (int i = 0; i < 3; ++i) {
    const std::string n = std::to_string(i);
    EXPECT_EQ(ReadFile(PathOf("run.engine" + n + ".log")),
              "engine " + n + " output\nengine " + n + " error\nlog descriptors: 1 2\n");
  }
  // A double-click opens a row's file with the desktop's program.
  TUrlCatcher catcher;
  QDesktopServices::setUrlHandler("file", &catcher, "Open");
  emit form.EnginesTable->cellDoubleClicked(1, TEngineTable::ecState);
  QDesktopServices::unsetUrlHandler("file");
  ASSERT_EQ(catcher.Opened.size(), 1);
  EXPECT_EQ(catcher.Opened[0], QUrl::fromLocalFile(QString::fromStdString(PathOf("run.engine1.log"))));
}

TEST_F(RunMonitorTest, AnEngineThatExitsShowsItsStatusAndTheOthersTheirs) {
  const std::string start = "call Initialize\ncall StartSimulation\ngate go\ncall StartTimeStep\n";
  const std::string rest = "call StopTimeStep\ncall StartTimeStep\ncall StopTimeStep\ncall StopSimulation\ncall Finalize\n";
  TMainForm& form = Open(Document({start + rest, start + rest, start + "gate die\nexit 3\n"}));
  const std::vector<TStage> stages = {
      {"all simulating", [&] { return States({"simulating", "simulating", "simulating"}); }, [] {}, {"go"}},
      {"held by the one that will die",
       [&] { return Cell(0, TEngineTable::ecHeld) != "" && Cell(1, TEngineTable::ecHeld) != ""; },
       [&] {
         EXPECT_EQ(Cell(0, TEngineTable::ecHeld), "ClientID 2 has not completed timestep 0");
         EXPECT_EQ(Cell(1, TEngineTable::ecHeld), "ClientID 2 has not completed timestep 0");
         ExpectStates({"simulating", "simulating", "simulating"});
       },
       {"die"}},
  };
  ASSERT_TRUE(RunThrough(stages));
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(form.RunControl().GetOutcome(), roCancelled);
  // The dying engine's own status; the others ended on the cancelled run's
  // false replies.
  ExpectStates({"exited with status 1", "exited with status 1", "exited with status 3"});
  for (int row = 0; row < 3; ++row) EXPECT_EQ(Cell(row, TEngineTable::ecHeld), "");
}

TEST_F(RunMonitorTest, AFailedStartShowsTheKilledEnginesAndTheOneNeverLaunched) {
  TSettings::SetVelmarStartTimeout(1);
  TMainForm& form = Open(Document({"call Initialize\ngate never\n", "gate never\n", "call Initialize\n"}));
  form.SimulateStartAction->trigger();  // returns once the start has failed
  EXPECT_EQ(form.RunControl().GetOutcome(), roFailed);
  ExpectStates({"killed", "killed", ""});
  EXPECT_GT(Cell(1, TEngineTable::ecPid).toInt(), 0);
  EXPECT_EQ(Cell(2, TEngineTable::ecPid), "");
  EXPECT_FALSE(form.MonitorTimer->isActive());
}

TEST_F(RunMonitorTest, OutputStaysOnTheManagersStandardErrorWhenItHasNoFile) {
  // An untitled document: no files anywhere; the engine's standard output
  // too goes to our standard error (caught here in a file).
  const std::string script = "say untitled output\ncall Initialize\ncall StartSimulation\ncall StopSimulation\ncall Finalize\n";
  WriteFile(PathOf("e0.script"), script);
  TMainForm& form = Open("");
  form.Document().ClearModels();
  form.Document().AddModel()->SetFilename(PathOf("e0.script"));
  form.DocumentToControls();
  const int savedError = dup(2);
  const int caught = open(PathOf("caught-stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(caught, 2);
  form.SimulateStartAction->trigger();
  const bool ended = WaitForRunEnd();
  dup2(savedError, 2);
  close(savedError);
  close(caught);
  ASSERT_TRUE(ended);
  EXPECT_NE(ReadFile(PathOf("caught-stderr")).find("untitled output\n"), std::string::npos);
  EXPECT_EQ(form.RunControl().GetOutcome(), roComplete);
  EXPECT_EQ(form.EnginesTable->OutputFileOf(0), "");
  for (const auto& entry : fs::directory_iterator(FDir))
    EXPECT_EQ(entry.path().string().find(".engine"), std::string::npos) << entry.path();

  // A saved document whose engine file cannot be created: the run goes on
  // and says where the output went instead.
  const std::string doc = Document({script});
  fs::create_directory(PathOf("run.engine0.log"));
  Open(doc);
  FForm->SimulateStartAction->trigger();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(FForm->RunControl().GetOutcome(), roComplete);
  EXPECT_EQ(FForm->EnginesTable->OutputFileOf(0), "");
  const std::string memo = FForm->MessagesMemo->toPlainText().toStdString();
  EXPECT_NE(memo.find("Error: Could not create \"" + PathOf("run.engine0.log") +
                      "\" for the output of Velmar #0: Is a directory; it goes to the manager's standard error"),
            std::string::npos)
      << memo;
}

}  // namespace

#include "test_RunMonitor.moc"
