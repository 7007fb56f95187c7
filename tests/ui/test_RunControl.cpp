// Starting, watching and stopping runs from the window, the unattended
// mode, and the log view with its log file.
#include <algorithm>
#include <filesystem>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QSpinBox>
#include <QTimer>

#include "UiTestSupport.h"
#include "diagnostics/Logging.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "platform/Clock.h"
#include "ui/FModel.h"
#include "ui/Main.h"

namespace {

class RunControlTest : public UiTest {
 protected:
  static std::string Memo(const TMainForm& form) { return form.MessagesMemo->toPlainText().toStdString(); }
  bool WaitForLine(const TMainForm& form, const std::string& text, int ms = 2000) {
    return QTest::qWaitFor([&] { return Memo(form).find(text) != std::string::npos; }, ms);
  }
};

TEST_F(RunControlTest, StartRunsTheDocumentAndCompletesAtTheFirstTickWhenNothingIsRunning) {
  TMainForm form({});
  form.show();
  form.StartButton->click();
  EXPECT_EQ(FSimulator.StartCalls, 1);
  EXPECT_EQ(FSimulator.StartedModels, 2);
  EXPECT_TRUE(form.SimulationTimer->isActive());
  EXPECT_EQ(form.SimulationTimer->interval(), 100);
  EXPECT_FALSE(form.SimulateStartAction->isEnabled());
  EXPECT_TRUE(form.SimulateStopAction->isEnabled());
  EXPECT_FALSE(form.ConfigurationTabSheet->isEnabled());
  EXPECT_FALSE(form.SettingsTabSheet->isEnabled());

  ASSERT_TRUE(WaitForLine(form, "Info: Simulation complete"));
  EXPECT_EQ(FSimulator.DoneCalls, 1);  // the first tick found it done
  EXPECT_FALSE(form.SimulationTimer->isActive());
  EXPECT_TRUE(form.SimulateStartAction->isEnabled());
  EXPECT_TRUE(form.ConfigurationTabSheet->isEnabled());
  EXPECT_TRUE(form.isVisible());  // not unattended: stays open
}

TEST_F(RunControlTest, StartWritesTheControlsIntoTheSettingsAndTheDocumentFirst) {
  TMainForm form({});
  form.VelmarOptionsEdit->setText("-q");
  form.ModelsSpinEdit->setValue(3);
  form.ModelForms()[2]->SetFilename("c.vm");
  std::string modelSeen;
  FSimulator.OnStart = [&](TDocument& document) { modelSeen = document.GetModel(2)->GetFilename(); };
  form.SimulateStartAction->trigger();
  EXPECT_EQ(TSettings::GetVelmarOptions(), "-q");
  EXPECT_EQ(modelSeen, "c.vm");
}

TEST_F(RunControlTest, ShortcutDoesNotStartASecondRunWhileOneIsUnderWay) {
  TMainForm form({});
  form.show();
  QApplication::setActiveWindow(&form);
  FSimulator.Done = false;
  QTest::keyClick(&form, Qt::Key_R, Qt::ControlModifier);
  ASSERT_EQ(FSimulator.StartCalls, 1);
  QTest::keyClick(&form, Qt::Key_R, Qt::ControlModifier);
  EXPECT_EQ(FSimulator.StartCalls, 1);
}

TEST_F(RunControlTest, StopEnablesStartAtOnceAndTheNextTickStopsTheTimer) {
  TSettings::SetDebugMessages(true);
  TMainForm form({});
  form.show();
  FSimulator.Done = false;
  form.StartButton->click();
  ASSERT_TRUE(form.SimulationTimer->isActive());

  form.StopButton->click();
  EXPECT_EQ(FSimulator.CancelCalls, 1);
  EXPECT_NE(Memo(form).find("Info: Cancelled simulation"), std::string::npos);
  EXPECT_TRUE(form.SimulateStartAction->isEnabled());
  EXPECT_FALSE(form.SimulateStopAction->isEnabled());
  EXPECT_TRUE(form.SimulationTimer->isActive());  // until its next tick

  ASSERT_TRUE(WaitForLine(form, "Debug: Simulation timer is running but simulation is not running!", 1000));
  EXPECT_FALSE(form.SimulationTimer->isActive());
  EXPECT_EQ(FSimulator.DoneCalls, 0);
}

TEST_F(RunControlTest, AFailedStartIsLoggedWithItsReasonAndLeavesTheWindowIdle) {
  TMainForm form({});
  FSimulator.OnStart = [](TDocument&) { throw Exception("Could not find Velmar executable at \"/nowhere\"."); };
  form.SimulateStartAction->trigger();
  EXPECT_NE(Memo(form).find("Exception: Simulation failed (Exception: Could not find Velmar executable at \"/nowhere\".)"),
            std::string::npos);
  EXPECT_FALSE(form.SimulationTimer->isActive());
  EXPECT_FALSE(form.RunControl().GetSimulating());
  EXPECT_TRUE(form.SimulateStartAction->isEnabled());
  EXPECT_TRUE(form.SettingsTabSheet->isEnabled());
}

TEST_F(RunControlTest, StopDuringTheStartCancelsItAndBothAreReported) {
  TMainForm form({});
  form.show();
  bool startWasDisabled = false;
  bool newWasDisabled = false;
  FSimulator.OnStart = [&](TDocument&) {
    startWasDisabled = !form.SimulateStartAction->isEnabled();
    newWasDisabled = !form.FileNewAction->isEnabled();
    QTimer::singleShot(0, &form, [&] { form.StopButton->click(); });
    // The run control's wait keeps the window's events flowing.
    (void)QTest::qWaitFor([&] { return FSimulator.Cancelled; }, 2000);
    if (FSimulator.Cancelled) throw Exception("Canceled");
  };
  form.SimulateStartAction->trigger();
  EXPECT_TRUE(startWasDisabled);
  EXPECT_TRUE(newWasDisabled);
  const std::string memo = Memo(form);
  const size_t stop = memo.find("Info: Cancelled simulation");
  const size_t failed = memo.find("Exception: Simulation failed (Exception: Canceled)");
  ASSERT_NE(stop, std::string::npos);
  ASSERT_NE(failed, std::string::npos);
  EXPECT_LT(stop, failed);
  EXPECT_TRUE(form.SimulateStartAction->isEnabled());
  EXPECT_TRUE(form.FileNewAction->isEnabled());
}

TEST_F(RunControlTest, ARunThatWasCancelledIsNotReportedComplete) {
  WriteFile(PathOf("doc.vmgr"), "[Model0]\nFilename=a.vm\n");
  TMainForm form({PathOf("doc.vmgr"), "/r"});
  form.show();
  FSimulator.Done = true;
  FSimulator.Cancelled = true;  // e.g. a time-step time-out
  ASSERT_TRUE(WaitForLine(form, "Error: Simulation was cancelled"));
  EXPECT_EQ(Memo(form).find("Simulation complete"), std::string::npos);
  EXPECT_TRUE(form.isVisible());  // unattended, but kept open to show why
}

TEST_F(RunControlTest, UnattendedRunStartsFromTheLoopAndClosesTheWindowWhenComplete) {
  WriteFile(PathOf("doc.vmgr"), "[Model0]\nFilename=a.vm\n");
  TMainForm form({PathOf("doc.vmgr"), "-R"});
  EXPECT_TRUE(form.RunControl().GetAutorun());
  EXPECT_TRUE(form.StartTimer->isActive());
  EXPECT_EQ(form.StartTimer->interval(), 500);
  EXPECT_EQ(FSimulator.StartCalls, 0);  // never inside creation
  form.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, 3000));
  EXPECT_EQ(FSimulator.StartCalls, 1);
  EXPECT_FALSE(form.StartTimer->isActive());
  EXPECT_NE(ReadFile(PathOf("doc.log")).find("Info: Simulation complete"), std::string::npos);
}

