// The window driven by key presses and mouse clicks as a user drives it: no
// keystroke may lose a model or a setting, the access keys do what their
// menus and tabs say, a run's lines all reach its log file, and the
// Messages box stays readable.
#include <functional>
#include <filesystem>
#include <map>
#include <optional>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFontInfo>
#include <QImage>
#include <QPixmap>
#include <QLabel>
#include <QTextBlock>
#include <QTextLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QDropEvent>
#include <QUrl>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionSpinBox>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include "ShownWindowSupport.h"
#include "diagnostics/Exception.h"
#include "diagnostics/Logging.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "ui/FModel.h"
#include "ui/Main.h"
#include "ui/Widgets.h"

// Readable texts in failure reports.
void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

namespace {

std::vector<std::string> PanelNames(const TMainForm& form) {
  std::vector<std::string> names;
  for (TModelForm* panel : form.ModelForms()) names.push_back(panel->GetFilename());
  return names;
}

std::vector<std::string> Names(std::initializer_list<const char*> first, size_t defaults = 0) {
  std::vector<std::string> names(first.begin(), first.end());
  names.insert(names.end(), defaults, "TestModel.vm");
  return names;
}

class WindowSafetyTest : public ShownWindowTest {
 public:
  void Focus(QWidget* widget) {
    widget->setFocus();
    EXPECT_TRUE(QTest::qWaitFor([&] { return widget->hasFocus(); }, 1000)) << widget->objectName().toStdString();
  }
  // Replaces the count box's text by typing, as a user would (no Enter).
  void TypeCount(const QString& text) {
    Focus(FForm->ModelsSpinEdit);
    FForm->ModelsSpinEdit->findChild<QLineEdit*>()->selectAll();
    QTest::keyClicks(FForm->ModelsSpinEdit, text);
  }
};

// ---- The model count box --------------------------------------------------

struct TCountCase {
  const char* Name;
  std::function<void(WindowSafetyTest&, TMainForm&)> Edit;
  std::vector<std::string> Expected;
};

TEST_F(WindowSafetyTest, TheModelCountIsAppliedOnlyWhenEditingEndsAndRemovedModelsComeBack) {
  const std::string doc = PathOf("three.vmgr");
  WriteFile(doc, "[Model0]\nFilename=a.vm\n[Model1]\nFilename=b.vm\n[Model2]\nFilename=c.vm\n");
  const std::vector<TCountCase> cases = {
      {"typing 12 over 3, then Enter",
       [](WindowSafetyTest& t, TMainForm& form) {
         t.TypeCount("1");
         EXPECT_EQ(form.ModelForms().size(), 3u) << "applied on the first keystroke";
         QTest::keyClicks(form.ModelsSpinEdit, "2");
         EXPECT_EQ(form.ModelForms().size(), 3u);
         QTest::keyClick(form.ModelsSpinEdit, Qt::Key_Return);
       },
       Names({"a.vm", "b.vm", "c.vm"}, 9)},
      {"typing 1 and leaving the box with Tab",
       [](WindowSafetyTest& t, TMainForm& form) {
         t.TypeCount("1");
         EXPECT_EQ(form.ModelForms().size(), 3u);
         QTest::keyClick(form.ModelsSpinEdit, Qt::Key_Tab);
       },
       Names({"a.vm"})},
      {"lowering to 1, then raising with the arrow keys",
       [](WindowSafetyTest& t, TMainForm& form) {
         t.TypeCount("1");
         QTest::keyClick(form.ModelsSpinEdit, Qt::Key_Enter);
         ASSERT_EQ(form.ModelForms().size(), 1u);
         for (int i = 0; i < 3; ++i) QTest::keyClick(form.ModelsSpinEdit, Qt::Key_Up);
       },
       Names({"a.vm", "b.vm", "c.vm"}, 1)},
      {"arrow down twice, then the wheel up twice",
       [](WindowSafetyTest& t, TMainForm& form) {
         t.Focus(form.ModelsSpinEdit);
         QTest::keyClick(form.ModelsSpinEdit, Qt::Key_Down);
         QTest::keyClick(form.ModelsSpinEdit, Qt::Key_Down);
         ASSERT_EQ(PanelNames(form), Names({"a.vm"}));
         for (int i = 0; i < 2; ++i) {
           const QPointF at(form.ModelsSpinEdit->width() / 2.0, form.ModelsSpinEdit->height() / 2.0);
           QWheelEvent wheel(at, form.ModelsSpinEdit->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                             Qt::NoModifier, Qt::NoScrollPhase, false);
           QApplication::sendEvent(form.ModelsSpinEdit, &wheel);
         }
       },
       Names({"a.vm", "b.vm", "c.vm"})},
      {"lowering to 2, then clicking the box's up arrow with the mouse",
       [](WindowSafetyTest& t, TMainForm& form) {
         t.TypeCount("2");
         QTest::keyClick(form.ModelsSpinEdit, Qt::Key_Return);
         ASSERT_EQ(form.ModelForms().size(), 2u);
         QStyleOptionSpinBox option;
         option.initFrom(form.ModelsSpinEdit);
         option.subControls = QStyle::SC_SpinBoxUp;
         option.stepEnabled = QAbstractSpinBox::StepUpEnabled | QAbstractSpinBox::StepDownEnabled;
         const QRect up = form.ModelsSpinEdit->style()->subControlRect(QStyle::CC_SpinBox, &option,
                                                                       QStyle::SC_SpinBoxUp, form.ModelsSpinEdit);
         ASSERT_TRUE(up.isValid());
         QTest::mouseClick(form.ModelsSpinEdit, Qt::LeftButton, Qt::NoModifier, up.center());
       },
       Names({"a.vm", "b.vm", "c.vm"})},
      {"a typed count is what Save stores, even before Enter",
       [](WindowSafetyTest& t, TMainForm& form) {
         t.TypeCount("2");
         QTest::keyClick(form.ModelsSpinEdit, Qt::Key_S, Qt::ControlModifier);
       },
       Names({"a.vm", "b.vm"})},
  };
  for (const TCountCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TMainForm& form = Show({doc});
    c.Edit(*this, form);
    EXPECT_EQ(PanelNames(form), c.Expected);
    EXPECT_EQ(form.ModelsSpinEdit->value(), static_cast<int>(c.Expected.size()));
    form.ControlsToDocument();
    EXPECT_EQ(form.Document().ModelCount(), c.Expected.size());
  }
  // The save of the last case wrote the two models shown.
  EXPECT_EQ(ReadFile(doc), "[Model0]\nFilename=a.vm\n[Model1]\nFilename=b.vm\n");
}

TEST_F(WindowSafetyTest, NamesOfRemovedModelsAreForgottenWithTheirDocument) {
  const std::string doc = PathOf("two.vmgr");
  WriteFile(doc, "[Model0]\nFilename=a.vm\n[Model1]\nFilename=b.vm\n");
  WriteFile(PathOf("other.vmgr"), "[Model0]\nFilename=x.vm\n[Model1]\nFilename=y.vm\n");
  for (const bool openAnother : {false, true}) {
    SCOPED_TRACE(openAnother ? "Open" : "New");
    TMainForm& form = Show({doc});
    TypeCount("1");
    QTest::keyClick(form.ModelsSpinEdit, Qt::Key_Return);
    ASSERT_EQ(PanelNames(form), Names({"a.vm"}));
    ASSERT_FALSE(form.Document().GetDirty());  // no prompt: lowering alone changes nothing
    if (openAnother) {
      FDialogAnswers = {PathOf("other.vmgr")};
      form.FileOpenAction->trigger();
    } else {
      form.FileNewAction->trigger();
    }
    ASSERT_EQ(form.ModelForms().size(), 2u);
    TypeCount("3");
    QTest::keyClick(form.ModelsSpinEdit, Qt::Key_Return);
    EXPECT_EQ(PanelNames(form), openAnother ? Names({"x.vm", "y.vm"}, 1) : Names({}, 3));
    EXPECT_TRUE(FBoxes.empty());
  }
}

// ---- Access keys ------------------------------------------------------------

TEST_F(WindowSafetyTest, EveryAltLetterOnEveryTabDoesWhatItsMenuOrTabSays) {
  TMainForm& form = Show();
  form.VelmarFilenameEdit->setText("/opt/velmar/bin/velmar");
  QMenu* fileMenu = form.menuBar()->actions().at(0)->menu();
  QMenu* editMenu = form.menuBar()->actions().at(1)->menu();
  QMenu* helpMenu = form.menuBar()->actions().at(2)->menu();
  const std::vector<std::pair<QWidget*, QWidget*>> tabs = {
      {form.ConfigurationTabSheet, form.ModelsSpinEdit},
      {form.SimulationTabSheet, form.StartButton},
      {form.MessagesTabSheet, form.MessagesMemo},
      {form.SettingsTabSheet, form.VelmarFilenameEdit},
  };
  const std::map<char, QWidget*> tabKeys = {{'C', form.ConfigurationTabSheet},
                                            {'S', form.SimulationTabSheet},
                                            {'M', form.MessagesTabSheet},
                                            {'T', form.SettingsTabSheet}};
  const std::map<char, QMenu*> menuKeys = {{'F', fileMenu}, {'E', editMenu}, {'H', helpMenu}};
  for (const auto& [tab, focus] : tabs) {
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
      SCOPED_TRACE(tab->objectName().toStdString() + ", Alt+" + std::string(1, letter));
      form.PageControl->setCurrentWidget(tab);
      Focus(focus);
      const QString memo = form.MessagesMemo->toPlainText();
      QTest::keyClick(focus, static_cast<Qt::Key>(Qt::Key_A + (letter - 'A')), Qt::AltModifier);
      if (menuKeys.contains(letter)) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activePopupWidget() == menuKeys.at(letter); }, 1000));
        QTest::keyClick(menuKeys.at(letter), Qt::Key_Escape);
        QTest::keyClick(form.menuBar(), Qt::Key_Escape);
        EXPECT_TRUE(QTest::qWaitFor([] { return QApplication::activePopupWidget() == nullptr; }, 1000));
      } else {
        EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
      }
      EXPECT_EQ(form.PageControl->currentWidget(), tabKeys.contains(letter) ? tabKeys.at(letter) : tab);
      if (!tabKeys.contains(letter) && !menuKeys.contains(letter)) {
        EXPECT_TRUE(focus->hasFocus());
      }
      // No key typed anything anywhere.
      EXPECT_EQ(form.VelmarFilenameEdit->text(), "/opt/velmar/bin/velmar");
      EXPECT_EQ(form.MessagesMemo->toPlainText(), memo);
      EXPECT_EQ(form.ModelsSpinEdit->value(), 2);
    }
  }

  // The keyboard's Exit, from the engine's path: Alt+F, X closes the
  // window and stores the path as it was.
  form.PageControl->setCurrentWidget(form.SettingsTabSheet);
  Focus(form.VelmarFilenameEdit);
  QTest::keyClick(form.VelmarFilenameEdit, Qt::Key_F, Qt::AltModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activePopupWidget() == fileMenu; }, 1000));
  QTest::keyClick(fileMenu, Qt::Key_X);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, 1000));
  EXPECT_EQ(form.VelmarFilenameEdit->text(), "/opt/velmar/bin/velmar");
  EXPECT_EQ(TSettings::GetVelmarFilename(), "/opt/velmar/bin/velmar");
}

