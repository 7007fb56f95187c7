// The window as a new user meets it: the first start, the caption's mark for
// unsaved changes, Find in the Messages box, the engine table at small and
// large sizes, a window that fits the screen, the run's keys, two models
// sharing a file, and the About box.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QSpinBox>
#include <QTextBlock>
#include <QTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTabWidget>
#include <QTest>

#include "ShownWindowSupport.h"
#include "diagnostics/Logging.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "ui/FModel.h"
#include "ui/Main.h"
#include "ui/RunMonitor.h"
#include "ui/Startup.h"

void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace {

using WindowUseTest = ShownWindowTest;

TEST_F(WindowUseTest, TheFirstStartOpensOnTheSettingsTabSayingWhatToFillIn) {
  std::filesystem::remove(PathOf("VelmarManager.settings"));
  TMainForm& form = Show();
  EXPECT_EQ(form.PageControl->currentWidget(), form.SettingsTabSheet);
  // The defaults stay: the processor is on, both programs are still unknown.
  EXPECT_TRUE(form.UseExternalProcessorCheckBox->isChecked());
  ASSERT_TRUE(form.SettingsNeededLabel->isVisible());
  EXPECT_EQ(form.SettingsNeededLabel->text(),
            "To run a simulation, fill in the Filename of the Velmar program, and the Filename of the external "
            "processor (or untick \"Use external  processor\").");
  form.VelmarFilenameEdit->setText("/opt/velmar/velmar");
  EXPECT_EQ(form.SettingsNeededLabel->text(),
            "To run a simulation, fill in the Filename of the external processor (or untick \"Use external  "
            "processor\").");
  form.UseExternalProcessorCheckBox->setChecked(false);
  EXPECT_FALSE(form.SettingsNeededLabel->isVisible());
  form.VelmarFilenameEdit->clear();
  EXPECT_EQ(form.SettingsNeededLabel->text(), "To run a simulation, fill in the Filename of the Velmar program.");

  // Once the settings are there, the tab last used comes back as before.
  form.VelmarFilenameEdit->setText("/opt/velmar/velmar");
  form.PageControl->setCurrentWidget(form.MessagesTabSheet);
  FForm.reset();
  TMainForm& again = Show();
  EXPECT_EQ(again.PageControl->currentWidget(), again.MessagesTabSheet);
  EXPECT_FALSE(again.SettingsNeededLabel->isVisibleTo(&again));
}

TEST_F(WindowUseTest, TheCaptionMarksUnsavedChangesAndSavingClearsTheMark) {
  const std::string doc = PathOf("north.vmgr");
  WriteFile(doc, "[Model0]\nFilename=a.vm\n");
  TMainForm& form = Show({doc});
  EXPECT_EQ(ShownCaption(form), doc + " - VelmarManager");
  // A name typed into a panel counts at once.
  QTest::keyClicks(form.ModelForms()[0]->FilenameEdit(), "x");
  EXPECT_EQ(ShownCaption(form), doc + "* - VelmarManager");
  form.FileSaveAction->trigger();
  EXPECT_EQ(ShownCaption(form), doc + " - VelmarManager");
  // So does a model added with the count box.
  form.ModelsSpinEdit->setValue(2);
  EXPECT_EQ(ShownCaption(form), doc + "* - VelmarManager");
  FBoxAnswers = {Platform::mrNo};
  form.FileNewAction->trigger();
  EXPECT_EQ(ShownCaption(form), "Untitled.vmgr - VelmarManager");
}

TEST_F(WindowUseTest, FindInTheMessagesWrapsAndTheBoxFollowsNewLinesAfterTheSearch) {
  TMainForm& form = Show();
  form.PageControl->setCurrentWidget(form.MessagesTabSheet);
  for (int i = 0; i < 200; ++i) Logger().Info("line %d", i);
  Logger().Info("needle here");
  for (int i = 200; i < 400; ++i) Logger().Info("line %d", i);
  form.RunControl().FlushLog();
  form.MessagesMemo->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.MessagesMemo->hasFocus(); }, 1000));
  form.MessagesMemo->moveCursor(QTextCursor::End);  // past the needle
  form.SetFindText("needle", false);
  EXPECT_TRUE(form.SearchFindNext());
  EXPECT_EQ(form.MessagesMemo->textCursor().selectedText(), "needle");
  EXPECT_TRUE(FBoxes.empty());
  // Found again from where it is: the search goes round to it.
  EXPECT_TRUE(form.SearchFindNext());
  EXPECT_EQ(form.MessagesMemo->textCursor().selectedText(), "needle");
  QScrollBar* bar = form.MessagesMemo->verticalScrollBar();
  EXPECT_LT(bar->value(), bar->maximum());  // the match is in view, not the end

  // The search is over when the Find box closes; new lines are followed again.
  form.SearchFindAction->trigger();
  QDialog* find = form.findChild<QDialog*>("FindDialog");
  ASSERT_NE(find, nullptr);
  ASSERT_TRUE(QTest::qWaitFor([&] { return find->isVisible(); }, 1000));
  QTest::keyClick(find, Qt::Key_Escape);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !find->isVisible(); }, 1000));
  for (int i = 0; i < 50; ++i) Logger().Info("after %d", i);
  form.RunControl().FlushLog();
  EXPECT_TRUE(QTest::qWaitFor([&] { return bar->value() == bar->maximum(); }, 1000));
  EXPECT_TRUE(form.MessagesMemo->viewport()->rect().contains(
      form.MessagesMemo->cursorRect(QTextCursor(form.MessagesMemo->document()->lastBlock())).center()));
}