TEST_F(RunControlTest, UnattendedRunWhoseEngineIsMissingStaysOpen) {
  WriteFile(PathOf("doc.vmgr"), "[Model0]\nFilename=a.vm\n");
  FSimulator.OnStart = [](TDocument&) { throw Exception("Could not find Velmar executable"); };
  TMainForm form({PathOf("doc.vmgr"), "/r"});
  form.show();
  ASSERT_TRUE(WaitForLine(form, "Simulation failed"));
  QTest::qWait(150);
  EXPECT_TRUE(form.isVisible());
}

TEST_F(RunControlTest, RunSwitchAloneIsTakenAsTheDocumentPath) {
  TMainForm form({"/r"});
  EXPECT_EQ(ShownCaption(form), "/r - VelmarManager");
  EXPECT_FALSE(form.RunControl().GetAutorun());
  EXPECT_FALSE(form.StartTimer->isActive());
}

TEST_F(RunControlTest, DebugLinesFollowTheStoredSettingOnly) {
  WriteFile(PathOf("doc.vmgr"), "[Model0]\nFilename=a.vm\n");
  TSettings::SetDebugMessages(false);
  TMainForm form({PathOf("doc.vmgr")});
  Logger().Debug("hidden detail");
  Logger().Info("shown");
  EXPECT_EQ(Memo(form).find("hidden detail"), std::string::npos);
  EXPECT_EQ(ReadFile(PathOf("doc.log")).find("hidden detail"), std::string::npos);
  EXPECT_NE(ReadFile(PathOf("doc.log")).find("Info: shown"), std::string::npos);

  // Ticking the box counts only once the controls reach the settings.
  form.DebugMessagesCheckBox->setChecked(true);
  Logger().Debug("still hidden");
  EXPECT_EQ(Memo(form).find("still hidden"), std::string::npos);
  form.ControlsToSettings();
  Logger().Debug("now shown");
  EXPECT_NE(Memo(form).find("Debug: now shown"), std::string::npos);
  EXPECT_NE(ReadFile(PathOf("doc.log")).find("Debug: now shown"), std::string::npos);
}