TEST_F(WindowSafetyTest, LabelsAndCheckBoxesCarryNoAccessKeys) {
  TMainForm& form = Show();
  QStringList withKeys;
  for (QWidget* w : form.findChildren<QWidget*>()) {
    QString text;
    if (auto* label = qobject_cast<QLabel*>(w)) text = label->text();
    if (auto* box = qobject_cast<QAbstractButton*>(w); box && !qobject_cast<QPushButton*>(w)) text = box->text();
    if (text.contains('&')) withKeys << text;
  }
  EXPECT_TRUE(withKeys.isEmpty()) << withKeys.join(", ").toStdString();
  EXPECT_EQ(form.UseExternalProcessorCheckBox->text(), "Use external  processor");
  EXPECT_EQ(form.DebugMessagesCheckBox->text(), "Log debug messages");
}

TEST_F(WindowSafetyTest, TheWindowShowsTheProgramsIcon) {
  TMainForm& form = Show();
  ASSERT_FALSE(form.windowIcon().isNull());
  const QImage image = form.windowIcon().pixmap(32, 32).toImage();
  ASSERT_FALSE(image.isNull());
  // The icon's dark green ground, drawn from the SVG the menu entry uses.
  EXPECT_EQ(image.pixelColor(16, 4).name(), "#1f5f4a");
}