TEST_F(WindowUseTest, TheEngineTableShowsEveryHeadingAt800x600AndGivesTheFileColumnTheRoomAt1920) {
  TMainForm& form = Show();
  form.PageControl->setCurrentWidget(form.SimulationTabSheet);
  QHeaderView* header = form.EnginesTable->horizontalHeader();
  const int last = TEngineTable::ecCount - 1;
  form.resize(800, 600);
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.width() == 800; }, 1000));
  QApplication::processEvents();
  for (int column = 0; column < TEngineTable::ecCount; ++column) {
    const QString heading = form.EnginesTable->horizontalHeaderItem(column)->text();
    EXPECT_GE(header->sectionSize(column), header->fontMetrics().horizontalAdvance(heading)) << heading.toStdString();
  }
  EXPECT_LE(header->sectionViewportPosition(last) + header->sectionSize(last), header->viewport()->width());
  EXPECT_GE(header->sectionViewportPosition(0), 0);

  const int fileAt800 = header->sectionSize(TEngineTable::ecFile);
  form.resize(1920, 1000);
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.width() == 1920; }, 1000));
  QApplication::processEvents();
  EXPECT_GT(header->sectionSize(TEngineTable::ecFile), fileAt800 + 900);
  EXPECT_LE(header->sectionViewportPosition(last) + header->sectionSize(last), header->viewport()->width());
}

// The window never opens larger than the screen: a child run of this test
// program on a screen scaled by 2 (half as many logical pixels) checks it.
TEST_F(WindowUseTest, TheWindowOpensWithinTheScreenAtScaleFactorTwo) {
  if (std::getenv("VELMAR_SCALED_CHILD")) {
    TMainForm& form = Show();
    const QRect room = form.screen()->availableGeometry();
    ASSERT_LT(room.height(), 542);  // the designed size does not fit here
    EXPECT_LE(form.frameGeometry().height(), room.height());
    EXPECT_LE(form.frameGeometry().width(), room.width());
    return;
  }
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string command = "VELMAR_SCALED_CHILD=1 QT_SCALE_FACTOR=2 QT_QPA_PLATFORM=offscreen '" + self +
                              "' --gtest_filter=WindowUseTest.TheWindowOpensWithinTheScreenAtScaleFactorTwo > '" +
                              PathOf("child.out") + "' 2>&1";
  const int status = std::system(command.c_str());
  EXPECT_EQ(status, 0) << ReadFile(PathOf("child.out"));
  EXPECT_NE(ReadFile(PathOf("child.out")).find("[  PASSED  ] 1 test"), std::string::npos) << ReadFile(PathOf("child.out"));
}

