// Closing the window while a run goes on, as the program itself closes:
// the window goes from the loop, the modules below it shut down, then the
// window is destroyed. With the external processor on and three engines
// mid-run, every way of closing asks first and ends cleanly, many times
// over (the sanitizer builds check that nothing touches freed memory).
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include "../tools/ToolPaths.h"
#include "ScriptedRunSupport.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "ui/Main.h"
#include "ui/RunMonitor.h"
#include "ui/Startup.h"

namespace {

constexpr int ROUNDS = 20;

// Long enough never to end by itself while the test looks.
const std::string MID_RUN_SCRIPT = "call Initialize\ncall StartSimulation\nsteps 100000 5\ncall StopSimulation\ncall Finalize\n";

class CloseDuringRunTest : public ScriptedRunTest {
 protected:
  // The modules are started and shut down by each round, as by the program.
  static void SetUpTestSuite() {}
  static void TearDownTestSuite() {}

  void SetUp() override {
    ScriptedRunTest::SetUp();
    setenv("VELMAR_PIPE_NAMESPACE", ("velmar-ui-close-" + std::to_string(getpid()) + "-").c_str(), 1);
    TSettings::SetExternalProcessorFilename(ToolPaths::Program("velmar-dispersal"));
    TSettings::SetExternalProcessorParameters("0.1");
    TSettings::SetExternalProcessorCloseCommand("");
  }

  // Opens doc in a new window and runs it until every engine has done a few
  // steps.
  TMainForm& StartMidRun(const std::string& doc) {
    StartupModules(TSettings::GetIniFilename());
    FForm = std::make_unique<TMainForm>(std::vector<std::string>{doc});
    FForm->show();
    QApplication::setActiveWindow(FForm.get());
    EXPECT_TRUE(QTest::qWaitForWindowActive(FForm.get()));
    FForm->SimulateStartAction->trigger();  // returns once every engine has initialised
    EXPECT_TRUE(FForm->RunControl().GetSimulating());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          TEngineTable& table = *FForm->EnginesTable;
          if (table.rowCount() != 3) return false;
          for (int row = 0; row < 3; ++row)
            if (table.Cell(row, TEngineTable::ecStep).toInt() < 3) return false;
          return true;
        },
        30000));
    return *FForm;
  }

  // What the program does once its window has left the loop.
  void ShutDownAsTheProgramDoes() {
    ShutdownModules();
    FForm.reset();
  }
  void TearDown() override {
    if (FForm) ShutDownAsTheProgramDoes();
    ScriptedRunTest::TearDown();
  }
};

TEST_F(CloseDuringRunTest, EveryWayOfClosingAsksToStopTheRunAndEndsCleanly) {
  TSettings::SetUseExternalProcessor(true);
  const std::string doc = Document({MID_RUN_SCRIPT, MID_RUN_SCRIPT, MID_RUN_SCRIPT});
  enum TWay { wCloseButton, wFileExit, wCloseAndSave };
  for (int round = 0; round < ROUNDS; ++round) {
    const TWay way = static_cast<TWay>(round % 3);
    SCOPED_TRACE("round " + std::to_string(round) + ", way " + std::to_string(way));
    FBoxes.clear();
    TMainForm& form = StartMidRun(doc);
    if (::testing::Test::HasFailure()) return;

    // No keeps the run and the window.
    FBoxAnswers = {Platform::mrNo};
    form.close();
    ASSERT_EQ(FBoxes.size(), 1u);
    EXPECT_EQ(FBoxes[0].Text, TMainForm::STOP_RUN_PROMPT);
    EXPECT_EQ(FBoxes[0].Buttons, Platform::mbYesNo);
    ASSERT_TRUE(form.isVisible());
    EXPECT_TRUE(form.RunControl().GetSimulating());

    // Yes stops it, and the window goes.
    switch (way) {
      case wCloseButton:
        FBoxAnswers = {Platform::mrYes};
        form.close();
        break;
      case wFileExit:
        FBoxAnswers = {Platform::mrYes};
        form.FileExitAction->trigger();
        break;
      case wCloseAndSave: {
        // An unsaved change: after the stop, the save prompt; its Yes saves.
        form.Document().SetDirty(true);
        FBoxAnswers = {Platform::mrYes, Platform::mrYes};
        form.close();
        break;
      }
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, 30000));
    ASSERT_GE(FBoxes.size(), 2u);
    EXPECT_EQ(FBoxes[1].Text, TMainForm::STOP_RUN_PROMPT);
    if (way == wCloseAndSave) {
      ASSERT_EQ(FBoxes.size(), 3u);
      EXPECT_EQ(FBoxes[2].Text, TMainForm::SAVE_CHANGES_PROMPT);
    } else {
      EXPECT_EQ(FBoxes.size(), 2u);
    }
    EXPECT_FALSE(form.RunControl().GetSimulating());
    const std::string log = ReadFile(PathOf("run.log"));
    EXPECT_NE(log.find("Info: Cancelled simulation"), std::string::npos) << log;
    ShutDownAsTheProgramDoes();
  }
}

TEST_F(CloseDuringRunTest, WithoutTheProcessorClosingAsksTheSame) {
  TSettings::SetUseExternalProcessor(false);
  TMainForm& form = StartMidRun(Document({MID_RUN_SCRIPT, MID_RUN_SCRIPT, MID_RUN_SCRIPT}));
  FBoxAnswers = {Platform::mrNo};
  form.close();
  EXPECT_TRUE(form.isVisible());
  FBoxAnswers = {Platform::mrYes};
  form.close();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, 30000));
  ASSERT_EQ(FBoxes.size(), 2u);
  EXPECT_EQ(FBoxes[0].Text, TMainForm::STOP_RUN_PROMPT);
  EXPECT_EQ(FBoxes[1].Text, TMainForm::STOP_RUN_PROMPT);
  ShutDownAsTheProgramDoes();
}

}  // namespace