// ---- A run and its log file ---------------------------------------------------

TEST_F(WindowSafetyTest, WhileARunStartsNewOpenAndExitWaitAndClosingAsksToStopItFirst) {
  const std::string doc = PathOf("run.vmgr");
  WriteFile(doc, "[Model0]\nFilename=a.vm\n");
  TMainForm& form = Show({doc});
  bool release = false;
  std::vector<std::string> seenDuringStart;
  FSimulator.OnStart = [&](TDocument& document) {
    // Keys pressed while the engines start.
    QTest::keyClick(&form, Qt::Key_O, Qt::ControlModifier);
    seenDuringStart.push_back(form.FileNewAction->isEnabled() ? "New enabled" : "New disabled");
    seenDuringStart.push_back(form.FileOpenAction->isEnabled() ? "Open enabled" : "Open disabled");
    seenDuringStart.push_back(form.FileExitAction->isEnabled() ? "Exit enabled" : "Exit disabled");
    FBoxAnswers = {Platform::mrNo};
    form.close();  // the title bar's close button
    seenDuringStart.push_back(form.isVisible() ? "open after No" : "closed after No");
    FBoxAnswers = {Platform::mrYes};
    form.close();
    seenDuringStart.push_back(form.isVisible() ? "open after Yes" : "closed after Yes");
    EXPECT_TRUE(QTest::qWaitFor([&] { return release || FSimulator.CancelCalls > 0; }, 1000));
    EXPECT_EQ(document.GetFilename(), doc);
    if (FSimulator.CancelCalls > 0) throw Exception("Canceled");
  };
  QTest::keyClick(&form, Qt::Key_R, Qt::ControlModifier);
  EXPECT_EQ(seenDuringStart, (std::vector<std::string>{"New disabled", "Open disabled", "Exit disabled",
                                                       "open after No", "open after Yes"}));
  EXPECT_TRUE(FDialogs.empty());  // Ctrl+O did nothing
  ASSERT_EQ(FBoxes.size(), 2u);
  EXPECT_EQ(FBoxes[0].Text, "A simulation is being started.\r\n\r\nStop it and close the window?");
  EXPECT_EQ(FSimulator.CancelCalls, 1);
  // The start gave up; the close the user asked for follows.
  EXPECT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, 2000));
  EXPECT_NE(Memo().find("Info: Cancelled simulation"), std::string::npos);
  EXPECT_NE(ReadFile(PathOf("run.log")).find("Simulation failed"), std::string::npos);
}