TEST_F(WindowUseTest, F5StartsFocusMovesToStopAndShiftF5Stops) {
  const std::string doc = PathOf("run.vmgr");
  WriteFile(doc, "[Model0]\nFilename=a.vm\n");
  TMainForm& form = Show({doc});
  form.PageControl->setCurrentWidget(form.SimulationTabSheet);
  FSimulator.Done = false;
  EXPECT_EQ(form.SimulateStopAction->shortcut(), QKeySequence("Shift+F5"));
  QTest::keyClick(&form, Qt::Key_F5);
  ASSERT_EQ(FSimulator.StartCalls, 1);
  ASSERT_TRUE(form.RunControl().GetSimulating());
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.StopButton->hasFocus(); }, 1000));
  QTest::keyClick(&form, Qt::Key_F5, Qt::ShiftModifier);
  EXPECT_EQ(FSimulator.CancelCalls, 1);
  EXPECT_FALSE(form.RunControl().GetSimulating());
  // Ctrl+R still starts.
  FSimulator.Done = true;
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.SimulationTimer->isActive(); }, 2000));
  QTest::keyClick(&form, Qt::Key_R, Qt::ControlModifier);
  EXPECT_EQ(FSimulator.StartCalls, 2);
}

TEST_F(WindowUseTest, TwoModelsSharingAFileAreNamedAtStartAndTheRunGoesOnWarned) {
  const std::string doc = PathOf("run.vmgr");
  WriteFile(doc, "[Model0]\nFilename=" + PathOf("a.vm") + "\n[Model1]\nFilename=" + PathOf("b.vm") +
                     "\n[Model2]\nFilename=" + PathOf("sub/../a.vm") + "\n");
  TMainForm& form = Show({doc});
  FSimulator.Done = false;
  const std::string warning = "Model 1 and Model 3 use the same model file \"" + PathOf("sub/../a.vm") +
                              "\"; their engines would overwrite each other's results";
  form.SimulateStartAction->trigger();
  EXPECT_EQ(FSimulator.StartCalls, 1);
  EXPECT_TRUE(FBoxes.empty());
  EXPECT_NE(Memo().find("Warn: " + warning), std::string::npos) << Memo();
  EXPECT_EQ(form.RunStatusLabel->text().toStdString(), "Warning: " + warning);
  EXPECT_EQ(form.SimulationStatusLabel->text().toStdString(), "Warning: " + warning);
  EXPECT_NE(ReadFile(PathOf("run.log")).find("Warn: " + warning), std::string::npos);
  form.SimulateStopAction->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.SimulationTimer->isActive(); }, 2000));

  // Distinct files start without a word.
  form.ModelForms()[2]->SetFilename(PathOf("c.vm"));
  FSimulator.Done = true;
  form.SimulateStartAction->trigger();
  EXPECT_EQ(FSimulator.StartCalls, 2);
  EXPECT_EQ(CountOf(Memo(), "use the same model file"), 1);
}

TEST_F(WindowUseTest, HelpAboutGivesTheVersionTheSettingsFileAndTheLogFile) {
  const std::string doc = PathOf("north.vmgr");
  WriteFile(doc, "[Model0]\nFilename=a.vm\n");
  TMainForm& form = Show({doc});
  QMenu* help = form.menuBar()->actions().at(2)->menu();
  ASSERT_NE(help, nullptr);
  EXPECT_EQ(form.menuBar()->actions().at(2)->text(), "&Help");
  ASSERT_TRUE(help->actions().contains(form.HelpAboutAction));
  form.HelpAboutAction->trigger();
  ASSERT_EQ(FBoxes.size(), 1u);
  EXPECT_EQ(FBoxes[0].Kind, Platform::mbInformation);
  EXPECT_EQ(FBoxes[0].Text, "Velmar Manager\r\nVersion " + ProgramVersion() + "\r\n\r\nSettings file: " +
                                PathOf("VelmarManager.settings") + "\r\nLog file: " + PathOf("north.log"));
  EXPECT_NE(ProgramVersion(), "");
  // An untitled document has no log file yet.
  FBoxAnswers = {Platform::mrNo};
  form.FileNewAction->trigger();
  form.HelpAboutAction->trigger();
  ASSERT_EQ(FBoxes.size(), 2u);
  EXPECT_NE(FBoxes[1].Text.find("\r\nLog file: none until the document is saved"), std::string::npos) << FBoxes[1].Text;
}

}  // namespace
