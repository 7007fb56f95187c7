// The main window and its model panels: what the user sees and edits, the
// file commands and the save prompt, and the settings the controls write.
#include <filesystem>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "UiTestSupport.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "ui/FModel.h"
#include "ui/Main.h"

namespace {

std::string Caption(const TMainForm& form) { return ShownCaption(form); }

std::vector<std::string> PanelNames(const TMainForm& form) {
  std::vector<std::string> names;
  for (TModelForm* panel : form.ModelForms()) names.push_back(panel->GetFilename());
  return names;
}

void TypeModelCount(TMainForm& form, const QString& text) {
  form.ModelsSpinEdit->setFocus();
  QLineEdit* edit = form.ModelsSpinEdit->findChild<QLineEdit*>();
  edit->selectAll();
  QTest::keyClicks(form.ModelsSpinEdit, text);
  QTest::keyClick(form.ModelsSpinEdit, Qt::Key_Return);  // the count applies when editing ends
}

class MainFormTest : public UiTest {};

TEST_F(MainFormTest, StartsWithTwoDefaultModelsOnTheLastUsedTab) {
  TSettings::SetActivePageIndex(2);
  TMainForm form({});
  EXPECT_EQ(Caption(form), "Untitled.vmgr - VelmarManager");
  ASSERT_EQ(form.ModelForms().size(), 2u);
  EXPECT_EQ(form.ModelForms()[0]->GroupBox()->title(), "Model 1");
  EXPECT_EQ(form.ModelForms()[1]->GroupBox()->title(), "Model 2");
  EXPECT_EQ(PanelNames(form), (std::vector<std::string>{"TestModel.vm", "TestModel.vm"}));
  EXPECT_EQ(form.ModelsSpinEdit->value(), 2);
  EXPECT_EQ(form.PageControl->currentWidget(), form.MessagesTabSheet);
  EXPECT_FALSE(form.Document().GetDirty());
}

TEST_F(MainFormTest, TabsAndCommandsCarryTheirCaptionsShortcutsAndHints) {
  TMainForm form({});
  ASSERT_EQ(form.PageControl->count(), 4);
  EXPECT_EQ(form.PageControl->tabText(0), "&Configuration");
  EXPECT_EQ(form.PageControl->tabText(1), "&Simulation");
  EXPECT_EQ(form.PageControl->tabText(2), "&Messages");
  EXPECT_EQ(form.PageControl->tabText(3), "Se&ttings");
  EXPECT_EQ(form.FileOpenAction->shortcut(), QKeySequence("Ctrl+O"));
  EXPECT_EQ(form.FileOpenAction->toolTip(), "Open");
  EXPECT_EQ(form.FileOpenAction->statusTip(), "Opens an existing file");
  EXPECT_EQ(form.SimulateStartAction->shortcut(), QKeySequence("Ctrl+R"));
  EXPECT_EQ(form.SearchFindNextAction->shortcut(), QKeySequence(Qt::Key_F3));
  EXPECT_EQ(form.StartButton->toolTip(), "Start");
  EXPECT_FALSE(form.FilePrintAction->isEnabled());
  EXPECT_FALSE(form.FilePrintSetupAction->isEnabled());
  EXPECT_EQ(form.UseExternalProcessorCheckBox->text(), "Use external  processor");  // no access key of its own
  EXPECT_EQ(form.ExternalProcessorCloseCommandEdit->toolTip(),
            "If not empty, this string is sent to the external processor\nwhen the simulation completes.");
}

TEST_F(MainFormTest, MissingDocumentShowsItsPathAndNoPanelsAndLogsNothing) {
  const std::string missing = PathOf("nowhere.vmgr");
  TMainForm form({missing});
  EXPECT_EQ(Caption(form), missing + " - VelmarManager");
  EXPECT_TRUE(form.ModelForms().empty());
  EXPECT_EQ(form.ModelsSpinEdit->value(), 1);
  EXPECT_TRUE(form.MessagesMemo->toPlainText().isEmpty());
  EXPECT_FALSE(form.RunControl().GetAutorun());
}

TEST_F(MainFormTest, LoadsEveryModelOfALongDocumentAndTheCountShowsThemAll) {
  std::string text;
  for (int i = 0; i < 101; ++i) text += "[Model" + std::to_string(i) + "]\nFilename=m" + std::to_string(i) + ".vm\n";
  WriteFile(PathOf("long.vmgr"), text);
  TMainForm form({PathOf("long.vmgr")});
  ASSERT_EQ(form.ModelForms().size(), 101u);
  EXPECT_EQ(form.ModelForms()[100]->GetFilename(), "m100.vm");
  EXPECT_EQ(form.ModelForms()[100]->GroupBox()->title(), "Model 101");
  // The count box reaches the document's size, so that no model is lost.
  EXPECT_EQ(form.ModelsSpinEdit->value(), 101);
  EXPECT_EQ(form.ModelsSpinEdit->maximum(), 101);
}

TEST_F(MainFormTest, TypedModelCountsAreKeptWithin1And99) {
  TMainForm form({});
  form.show();
  TypeModelCount(form, "150");
  EXPECT_EQ(form.Document().ModelCount(), 99u);
  EXPECT_EQ(form.ModelForms().size(), 99u);
  EXPECT_EQ(form.ModelsSpinEdit->value(), 99);

  TypeModelCount(form, "0");
  EXPECT_EQ(form.Document().ModelCount(), 1u);
  EXPECT_EQ(form.ModelForms().size(), 1u);

  form.ModelsSpinEdit->setValue(5);
  TypeModelCount(form, "-3");
  EXPECT_EQ(form.Document().ModelCount(), 1u);
}

TEST_F(MainFormTest, AddingModelsMarksTheDocumentChangedAndRemovingDoesNot) {
  TMainForm form({});
  form.ModelForms()[1]->SetFilename("south.vm");
  form.ModelsSpinEdit->setValue(4);
  ASSERT_EQ(form.ModelForms().size(), 4u);
  EXPECT_EQ(PanelNames(form), (std::vector<std::string>{"TestModel.vm", "south.vm", "TestModel.vm", "TestModel.vm"}));
  EXPECT_EQ(form.ModelForms()[3]->GroupBox()->title(), "Model 4");
  EXPECT_TRUE(form.Document().GetDirty());

  WriteFile(PathOf("four.vmgr"), "[Model0]\nFilename=a\n[Model1]\nFilename=b\n[Model2]\nFilename=c\n[Model3]\nFilename=d\n");
  form.LoadDocument(PathOf("four.vmgr"));
  ASSERT_EQ(form.ModelForms().size(), 4u);
  form.ModelsSpinEdit->setValue(3);
  EXPECT_EQ(form.Document().ModelCount(), 3u);
  EXPECT_FALSE(form.Document().GetDirty());
  EXPECT_EQ(PanelNames(form), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(MainFormTest, ClosePromptCancelKeepsTheWindowAndNoClosesWithoutSaving) {
  WriteFile(PathOf("doc.vmgr"), "[Model0]\nFilename=a.vm\n");
  TMainForm form({PathOf("doc.vmgr")});
  form.show();
  form.ModelForms()[0]->SetFilename("b.vm");

  FBoxAnswers = {Platform::mrCancel};
  EXPECT_FALSE(form.close());
  EXPECT_TRUE(form.isVisible());
  ASSERT_EQ(FBoxes.size(), 1u);
  EXPECT_EQ(FBoxes[0].Kind, Platform::mbConfirmation);
  EXPECT_EQ(FBoxes[0].Buttons, Platform::mbYesNoCancel);
  EXPECT_EQ(FBoxes[0].Text,
            "The document has changed.  If you don't save changes now, the changes will be lost!\r\n\r\n"
            "Save changes before proceeding?");

  FBoxAnswers = {Platform::mrNo};
  EXPECT_TRUE(form.close());
  EXPECT_EQ(ReadFile(PathOf("doc.vmgr")), "[Model0]\nFilename=a.vm\n");
}

TEST_F(MainFormTest, YesOnAnUntitledDocumentAsksForANameAndCancellingKeepsTheWindow) {
  TMainForm form({});
  form.show();
  form.ModelForms()[0]->SetFilename("changed.vm");

  FBoxAnswers = {Platform::mrYes};
  EXPECT_FALSE(form.close());
  EXPECT_TRUE(form.isVisible());
  ASSERT_EQ(FDialogs.size(), 1u);
  EXPECT_EQ(FDialogs[0].Kind, fdDocumentSave);
  EXPECT_EQ(FDialogs[0].FileName, "");
  EXPECT_TRUE(form.GetFileSaveCanceled());

  // Named now: Yes saves without a dialog and the close goes on.
  FDialogAnswers = {PathOf("named.vmgr")};
  form.FileSaveAsActionExecute();
  EXPECT_EQ(Caption(form), PathOf("named.vmgr") + " - VelmarManager");
  form.ModelForms()[1]->SetFilename("second.vm");
  FBoxAnswers = {Platform::mrYes};
  EXPECT_TRUE(form.close());
  EXPECT_EQ(FDialogs.size(), 2u);
  EXPECT_NE(ReadFile(PathOf("named.vmgr")).find("Filename=second.vm"), std::string::npos);
}

TEST_F(MainFormTest, SaveAsksForANameOnlyForAnUntitledDocument) {
  TMainForm form({});
  FDialogAnswers = {PathOf("first.vmgr")};
  form.FileSaveActionExecute();
  ASSERT_EQ(FDialogs.size(), 1u);
  EXPECT_EQ(ReadFile(PathOf("first.vmgr")),
            "[Model0]\nFilename=TestModel.vm\n[Model1]\nFilename=TestModel.vm\n");

  form.ModelForms()[0]->SetFilename("north.vm");
  form.FileSaveActionExecute();
  EXPECT_EQ(FDialogs.size(), 1u);
  EXPECT_EQ(ReadFile(PathOf("first.vmgr")), "[Model0]\nFilename=north.vm\n[Model1]\nFilename=TestModel.vm\n");
  EXPECT_FALSE(form.Document().GetDirty());
}

TEST_F(MainFormTest, NewAndOpenAskFirstAndLeaveEverythingWhenCancelled) {
  WriteFile(PathOf("one.vmgr"), "[Model0]\nFilename=one.vm\n");
  TMainForm form({PathOf("one.vmgr")});
  form.ModelForms()[0]->SetFilename("edited.vm");

  FBoxAnswers = {Platform::mrCancel};
  form.FileOpenActionExecute();
  EXPECT_TRUE(FDialogs.empty());  // no dialog after declining
  EXPECT_EQ(PanelNames(form), std::vector<std::string>{"edited.vm"});

  FBoxAnswers = {Platform::mrNo};
  form.FileNewActionExecute();
  EXPECT_EQ(Caption(form), "Untitled.vmgr - VelmarManager");
  EXPECT_EQ(form.ModelForms().size(), 2u);

  // Unchanged: no prompt; the chosen document is loaded.
  FBoxes.clear();
  FDialogAnswers = {PathOf("one.vmgr")};
  form.FileOpenActionExecute();
  EXPECT_TRUE(FBoxes.empty());
  ASSERT_EQ(FDialogs.size(), 1u);
  EXPECT_EQ(FDialogs[0].Kind, fdDocumentOpen);
  EXPECT_EQ(PanelNames(form), std::vector<std::string>{"one.vm"});
  EXPECT_EQ(Caption(form), PathOf("one.vmgr") + " - VelmarManager");
}

TEST_F(MainFormTest, ExternalProcessorControlsFollowTheCheckBox) {
  TMainForm form({});
  const QList<QWidget*> nine = {form.ExternalProcessorFilenameLabel,    form.ExternalProcessorFilenameEdit,
                                form.ExternalProcessorBrowseButton,     form.ExternalProcessorParametersLabel,
                                form.ExternalProcessorParametersEdit,   form.ExternalProcessorCloseCommandLabel,
                                form.ExternalProcessorCloseCommandEdit, form.ExternalProcessorEnvironmentLabel,
                                form.ExternalProcessorEnvironmentMemo};
  ASSERT_TRUE(form.UseExternalProcessorCheckBox->isChecked());  // the stored default
  for (QWidget* w : nine) EXPECT_TRUE(w->isEnabled()) << w->objectName().toStdString();
  form.UseExternalProcessorCheckBox->setChecked(false);
  for (QWidget* w : nine) EXPECT_FALSE(w->isEnabled()) << w->objectName().toStdString();
  EXPECT_TRUE(form.VelmarFilenameEdit->isEnabled());
}

TEST_F(MainFormTest, SettingsEditedInTheControlsAreStoredWhenTheWindowCloses) {
  {
    TMainForm form({});
    form.VelmarFilenameEdit->setText("/opt/velmar/bin/velmar");
    form.VelmarOptionsEdit->setText("-q");
    form.VelmarSpecifiedOptionsOnlyCheckBox->setChecked(true);
    form.VelmarStartTimeoutSpinEdit->setValue(-1);
    form.VelmarTimeStepTimeoutSpinEdit->setValue(30);
    form.UseExternalProcessorCheckBox->setChecked(false);
    form.ExternalProcessorFilenameEdit->setText("/usr/bin/proc");
    form.ExternalProcessorParametersEdit->setText("--fraction 0.1");
    form.ExternalProcessorCloseCommandEdit->setText("QUIT");
    form.ExternalProcessorEnvironmentMemo->setPlainText("A=1\nB=2");
    form.DebugMessagesCheckBox->setChecked(false);
    EXPECT_TRUE(form.close());  // never activated
  }
  EXPECT_EQ(TSettings::GetVelmarFilename(), "/opt/velmar/bin/velmar");
  EXPECT_EQ(TSettings::GetVelmarOptions(), "-q");
  EXPECT_TRUE(TSettings::GetVelmarSpecifiedOptionsOnly());
  EXPECT_EQ(TSettings::GetVelmarStartTimeout(), 4294967295u);
  EXPECT_EQ(TSettings::GetVelmarTimeStepTimeout(), 30u);
  EXPECT_FALSE(TSettings::GetUseExternalProcessor());
  EXPECT_EQ(TSettings::GetExternalProcessorFilename(), "/usr/bin/proc");
  EXPECT_EQ(TSettings::GetExternalProcessorParameters(), "--fraction 0.1");
  EXPECT_EQ(TSettings::GetExternalProcessorCloseCommand(), "QUIT");
  EXPECT_EQ(TSettings::GetExternalProcessorEnvironment(), "A=1\r\nB=2");
  EXPECT_FALSE(TSettings::GetDebugMessages());

  TMainForm again({});
  EXPECT_EQ(again.VelmarFilenameEdit->text(), "/opt/velmar/bin/velmar");
  EXPECT_EQ(again.VelmarStartTimeoutSpinEdit->value(), -1);
  EXPECT_EQ(again.ExternalProcessorEnvironmentMemo->toPlainText(), "A=1\nB=2");
  EXPECT_FALSE(again.UseExternalProcessorCheckBox->isChecked());
}

TEST_F(MainFormTest, PickingATabIsRememberedForTheNextStart) {
  {
    TMainForm form({});
    EXPECT_EQ(form.PageControl->currentIndex(), 0);
    form.PageControl->setCurrentIndex(2);
  }
  EXPECT_EQ(TSettings::GetActivePageIndex(), 2);
  TMainForm again({});
  EXPECT_EQ(again.PageControl->currentWidget(), again.MessagesTabSheet);
}

TEST_F(MainFormTest, AnUnwritableSettingsFileIsReportedOnceAndTheWindowStillCloses) {
  std::filesystem::create_directory(PathOf("settings-dir"));
  TSettings::SetSettingsPathname(PathOf("settings-dir"));  // a folder: every write fails
  TMainForm form({});
  form.show();
  EXPECT_TRUE(form.close());
  form.VelmarOptionsEdit->setText("-x");
  EXPECT_TRUE(form.close());
  int errors = 0;
  for (const TShownBox& box : FBoxes) errors += box.Kind == Platform::mbError;
  EXPECT_EQ(errors, 1);
}

TEST_F(MainFormTest, BrowseButtonsPutTheChosenPathIntoTheirBoxesAndKeepItOnCancel) {
  TMainForm form({});
  TModelForm* panel = form.ModelForms()[0];
  panel->SetFilename("typed by hand.vm");
  panel->BrowseButton()->click();
  EXPECT_EQ(panel->GetFilename(), "typed by hand.vm");
  ASSERT_EQ(FDialogs.size(), 1u);
  EXPECT_EQ(FDialogs[0].Kind, fdModel);
  EXPECT_EQ(FDialogs[0].FileName, "typed by hand.vm");

  FDialogAnswers = {std::string("/models/north.vm")};
  panel->BrowseButton()->click();
  EXPECT_EQ(panel->GetFilename(), "/models/north.vm");

  FDialogAnswers = {std::string("/opt/velmar/velmar")};
  form.VelmarBrowseButton->click();
  EXPECT_EQ(form.VelmarFilenameEdit->text(), "/opt/velmar/velmar");
  EXPECT_EQ(FDialogs.back().Kind, fdProgram);
  EXPECT_EQ(TSettings::GetVelmarFilename(), "");  // only written by the next save of the controls
}

TEST_F(MainFormTest, NewPanelIsModel1UntilNumbered) {
  TModelForm panel;
  EXPECT_EQ(panel.GroupBox()->title(), "Model 1");
  panel.SetSequenceNo(7);
  EXPECT_EQ(panel.GroupBox()->title(), "Model 7");
}

TEST_F(MainFormTest, EditAndFindCommandsWorkOnTheFocusedTextBox) {
  TMainForm form({});
  form.show();
  QApplication::setActiveWindow(&form);
  form.PageControl->setCurrentWidget(form.SettingsTabSheet);
  form.VelmarOptionsEdit->setText("alpha beta");
  form.VelmarOptionsEdit->setFocus();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.VelmarOptionsEdit->hasFocus(); }, 1000));
  form.EditSelectAllAction->trigger();
  EXPECT_EQ(form.VelmarOptionsEdit->selectedText(), "alpha beta");
  form.EditCutAction->trigger();
  EXPECT_EQ(form.VelmarOptionsEdit->text(), "");
  form.EditPasteAction->trigger();
  form.EditPasteAction->trigger();
  EXPECT_EQ(form.VelmarOptionsEdit->text(), "alpha betaalpha beta");
  form.VelmarOptionsEdit->setSelection(0, 6);
  form.EditDeleteAction->trigger();
  EXPECT_EQ(form.VelmarOptionsEdit->text(), "betaalpha beta");

  form.SetFindText("BETA", false);
  form.VelmarOptionsEdit->setCursorPosition(0);
  EXPECT_TRUE(form.SearchFindNext());
  EXPECT_EQ(form.VelmarOptionsEdit->selectionStart(), 0);
  EXPECT_TRUE(form.SearchFindNext());
  EXPECT_EQ(form.VelmarOptionsEdit->selectionStart(), 10);
  form.SetFindText("BETA", true);
  EXPECT_FALSE(form.SearchFindNext());
  ASSERT_FALSE(FBoxes.empty());
  EXPECT_EQ(FBoxes.back().Text, "Cannot find \"BETA\"");
}

}  // namespace