TEST_F(WindowSafetyTest, EveryLineOfARunReachesItsLogFileAfterNewToo) {
  const std::string doc = PathOf("run.vmgr");
  WriteFile(doc, "[Model0]\nFilename=a.vm\n");
  TMainForm& form = Show({doc});
  FSimulator.Done = false;
  QTest::keyClick(&form, Qt::Key_R, Qt::ControlModifier);
  ASSERT_TRUE(form.RunControl().GetSimulating());
  // File, New from the keyboard, while the run goes on.
  QTest::keyClick(&form, Qt::Key_F, Qt::AltModifier);
  QMenu* fileMenu = form.menuBar()->actions().at(0)->menu();
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activePopupWidget() == fileMenu; }, 1000));
  QTest::keyClick(fileMenu, Qt::Key_N);
  ASSERT_EQ(ShownCaption(form), "Untitled.vmgr - VelmarManager");
  Logger().Info("Velmar #2 finalized");
  FSimulator.Done = true;
  ASSERT_TRUE(QTest::qWaitFor([&] { return Memo().find("Simulation complete") != std::string::npos; }, 2000));
  Logger().Info("after the run");
  form.RunControl().FlushLog();
  const std::string log = ReadFile(PathOf("run.log"));
  EXPECT_NE(log.find(" - Info: Velmar #2 finalized\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" - Info: Simulation complete\r\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("after the run"), std::string::npos) << log;  // the untitled document has no log
  EXPECT_EQ(form.RunStatusLabel->text(), "Simulation complete");

  // A menu's hints pass over the status bar and leave the run's status.
  // (The offscreen platform leaves the closed menu the active window.)
  QApplication::setActiveWindow(&form);
  ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
  QTest::keyClick(&form, Qt::Key_F, Qt::AltModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activePopupWidget() == fileMenu; }, 1000));
  for (int i = 0; i < 10 && fileMenu->activeAction() != form.FileOpenAction; ++i) QTest::keyClick(fileMenu, Qt::Key_Down);
  ASSERT_EQ(fileMenu->activeAction(), form.FileOpenAction);
  EXPECT_EQ(form.statusBar()->currentMessage(), "Opens an existing file");
  QTest::keyClick(fileMenu, Qt::Key_Escape);
  QTest::keyClick(form.menuBar(), Qt::Key_Escape);
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.statusBar()->currentMessage().isEmpty(); }, 1000));
  EXPECT_TRUE(form.RunStatusLabel->isVisible());
  EXPECT_EQ(form.RunStatusLabel->text(), "Simulation complete");
}

