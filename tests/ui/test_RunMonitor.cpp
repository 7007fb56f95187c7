// The run monitor of the Simulation tab: three scripted engines run by the
// real coordination module over the pipe, each held at chosen points of its
// run by gate files, while the test reads the engine table and the
// progress bar at every stage.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include <QDesktopServices>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTabWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include "../tools/ToolPaths.h"
#include "ScriptedRunSupport.h"
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

class RunMonitorTest : public ScriptedRunTest {
 protected:
  static void SetUpTestSuite() { StartModule("velmar-ui-monitor-"); }

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
         // The step, the time since the start and (after a second) the pace.
         EXPECT_TRUE(QRegularExpression(R"(^Time step 0, \d+:\d\d elapsed(, 0\.0 steps/s)?$)").match(BarText()).hasMatch())
             << BarText().toStdString();
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
         EXPECT_TRUE(BarText().startsWith("Time step 0, ")) << BarText().toStdString();  // the slowest one's
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
  TMainForm& form = Open(Document({start + rest, start + rest, start + "gate die\nsay giving up at step 0\nexit 3\n"}));
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
  // The one that failed the run left its last words in the log and its tooltip.
  const std::string memo = form.MessagesMemo->toPlainText().toStdString();
  EXPECT_NE(memo.find(" - Error: Velmar #2 output: giving up at step 0"), std::string::npos) << memo;
  EXPECT_EQ(memo.find("Velmar #0 output"), std::string::npos);
  EXPECT_TRUE(form.EnginesTable->item(2, TEngineTable::ecState)->toolTip().endsWith("\ngiving up at step 0"));
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

// A start that fails says why where the user looks: the status bar, the
// failing engine's row and its tooltip, and the log, which gets the
// engine's last words.
TEST_F(RunMonitorTest, AFailedStartShowsItsReasonInTheStatusBarTheRowAndTheLog) {
  std::string chatty;
  for (int i = 1; i <= 12; ++i) chatty += "say reading line " + std::to_string(i) + "\n";
  chatty += "say cannot read the model file north.vm\nexit 5\n";
  struct TCase {
    const char* Name;
    std::vector<std::string> Scripts;
    bool MissingEngine;
    std::string Status;
    std::vector<QString> States;
    int FailedRow;
    std::vector<std::string> Tail;  // the failed engine's last lines, in order
    std::string NotInTail;
  };
  std::vector<std::string> lastTen;
  for (int i = 4; i <= 12; ++i) lastTen.push_back("reading line " + std::to_string(i));
  lastTen.push_back("cannot read the model file north.vm");
  const std::vector<TCase> cases = {
      {"the engine program is missing", {"call Initialize\n"}, true,
       "Simulation failed: Could not find Velmar executable at \"" + PathOf("no-such-engine") +
           "\".  Please locate it on the Settings tab.",
       {""}, -1, {}, ""},
      {"the engine exits before initialising", {chatty}, false,
       "Simulation failed: Velmar #0: Velmar exited before initializing (exit status 5)", {"exited with status 5"}, 0, lastTen,
       "reading line 3"},
      {"the second engine does not initialise in time",
       {"call Initialize\ngate never\n", "say waiting for a licence\ngate never\n"}, false,
       "Simulation failed: Velmar #1: Timed out waiting for Velmar to initialize", {"killed", "killed"}, 1,
       {"waiting for a licence"}, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    FForm.reset();  // the window going stores its controls' settings
    TSettings::SetVelmarStartTimeout(1);
    TSettings::SetVelmarFilename(c.MissingEngine ? PathOf("no-such-engine") : ToolPaths::Program("ui_scripted_engine"));
    TMainForm& form = Open(Document(c.Scripts));
    form.PageControl->setCurrentWidget(form.SimulationTabSheet);
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    QTest::keyClick(&form, Qt::Key_R, Qt::ControlModifier);  // returns once the start has failed
    ASSERT_EQ(form.RunControl().GetOutcome(), roFailed);
    EXPECT_EQ(form.RunStatusLabel->text().toStdString(), c.Status);
    ExpectStates(c.States);
    const std::string memo = form.MessagesMemo->toPlainText().toStdString();
    const std::string log = ReadFile(PathOf("run.log"));
    EXPECT_NE(log.find("Simulation failed"), std::string::npos);
    size_t tailLines = 0;
    for (size_t at = memo.find("output: "); at != std::string::npos; at = memo.find("output: ", at + 1)) ++tailLines;
    EXPECT_EQ(tailLines, c.Tail.size()) << memo;
    if (c.FailedRow < 0) continue;
    const QString tip = form.EnginesTable->item(c.FailedRow, TEngineTable::ecState)->toolTip();
    size_t inMemo = 0, inLog = 0;
    qsizetype inTip = 0;
    for (const std::string& line : c.Tail) {
      const std::string logged = "Error: Velmar #" + std::to_string(c.FailedRow) + " output: " + line;
      inMemo = memo.find(logged, inMemo);
      inLog = log.find(logged + "\r\n", inLog);
      inTip = tip.indexOf("\n" + QString::fromStdString(line), inTip);
      EXPECT_NE(inMemo, std::string::npos) << logged;
      EXPECT_NE(inLog, std::string::npos) << logged;
      EXPECT_GE(inTip, 0) << line << " in " << tip.toStdString();
    }
    EXPECT_TRUE(tip.startsWith(QString::fromStdString("Output in " + PathOf("run.engine" + std::to_string(c.FailedRow) + ".log"))))
        << tip.toStdString();
    if (!c.NotInTail.empty()) {
      EXPECT_FALSE(tip.contains(QString::fromStdString(c.NotInTail)));
    }
    // The tail comes before the failure it explains.
    EXPECT_LT(memo.find("output: "), memo.find("Simulation failed"));
  }
}

// A start that fails on a program names the program (or the processor's
// failure) and the system's reason, in the status bar and on the
// Simulation tab, not just "Canceled" or the model's name.
TEST_F(RunMonitorTest, AFailedStartNamesTheProgramAtFaultAndTheSystemsReason) {
  const std::string notExecutable = PathOf("engine-without-x");
  WriteFile(notExecutable, "#!/bin/sh\nexit 0\n");
  fs::permissions(notExecutable, fs::perms::owner_read | fs::perms::owner_write);
  struct TCase {
    const char* Name;
    std::string Engine;
    std::string Processor;  // empty: none
    std::string Status;     // the status's start
    std::string Reason;     // in it too
  };
  const std::vector<TCase> cases = {
      {"the processor exits at once", ToolPaths::Program("ui_scripted_engine"), "/bin/false", "Simulation failed: ",
       "xternal processor"},
      {"the engine program lacks the execute bit", notExecutable, "",
       "Simulation failed: Could not start Velmar for \"" + PathOf("e0.script") + "\": \"" + notExecutable + "\"",
       ": Permission denied"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    FForm.reset();
    TSettings::SetVelmarFilename(c.Engine);
    TSettings::SetUseExternalProcessor(!c.Processor.empty());
    TSettings::SetExternalProcessorFilename(c.Processor);
    TMainForm& form = Open(Document({"call Initialize\ncall StartSimulation\ncall StopSimulation\ncall Finalize\n"}));
    form.PageControl->setCurrentWidget(form.SimulationTabSheet);
    form.SimulateStartAction->trigger();  // returns once the start has failed
    ASSERT_EQ(form.RunControl().GetOutcome(), roFailed);
    const std::string status = form.RunStatusLabel->text().toStdString();
    EXPECT_EQ(status.rfind(c.Status, 0), 0u) << status;
    EXPECT_NE(status.find(c.Reason), std::string::npos) << status;
    EXPECT_EQ(status.find("Canceled"), std::string::npos) << status;
    EXPECT_TRUE(form.SimulationStatusLabel->isVisible());
    EXPECT_EQ(form.SimulationStatusLabel->text().toStdString(), status);
    // The log keeps its lines: the failure, with the error it raised.
    const std::string memo = form.MessagesMemo->toPlainText().toStdString();
    EXPECT_NE(memo.find("Simulation failed"), std::string::npos) << memo;
  }
  // The processor's case: the pipe's own reason, as the log says it.
  FForm.reset();  // the window going stores its controls' settings
  TSettings::SetVelmarFilename(ToolPaths::Program("ui_scripted_engine"));
  TSettings::SetUseExternalProcessor(true);
  TSettings::SetExternalProcessorFilename("/bin/false");
  TMainForm& form = Open(Document({"call Initialize\ncall StartSimulation\ncall StopSimulation\ncall Finalize\n"}));
  form.SimulateStartAction->trigger();
  const std::string status = form.RunStatusLabel->text().toStdString();
  const bool pipeReason = status.find("external processor pipe: Broken pipe") != std::string::npos ||
                          status.find("External processor closed its output") != std::string::npos;
  EXPECT_TRUE(pipeReason) << status;
}

// A double-click on a row whose file no program opens says so.
TEST_F(RunMonitorTest, ADoubleClickThatNoProgramCanOpenSaysSo) {
  TMainForm& form = Open(Document({"say hello\ncall Initialize\ncall StartSimulation\ncall StopSimulation\ncall Finalize\n"}));
  form.SimulateStartAction->trigger();
  ASSERT_TRUE(WaitForRunEnd());
  ASSERT_EQ(form.EnginesTable->OutputFileOf(0), PathOf("run.engine0.log"));
  // No handler for files: the offscreen desktop has no program for them.
  emit form.EnginesTable->cellDoubleClicked(0, TEngineTable::ecState);
  EXPECT_EQ(form.RunStatusLabel->text().toStdString(),
            "Could not open \"" + PathOf("run.engine0.log") + "\": no program to open it with was found");
}

// After Stop the table keeps following the engines until the last one has
// gone: one ends on the cancelled run's replies, a hung one is killed.
TEST_F(RunMonitorTest, AfterStopTheRowsShowHowEachEngineEnded) {
  TSettings::SetVelmarTimeStepTimeout(1);
  const std::string start = "call Initialize\ncall StartSimulation\ncall StartTimeStep\n";
  TMainForm& form = Open(Document({start + "gate go\ncall StopTimeStep\ncall StopSimulation\ncall Finalize\n",
                                   start + "gate never\n"}));
  form.PageControl->setCurrentWidget(form.SimulationTabSheet);
  const std::vector<TStage> stages = {
      {"both simulating", [&] { return States({"simulating", "simulating"}); },
       [&] { QTest::mouseClick(form.StopButton, Qt::LeftButton); }, {}},
  };
  ASSERT_TRUE(RunThrough(stages));
  EXPECT_TRUE(form.SimulateStartAction->isEnabled());
  EXPECT_TRUE(QTest::qWaitFor([&] { return !form.SimulationTimer->isActive(); }, 1000));
  EXPECT_TRUE(form.MonitorTimer->isActive()) << "the stopped run's engines are still there";

  WriteFile(PathOf("go"), "");
  // (The table polls ten times a second; the margin is for slow machines
  // and sanitizer builds, where the engine itself takes a while to end.)
  EXPECT_TRUE(QTest::qWaitFor([&] { return State(0) == "exited with status 1"; }, 5000)) << State(0).toStdString();
  EXPECT_EQ(State(1), "simulating");
  // The hung one is sent SIGTERM after the time-step time-out and its reply
  // time-out, and ends of it.
  EXPECT_TRUE(QTest::qWaitFor([&] { return State(1) == "killed"; }, 15000)) << State(1).toStdString();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !form.MonitorTimer->isActive(); }, 1000));
  ExpectStates({"exited with status 1", "killed"});
  // Every line of the stopped run reached its log file.
  const std::string log = ReadFile(PathOf("run.log"));
  size_t at = 0;
  for (const char* line : {"Info: Cancelled simulation", "Log: Velmar #0 exited", "Log: Asked Velmar process #1 to end (SIGTERM)",
                           "Log: Velmar #1 exited",
                           "Info: Elapsed simulation time"}) {
    at = log.find(line, at);
    EXPECT_NE(at, std::string::npos) << line << "\n" << log;
  }
  EXPECT_EQ(form.RunStatusLabel->text(), "Cancelled simulation");
}

}  // namespace

#include "test_RunMonitor.moc"