TEST_F(RunControlTest, UntitledDocumentHasNoLogFileUntilSaved) {
  TMainForm form({});
  Logger().Info("before saving");
  EXPECT_NE(Memo(form).find("before saving"), std::string::npos);
  EXPECT_FALSE(Exists(PathOf("Untitled.log")));
  EXPECT_FALSE(Exists("Untitled.log"));

  FDialogAnswers = {PathOf("runs.d/north.vmgr")};
  std::filesystem::create_directory(PathOf("runs.d"));
  form.FileSaveAsActionExecute();
  Logger().Info("after saving");
  const std::string log = ReadFile(PathOf("runs.d/north.log"));
  EXPECT_EQ(log.find("before saving"), std::string::npos);
  EXPECT_NE(log.find("Info: after saving\r\n"), std::string::npos);
}

TEST_F(RunControlTest, AFloodOfLinesReachesTheBoxAndTheFileAsSingleLinesWouldAndNoneIsLostAtTheEnd) {
  Platform::TManualClock clock;  // fixed stamps
  Platform::TClockGuard guard(clock);
  WriteFile(PathOf("doc.vmgr"), "[Model0]\nFilename=a.vm\n");
  std::vector<std::string> lines;
  for (int i = 0; i < 300; ++i) lines.push_back("line " + std::to_string(i));
  // A line break inside an event stays inside its one line, visibly.
  lines[100] = "ends in a carriage return\r";
  lines[101] = "two\nlines";
  lines[102] = "ends in a line end\r\n";
  lines[103] = "2014-03-05 14:07:09 - Info: x\r\n2014-03-05 14:07:09 - Info: forged\x1b[2J";
  const std::string stamp = Logger().FormatMessage(etInfo, "");
  std::string expectedMemo, expectedFile;
  for (const std::string& line : lines) {
    std::string shown = line;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"\r", "\\r"}, {"\n", "\\n"}, {"\x1b", "\\x1b"}})
      for (size_t at = 0; (at = shown.find(from, at)) != std::string::npos; at += to.size()) shown.replace(at, 1, to);
    expectedMemo += (expectedMemo.empty() ? "" : "\n") + stamp + shown;
    expectedFile += stamp + shown + "\r\n";
  }
  {
    TMainForm form({PathOf("doc.vmgr")});
    form.show();
    for (const std::string& line : lines) Logger().Info(line);
    ASSERT_TRUE(WaitForLine(form, "line 299"));
    EXPECT_EQ(Memo(form), expectedMemo);
    form.MessagesMemo->undo();  // the log is not an edit to take back
    EXPECT_EQ(Memo(form), expectedMemo);
    EXPECT_EQ(ReadFile(PathOf("doc.log")), expectedFile);
    // Logged just before the window goes: still written.
    for (const std::string& line : lines) Logger().Info(line);
  }
  EXPECT_EQ(ReadFile(PathOf("doc.log")), expectedFile + expectedFile);
}

TEST_F(RunControlTest, AnUnwritableLogFileIsReportedOncePerLoadedDocument) {
  WriteFile(PathOf("doc.vmgr"), "[Model0]\nFilename=a.vm\n");
  std::filesystem::create_directory(PathOf("doc.log"));  // no file can be appended there
  TMainForm form({PathOf("doc.vmgr")});
  Logger().Info("one");
  Logger().Info("two");
  Logger().Info("three");
  const std::string report = "Could not write to log file \"" + PathOf("doc.log") + "\"";
  EXPECT_EQ(CountOf(Memo(form), report), 1);
  EXPECT_NE(Memo(form).find("Info: three"), std::string::npos);

  form.LoadDocument(PathOf("doc.vmgr"));
  Logger().Info("four");
  Logger().Info("five");
  EXPECT_EQ(CountOf(Memo(form), report), 2);
  EXPECT_TRUE(FBoxes.empty());  // the handler took every event
}

}  // namespace