TEST_F(WindowSafetyTest, AfterStopTheTableFollowsTheRunUntilItsEnginesHaveGoneAndThenStops) {
  TMainForm& form = Show();
  form.PageControl->setCurrentWidget(form.SimulationTabSheet);
  FSimulator.Done = false;
  QTest::mouseClick(form.StartButton, Qt::LeftButton);
  ASSERT_TRUE(form.RunControl().GetSimulating());
  QTest::mouseClick(form.StopButton, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.SimulationTimer->isActive(); }, 1000));
  // The engines are still going: the table keeps asking.
  const int asked = FSimulator.DoneCalls;
  EXPECT_TRUE(QTest::qWaitFor([&] { return FSimulator.DoneCalls >= asked + 2; }, 3000));
  EXPECT_TRUE(form.MonitorTimer->isActive());
  EXPECT_TRUE(form.RunControl().GetRunInProgress());
  // A module that fails to answer is reported once, not at every tick.
  FSimulator.DoneError = "the module broke";
  auto errors = [&] {
    int n = 0;
    for (const TShownBox& box : FBoxes) n += box.Kind == Platform::mbError;
    return n;
  };
  EXPECT_TRUE(QTest::qWaitFor([&] { return errors() > 0; }, 3000));
  QTest::qWait(350);
  EXPECT_EQ(errors(), 1);
  EXPECT_FALSE(form.MonitorTimer->isActive());
  EXPECT_FALSE(form.RunControl().GetRunInProgress());
  // Once gone, nothing asks any more.
  const int finalCalls = FSimulator.DoneCalls;
  QTest::qWait(250);
  EXPECT_EQ(FSimulator.DoneCalls, finalCalls);
}

// A signal (SIGTERM, SIGINT, SIGHUP) stops the run as Stop does and closes
// the window once the engines have gone, with no question; the changes not
// saved go beside the document, which stays as it was.
TEST_F(WindowSafetyTest, ASignalStopsTheRunAndClosesWithoutAskingKeepingTheChangesBeside) {
  const std::string doc = PathOf("run.vmgr");
  const std::string saved = "[Model0]\nFilename=a.vm\n";
  WriteFile(doc, saved);
  TMainForm& form = Show({doc});
  TypeCount("2");
  QTest::keyClick(form.ModelsSpinEdit, Qt::Key_Return);
  ASSERT_EQ(form.ModelForms().size(), 2u);
  FSimulator.Done = false;
  QTest::keyClick(&form, Qt::Key_R, Qt::ControlModifier);
  ASSERT_TRUE(form.RunControl().GetSimulating());
  form.StopAndCloseOnSignal();
  EXPECT_EQ(FSimulator.CancelCalls, 1);
  // The engines are still going: the window waits for them.
  QTest::qWait(300);
  EXPECT_TRUE(form.isVisible());
  FSimulator.Done = true;
  EXPECT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, 2000));
  EXPECT_TRUE(FBoxes.empty()) << FBoxes.front().Text;
  EXPECT_EQ(ReadFile(doc), saved);
  const std::string copy = PathOf("run.unsaved.vmgr");
  EXPECT_EQ(ReadFile(copy), "[Model0]\nFilename=a.vm\n[Model1]\nFilename=TestModel.vm\n");
  const std::string log = ReadFile(PathOf("run.log"));
  size_t at = 0;
  for (const std::string& line : std::vector<std::string>{"Info: Closing on a signal, once the run has stopped and its engines have gone",
                                 "Info: Cancelled simulation",
                                 "Warn: The changes to \"" + doc + "\" were not saved; they are written to \"" + copy + "\""}) {
    at = log.find(line, at);
    EXPECT_NE(at, std::string::npos) << line << "\n" << log;
  }
}

// ---- Open Recent and dropped documents ---------------------------------------------

TEST_F(WindowSafetyTest, OpenRecentListsTheLastEightDocumentsAndOpensThemFromTheKeyboard) {
  TSettings::SetVelmarOptions("-q");
  std::vector<std::string> docs;
  for (int i = 0; i < 10; ++i) {
    docs.push_back(PathOf("doc" + std::to_string(i) + ".vmgr"));
    WriteFile(docs.back(), "[Model0]\nFilename=m" + std::to_string(i) + ".vm\n");
  }
  TMainForm& form = Show();
  EXPECT_FALSE(form.RecentMenu->isEnabled());  // nothing yet
  for (int i = 0; i < 9; ++i) {
    FDialogAnswers = {docs[static_cast<size_t>(i)]};
    form.FileOpenAction->trigger();
  }
  // Save As counts as well; opening one again moves it to the top.
  FDialogAnswers = {docs[9]};
  form.FileSaveAsAction->trigger();
  FDialogAnswers = {docs[4]};
  form.FileOpenAction->trigger();
  const std::vector<std::string> expected = {docs[4], docs[9], docs[8], docs[7], docs[6], docs[5], docs[3], docs[2]};
  EXPECT_EQ(TSettings::GetRecentDocuments(), expected);
  ASSERT_TRUE(form.RecentMenu->isEnabled());
  ASSERT_EQ(form.RecentMenu->actions().size(), 8);
  EXPECT_EQ(form.RecentMenu->actions()[1]->text().toStdString(), "&2 " + docs[9]);
  // The section of its own leaves the other keys as they were.
  const std::string settings = ReadFile(PathOf("VelmarManager.settings"));
  EXPECT_NE(settings.find("[RecentDocuments]\nFile1=" + docs[4] + "\nFile2=" + docs[9] + "\n"), std::string::npos)
      << settings;
  EXPECT_EQ(TSettings::GetVelmarOptions(), "-q");

  // Alt+F, E (Open Recent), 3: the third entry, docs[8].
  QMenu* fileMenu = form.menuBar()->actions().at(0)->menu();
  QTest::keyClick(&form, Qt::Key_F, Qt::AltModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activePopupWidget() == fileMenu; }, 1000));
  QTest::keyClick(fileMenu, Qt::Key_E);
  ASSERT_TRUE(QTest::qWaitFor([&] { return QApplication::activePopupWidget() == form.RecentMenu; }, 1000));
  QTest::keyClick(form.RecentMenu, Qt::Key_3);
  EXPECT_EQ(PanelNames(form), Names({"m8.vm"}));
  EXPECT_EQ(ShownCaption(form), docs[8] + " - VelmarManager");

  // Unsaved changes: the save prompt as for Open; Cancel keeps everything.
  form.ModelForms()[0]->SetFilename("edited.vm");
  FBoxAnswers = {Platform::mrCancel};
  form.RecentMenu->actions()[1]->trigger();
  EXPECT_EQ(PanelNames(form), Names({"edited.vm"}));
  ASSERT_EQ(FBoxes.size(), 1u);
  EXPECT_EQ(FBoxes[0].Text, TMainForm::SAVE_CHANGES_PROMPT);

  // A document gone since: said in the status bar and taken off the list.
  std::filesystem::remove(docs[2]);
  FBoxes.clear();
  form.RecentMenu->actions()[7]->trigger();
  EXPECT_EQ(PanelNames(form), Names({"edited.vm"}));
  EXPECT_TRUE(FBoxes.empty());
  const std::string gone = "\"" + docs[2] + "\" no longer exists";
  EXPECT_EQ(form.RunStatusLabel->text().toStdString(), gone);
  EXPECT_EQ(TSettings::GetRecentDocuments().size(), 7u);
  // A hint passing over the status bar (the pointer on a button) leaves it.
  form.statusBar()->showMessage("Starts the simulation");
  form.statusBar()->clearMessage();
  EXPECT_TRUE(form.RunStatusLabel->isVisibleTo(&form));
  EXPECT_EQ(form.RunStatusLabel->text().toStdString(), gone);
}

TEST_F(WindowSafetyTest, ADocumentDroppedOnTheWindowOpensAfterTheSavePrompt) {
  const std::string doc = PathOf("dropped.vmgr");
  WriteFile(doc, "[Model0]\nFilename=dropped.vm\n");
  WriteFile(PathOf("notes.txt"), "not a document");
  TMainForm& form = Show();
  form.ModelForms()[0]->SetFilename("edited.vm");
  struct TCase {
    const char* Name;
    std::vector<std::string> Files;
    QWidget* Target;
    std::optional<Platform::TMsgBoxResult> Answer;  // none: no prompt expected
    std::vector<std::string> Panels;
  };
  const std::vector<TCase> cases = {
      {"a text file is refused", {PathOf("notes.txt")}, form.ModelsFlowPanel, std::nullopt, Names({"edited.vm"}, 1)},
      {"Cancel at the prompt keeps the edits", {doc}, form.ModelsFlowPanel, Platform::mrCancel, Names({"edited.vm"}, 1)},
      {"No opens it, also dropped on a text box", {PathOf("notes.txt"), doc}, form.VelmarFilenameEdit,
       Platform::mrNo, Names({"dropped.vm"})},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    FBoxes.clear();
    FBoxAnswers.clear();
    if (c.Answer) FBoxAnswers = {*c.Answer};
    QMimeData data;
    QList<QUrl> urls;
    for (const std::string& file : c.Files) urls << QUrl::fromLocalFile(QString::fromStdString(file));
    data.setUrls(urls);
    const QPoint at(5, 5);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(c.Target, &enter);
    EXPECT_EQ(enter.isAccepted(), c.Answer.has_value());
    if (enter.isAccepted()) {
      QDropEvent drop(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
      QApplication::sendEvent(c.Target, &drop);
      EXPECT_TRUE(drop.isAccepted());
    }
    QTest::qWait(50);
    EXPECT_EQ(FBoxes.size(), c.Answer ? 1u : 0u);
    EXPECT_EQ(PanelNames(form), c.Panels);
    EXPECT_NE(form.VelmarFilenameEdit->text().toStdString().find("notes"), 0u);
  }
  EXPECT_EQ(form.VelmarFilenameEdit->text(), "");
}

// ---- The Messages box -------------------------------------------------------------

TEST_F(WindowSafetyTest, TheMessagesBoxWrapsLongLinesInAFixedWidthFont) {
  TMainForm& form = Show();
  form.PageControl->setCurrentWidget(form.MessagesTabSheet);
  Logger().Log("long: " + std::string(3000, 'x') + " end");
  form.RunControl().FlushLog();
  QApplication::processEvents();
  EXPECT_EQ(form.MessagesMemo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(form.MessagesMemo->horizontalScrollBar()->maximum(), 0);
  EXPECT_EQ(form.MessagesMemo->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  // Every character of a log line takes the same width, whatever the
  // system's fixed font (Noto Sans Mono, for one, is not counted as fixed
  // pitch by fontconfig).
  EXPECT_TRUE(Widgets::AsciiFixedWidth(form.MessagesMemo->font()));
  // The end of the line is reached with keys, and the time stamp stays.
  Focus(form.MessagesMemo);
  QTest::keyClick(form.MessagesMemo, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(form.MessagesMemo->horizontalScrollBar()->value(), 0);
  EXPECT_GT(form.MessagesMemo->document()->firstBlock().layout()->lineCount(), 1);
}

// A system fixed font whose letters differ in width gives way to an
// installed family whose letters do not, at the same size; a fixed one is
// kept as it is.
TEST_F(WindowSafetyTest, TheMessagesBoxFontFallsBackToAFixedWidthFamily) {
  QFont proportional("DejaVu Sans", 13);
  ASSERT_FALSE(Widgets::AsciiFixedWidth(proportional));
  const QFont chosen = Widgets::FixedWidthFont(proportional);
  EXPECT_TRUE(Widgets::AsciiFixedWidth(chosen)) << chosen.family().toStdString();
  EXPECT_EQ(chosen.pointSize(), 13);
  QFont mono("DejaVu Sans Mono", 9);
  ASSERT_TRUE(Widgets::AsciiFixedWidth(mono));
  EXPECT_EQ(Widgets::FixedWidthFont(mono), mono);
}

TEST_F(WindowSafetyTest, TheMessagesBoxKeepsTheNewest100000LinesAndTheLogFileAll) {
  const std::string doc = PathOf("long.vmgr");
  WriteFile(doc, "[Model0]\nFilename=a.vm\n");
  TMainForm& form = Show({doc});
  constexpr int LINES = TMainForm::MAX_MESSAGE_LINES + 25;
  for (int i = 0; i < LINES; ++i) Logger().Log("line %d", i);
  form.RunControl().FlushLog();
  EXPECT_EQ(form.MessagesMemo->blockCount(), TMainForm::MAX_MESSAGE_LINES);
  EXPECT_NE(form.MessagesMemo->document()->lastBlock().text().toStdString().find(" - Log: line " + std::to_string(LINES - 1)),
            std::string::npos);
  EXPECT_NE(form.MessagesMemo->document()->firstBlock().text().toStdString().find(" - Log: line 25"), std::string::npos);
  const std::string log = ReadFile(PathOf("long.log"));
  EXPECT_NE(log.find(" - Log: line 0\r\n"), std::string::npos);
  EXPECT_NE(log.find(" - Log: line " + std::to_string(LINES - 1) + "\r\n"), std::string::npos);
}

TEST_F(WindowSafetyTest, OpeningADocumentWithoutModelsWarns) {
  struct TCase {
    const char* Name;
    std::string Content;
    bool Warns;
  };
  // Random bytes are no document at all (refused), and a [Model1] without
  // a [Model0] is named as a section that was not read.
  const std::vector<TCase> cases = {
      {"an empty file", "", true},
      {"sections but no models", "[Notes]\nx=1\n[model3]\n", true},
      {"one model", "[Model0]\nFilename=a.vm\n", false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = PathOf("doc.vmgr");
    WriteFile(path, c.Content);
    TMainForm& form = Show();
    FDialogAnswers = {path};
    form.FileOpenAction->trigger();
    form.RunControl().FlushLog();
    const std::string warning = " - Warn: \"" + path + "\" has no models (no [Model0] section); a run of it starts no engine";
    EXPECT_EQ(Memo().find(warning) != std::string::npos, c.Warns) << Memo();
  }
  // A path with no file behind it is a new document: nothing is said.
  TMainForm& form = Show({PathOf("new.vmgr")});
  form.RunControl().FlushLog();
  EXPECT_EQ(Memo(), "");
}

}  // namespace
