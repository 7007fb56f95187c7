#include "ui/Main.h"

#include <algorithm>
#include <climits>
#include <filesystem>

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QSplitter>
#include <QPushButton>
#include <QScrollArea>
#include <QScreen>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "diagnostics/Logging.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/ScopeExit.h"
#include "ui/FModel.h"
#include "ui/FileDialogs.h"
#include "ui/ComputingChart.h"
#include "ui/RunCharts.h"
#include "ui/RunMonitor.h"
#include "ui/Startup.h"
#include "ui/Widgets.h"

TMainForm* MainForm = nullptr;

using namespace Widgets;

namespace {

constexpr int MIN_MODELS = 1;
constexpr int MAX_MODELS = 99;

// "Open|Opens an existing file": the tooltip, then the status-bar text.
void SetActionHint(QAction* action, const char* hint) {
  const QString text = QString::fromUtf8(hint);
  const qsizetype bar = text.indexOf('|');
  action->setToolTip(bar < 0 ? text : text.left(bar));
  action->setStatusTip(bar < 0 ? text : text.mid(bar + 1));
}

// A button bound to an action: same caption, hint and enabled state, and a
// click runs the action.
void BindButton(QPushButton* button, QAction* action) {
  auto sync = [button, action] {
    button->setText(action->text());
    button->setEnabled(action->isEnabled());
    button->setToolTip(action->toolTip());
    button->setStatusTip(action->statusTip());
    button->setToolTipDuration(HINT_PAUSE);
  };
  sync();
  QObject::connect(action, &QAction::changed, button, sync);
  QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
}

QLineEdit* LineEditOf(QWidget* widget) {
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit;
  if (auto* spin = qobject_cast<QAbstractSpinBox*>(widget)) return spin->findChild<QLineEdit*>();
  return nullptr;
}

Qt::CaseSensitivity CaseOf(bool matchCase) { return matchCase ? Qt::CaseSensitive : Qt::CaseInsensitive; }

}  // namespace

class TModelCountSpinBox : public QSpinBox {
 public:
  using QSpinBox::QSpinBox;

 protected:
  // Any whole number is acceptable as typed; the value is then kept within
  // the bounds and the change handler takes it from there.
  QValidator::State validate(QString& input, int& pos) const override {
    const QString text = input.trimmed();
    if (text.isEmpty() || text == "-" || text == "+") return QValidator::Intermediate;
    bool ok = false;
    text.toLongLong(&ok);
    if (ok) return QValidator::Acceptable;
    return QSpinBox::validate(input, pos);
  }
  int valueFromText(const QString& text) const override {
    bool ok = false;
    const qlonglong value = text.trimmed().toLongLong(&ok);
    if (!ok) return minimum();
    return static_cast<int>(std::clamp<qlonglong>(value, minimum(), maximum()));
  }
};

// Find: looks for a text in the text box that had focus when it opened.
class TFindDialog : public QDialog {
 public:
  explicit TFindDialog(TMainForm* form) : QDialog(form), FForm(form) {
    setWindowTitle("Find");
    auto* layout = new QGridLayout(this);
    auto* label = new QLabel("Fi&nd what:", this);
    FText = new QLineEdit(this);
    FText->setObjectName("FindTextEdit");
    label->setBuddy(FText);
    FMatchCase = new QCheckBox("Match &case", this);
    auto* buttons = new QDialogButtonBox(Qt::Vertical, this);
    FFindNext = buttons->addButton("&Find Next", QDialogButtonBox::ActionRole);
    FFindNext->setDefault(true);
    buttons->addButton(QDialogButtonBox::Cancel);
    layout->addWidget(label, 0, 0);
    layout->addWidget(FText, 0, 1);
    layout->addWidget(FMatchCase, 1, 0, 1, 2);
    layout->addWidget(buttons, 0, 2, 2, 1);
    connect(FFindNext, &QPushButton::clicked, this, [this] {
      FForm->SetFindText(FText->text(), FMatchCase->isChecked());
      FForm->SearchFindNext();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(FText, &QLineEdit::textChanged, this, [this](const QString& t) { FFindNext->setEnabled(!t.isEmpty()); });
    FFindNext->setEnabled(false);
  }

  void Open(const QString& text) {
    if (!text.isEmpty()) FText->setText(text);
    FText->selectAll();
    show();
    raise();
    activateWindow();
    FText->setFocus();
  }

 private:
  TMainForm* FForm;
  QLineEdit* FText = nullptr;
  QCheckBox* FMatchCase = nullptr;
  QPushButton* FFindNext = nullptr;
};

void RunCommand(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    Platform::ShowMessageBox(Platform::mbError, ExceptionMessage(e));
  }
}

TMainForm::TMainForm(std::vector<std::string> args, QWidget* parent) : QMainWindow(parent) {
  MainForm = this;
  setObjectName("MainForm");
  setWindowTitle(APPLICATION_TITLE);
  // The desktop's icon theme first (the installed icon), else the built-in copy.
  setWindowIcon(QIcon::fromTheme("velmar-manager", QIcon(":/velmar-manager.svg")));

  CreateActions();
  CreateMenus();
  PageControl = new QTabWidget(this);
  PageControl->setObjectName("PageControl");
  setCentralWidget(PageControl);
  CreateConfigurationTab();
  CreateSimulationTab();
  CreateMessagesTab();
  CreateSettingsTab(PageControl, this, [this](QLineEdit* edit) { BrowseProgram(edit); },
                    [this] { UpdateControls(); });
  // How the last run started, failed or ended. A label of the status bar
  // rather than a message of it: the menus' hints replace a message, and the
  // reason a run failed must not go when the pointer crosses a menu.
  RunStatusLabel = new QLabel(statusBar());
  RunStatusLabel->setObjectName("RunStatusLabel");
  RunStatusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  statusBar()->addWidget(RunStatusLabel, 1);

  SimulationTimer = new QTimer(this);
  SimulationTimer->setObjectName("SimulationTimer");
  SimulationTimer->setInterval(TRunControl::SIMULATION_TIMER_INTERVAL);
  connect(SimulationTimer, &QTimer::timeout, this, [this] { RunCommand([this] { FRunControl.SimulationTimerTimer(); }); });
  StartTimer = new QTimer(this);
  StartTimer->setObjectName("StartTimer");
  StartTimer->setInterval(TRunControl::START_TIMER_INTERVAL);
  connect(StartTimer, &QTimer::timeout, this, [this] { RunCommand([this] { FRunControl.StartTimerTimer(); }); });
  MonitorTimer = new QTimer(this);
  MonitorTimer->setObjectName("MonitorTimer");
  MonitorTimer->setInterval(MONITOR_INTERVAL);
  connect(MonitorTimer, &QTimer::timeout, this, [this] {
    RunCommand([this] {
      FRunControl.WatchStoppedRun();
      RefreshMonitor();
    });
  });
  LogFlushTimer = new QTimer(this);
  LogFlushTimer->setObjectName("LogFlushTimer");
  LogFlushTimer->setSingleShot(true);
  connect(LogFlushTimer, &QTimer::timeout, this, [this] { RunCommand([this] { FRunControl.LogFlushDue(); }); });

  // The designed client area, whatever the menu and status bar take, but
  // never more than the screen holds (a large scale factor on a small
  // screen would hide the status bar below its edge).
  FitToScreen(QSize(784, 542 + menuBar()->sizeHint().height() + statusBar()->sizeHint().height()));

  UpdateRecentMenu();
  setAcceptDrops(true);

  // Sees the window's keys and drops before its widgets do (eventFilter):
  // an Alt+letter that no menu, tab or button takes must not type the
  // letter (a slip of Alt+F, X would otherwise write "x" into a path), and
  // a document dropped on a text box opens rather than landing as text.
  qApp->installEventFilter(this);

  FormCreate(args);
  FCreating = false;
  connect(PageControl, &QTabWidget::currentChanged, this, [this](int index) { PageControlChange(index); });
}

TMainForm::~TMainForm() {
  // FormDestroy: the settings shown, then the document goes.
  ControlsToSettingsReported();
  FRunControl.FlushLog();
  Logger().SetLogHandler(nullptr);
  for (TModelForm* panel : FModelForms) delete panel;
  FModelForms.clear();
  FDocument.reset();
  if (MainForm == this) MainForm = nullptr;
}

void TMainForm::FormCreate(const std::vector<std::string>& args) {
  Logger().SetLogHandler([this](const TLogEvent& event, bool& handled) { FRunControl.LogMessage(event, handled); },
                         &TRunControl::DebugLinesWanted, [this] { FRunControl.FlushLog(); });
  FDocument = std::make_unique<TDocument>();
  DocumentToControls();
  // No settings file yet: the first start, and the programs are not known.
  // The Settings tab comes first then, saying what to fill in.
  const bool firstStart = !Platform::FileExists(TSettings::GetIniFilename());
  SettingsToControls();
  const int page = TSettings::GetActivePageIndex();
  if (firstStart)
    PageControl->setCurrentWidget(SettingsTabSheet);
  else if (page >= 0 && page < PageControl->count())
    PageControl->setCurrentIndex(page);
  // A document that was refused is not run: the run would be of the new
  // document instead.
  const bool loaded = args.empty() || LoadDocument(args[0]);
  if (loaded && args.size() >= 2) {
    for (const std::string& arg : args) {
      if (arg.size() == 2 && (arg[0] == '-' || arg[0] == '/') && (arg[1] == 'r' || arg[1] == 'R')) {
        FRunControl.ArmAutorun();
        break;
      }
    }
  }
}

// ---- Building the window -------------------------------------------------

void TMainForm::CreateActions() {
  auto make = [this](const char* name, const char* caption, QKeySequence shortcut, const char* hint,
                     void (TMainForm::*handler)()) {
    auto* action = new QAction(caption, this);
    action->setObjectName(name);
    if (!shortcut.isEmpty()) action->setShortcut(shortcut);
    if (hint) SetActionHint(action, hint);
    if (handler) connect(action, &QAction::triggered, this, [this, handler] { RunCommand([this, handler] { (this->*handler)(); }); });
    addAction(action);  // shortcuts work whether or not the action is in a menu
    return action;
  };
  FileNewAction = make("FileNewAction", "&New", {}, nullptr, &TMainForm::FileNewActionExecute);
  FileOpenAction = make("FileOpenAction", "&Open...", QKeySequence("Ctrl+O"), "Open|Opens an existing file",
                        &TMainForm::FileOpenActionExecute);
  FileSaveAction = make("FileSaveAction", "&Save", QKeySequence("Ctrl+S"),
                        "Save|Saves the active file with the existing name", &TMainForm::FileSaveActionExecute);
  FileSaveAsAction = make("FileSaveAsAction", "Save &As...", {}, "Save As|Saves the active file with a new name",
                          &TMainForm::FileSaveAsActionExecute);
  FileExitAction = make("FileExitAction", "E&xit", {}, "Exit|Quits the application", nullptr);
  connect(FileExitAction, &QAction::triggered, this, &QWidget::close);
  FilePrintAction = make("FilePrintAction", "&Print...", {}, nullptr, nullptr);
  FilePrintAction->setEnabled(false);
  FilePrintSetupAction = make("FilePrintSetupAction", "P&rint Setup...", {}, nullptr, nullptr);
  FilePrintSetupAction->setEnabled(false);

  SimulateStartAction = make("SimulateStartAction", "Start", QKeySequence("Ctrl+R"), "Start|Starts the simulation", nullptr);
  SimulateStartAction->setShortcuts({QKeySequence("Ctrl+R"), QKeySequence(Qt::Key_F5)});
  connect(SimulateStartAction, &QAction::triggered, this, [this] { StartCommand(); });
  SimulateStopAction = make("SimulateStopAction", "Stop", QKeySequence("Shift+F5"), "Stop|Cancels the simulation", nullptr);
  connect(SimulateStopAction, &QAction::triggered, this,
          [this] { RunCommand([this] { FRunControl.SimulateStopActionExecute(); }); });

  EditCutAction = make("EditCutAction", "Cu&t", QKeySequence("Ctrl+X"),
                       "Cut|Cuts the selection and puts it on the Clipboard", &TMainForm::EditCut);
  EditCopyAction = make("EditCopyAction", "&Copy", QKeySequence("Ctrl+C"),
                        "Copy|Copies the selection and puts it on the Clipboard", &TMainForm::EditCopy);
  EditPasteAction = make("EditPasteAction", "&Paste", QKeySequence("Ctrl+V"), "Paste|Inserts Clipboard contents",
                         &TMainForm::EditPaste);
  EditSelectAllAction = make("EditSelectAllAction", "Select &All", QKeySequence("Ctrl+A"),
                             "Select All|Selects the entire document", &TMainForm::EditSelectAll);
  EditDeleteAction = make("EditDeleteAction", "&Delete", QKeySequence(Qt::Key_Delete), "Delete|Erases the selection",
                          &TMainForm::EditDelete);
  SearchFindAction = make("SearchFindAction", "&Find...", QKeySequence("Ctrl+F"), "Find|Finds the specified text",
                          &TMainForm::SearchFind);
  SearchFindNextAction = make("SearchFindNextAction", "Find &Next", QKeySequence(Qt::Key_F3),
                              "Find Next|Repeats the last find", nullptr);
  connect(SearchFindNextAction, &QAction::triggered, this, [this] { RunCommand([this] { SearchFindNext(); }); });
}

void TMainForm::CreateMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  file->addAction(FileNewAction);
  file->addAction(FileOpenAction);
  RecentMenu = file->addMenu("Open Rec&ent");
  RecentMenu->setObjectName("RecentMenu");
  // Another instance may have changed the list meanwhile.
  connect(RecentMenu, &QMenu::aboutToShow, this, [this] { UpdateRecentMenu(); });
  file->addAction(FileSaveAction);
  file->addAction(FileSaveAsAction);
  file->addSeparator();
  file->addAction(FilePrintAction);
  file->addAction(FilePrintSetupAction);
  file->addSeparator();
  file->addAction(FileExitAction);

  QMenu* edit = menuBar()->addMenu("&Edit");
  edit->addAction(EditCutAction);
  edit->addAction(EditCopyAction);
  edit->addAction(EditPasteAction);
  edit->addAction(EditDeleteAction);
  edit->addAction(EditSelectAllAction);
  edit->addSeparator();
  edit->addAction(SearchFindAction);
  edit->addAction(SearchFindNextAction);

  QMenu* help = menuBar()->addMenu("&Help");
  HelpAboutAction = help->addAction("&About Velmar Manager...");
  HelpAboutAction->setObjectName("HelpAboutAction");
  connect(HelpAboutAction, &QAction::triggered, this, [this] { RunCommand([this] { HelpAbout(); }); });
  for (QMenu* menu : {file, edit, help}) menu->setToolTipsVisible(true);
}

void TMainForm::CreateConfigurationTab() {
  ConfigurationTabSheet = new QWidget;
  ConfigurationTabSheet->setObjectName("ConfigurationTabSheet");
  auto* layout = new QVBoxLayout(ConfigurationTabSheet);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  ConfigurationControlPanel = new QWidget(ConfigurationTabSheet);
  ConfigurationControlPanel->setObjectName("ConfigurationControlPanel");
  ConfigurationControlPanel->setFixedHeight(41);
  auto* strip = new QHBoxLayout(ConfigurationControlPanel);
  strip->setContentsMargins(8, 4, 8, 4);
  auto* label = new QLabel("Models:", ConfigurationControlPanel);
  ModelsSpinEdit = new TModelCountSpinBox(ConfigurationControlPanel);
  ModelsSpinEdit->setObjectName("ModelsSpinEdit");
  ModelsSpinEdit->setRange(MIN_MODELS, MAX_MODELS);
  ModelsSpinEdit->setValue(1);
  ModelsSpinEdit->setMinimumWidth(70);
  // The count is applied when editing ends (Enter, focus leaving, arrows,
  // wheel), never per keystroke: typing "12" over "3" must not pass
  // through 1 and drop models 2 and 3 on the way.
  ModelsSpinEdit->setKeyboardTracking(false);
  label->setBuddy(ModelsSpinEdit);
  strip->addWidget(label);
  strip->addWidget(ModelsSpinEdit);
  strip->addStretch(1);
  layout->addWidget(ConfigurationControlPanel);
  connect(ModelsSpinEdit, &QSpinBox::valueChanged, this, [this] { RunCommand([this] { ModelsSpinEditChange(); }); });

  // Up to 99 panels: scroll, so that every one can be reached.
  ModelsScrollArea = new QScrollArea(ConfigurationTabSheet);
  ModelsScrollArea->setObjectName("ModelsScrollArea");
  ModelsScrollArea->setFrameShape(QFrame::NoFrame);
  ModelsScrollArea->setWidgetResizable(true);
  ModelsScrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  ModelsFlowPanel = new QWidget;
  ModelsFlowPanel->setObjectName("ModelsFlowPanel");
  ModelsFlowLayout = new QVBoxLayout(ModelsFlowPanel);
  ModelsFlowLayout->setContentsMargins(0, 0, 0, 0);
  ModelsFlowLayout->setSpacing(0);
  ModelsFlowLayout->addStretch(1);
  ModelsScrollArea->setWidget(ModelsFlowPanel);
  layout->addWidget(ModelsScrollArea, 1);

  PageControl->addTab(ConfigurationTabSheet, "&Configuration");
}

void TMainForm::CreateSimulationTab() {
  SimulationTabSheet = new QWidget;
  SimulationTabSheet->setObjectName("SimulationTabSheet");
  auto* layout = new QVBoxLayout(SimulationTabSheet);
  auto* buttons = new QHBoxLayout;
  StartButton = new QPushButton(SimulationTabSheet);
  StartButton->setObjectName("StartButton");
  StopButton = new QPushButton(SimulationTabSheet);
  StopButton->setObjectName("StopButton");
  for (QPushButton* button : {StartButton, StopButton}) button->setMinimumSize(75, 25);
  BindButton(StartButton, SimulateStartAction);
  BindButton(StopButton, SimulateStopAction);
  buttons->addWidget(StartButton);
  buttons->addWidget(StopButton);
  buttons->addStretch(1);
  layout->addLayout(buttons);

  ProgressBar = new TRunProgressBar(SimulationTabSheet);
  ProgressBar->setObjectName("ProgressBar");
  ProgressBar->setFixedHeight(17);
  ProgressBar->Show(TRunProgressBar::rpIdle, {});
  layout->addWidget(ProgressBar);

  // How the last run started, failed or ended, where the run is watched.
  SimulationStatusLabel = new QLabel(SimulationTabSheet);
  SimulationStatusLabel->setObjectName("SimulationStatusLabel");
  SimulationStatusLabel->setWordWrap(true);
  SimulationStatusLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  SimulationStatusLabel->setVisible(false);
  layout->addWidget(SimulationStatusLabel);

  EnginesTable = new TEngineTable(SimulationTabSheet);
  EnginesTable->setObjectName("EnginesTable");
  connect(EnginesTable, &QTableWidget::cellDoubleClicked, this,
          [this](int row, int) { RunCommand([this, row] { OpenEngineOutput(row); }); });
  RunCharts = new TRunCharts(SimulationTabSheet);
  RunCharts->setObjectName("RunCharts");
  ComputingChart = RunCharts->Computing();
  // The table above the chart; the user moves the border between them.
  auto* split = new QSplitter(Qt::Vertical, SimulationTabSheet);
  split->setObjectName("SimulationSplitter");
  split->addWidget(EnginesTable);
  split->addWidget(RunCharts);
  split->setStretchFactor(0, 1);
  split->setStretchFactor(1, 1);
  split->setChildrenCollapsible(false);
  layout->addWidget(split, 1);

  PageControl->addTab(SimulationTabSheet, "&Simulation");
}

void TMainForm::CreateMessagesTab() {
  MessagesTabSheet = new QWidget;
  MessagesTabSheet->setObjectName("MessagesTabSheet");
  auto* layout = new QVBoxLayout(MessagesTabSheet);
  layout->setContentsMargins(0, 0, 0, 0);
  MessagesMemo = new QPlainTextEdit(MessagesTabSheet);
  MessagesMemo->setObjectName("MessagesMemo");
  MessagesMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // Long lines wrap, so the time stamps at the start of every line stay in
  // view; a fixed-width font lines the columns of the log up.
  MessagesMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  MessagesMemo->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  MessagesMemo->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  MessagesMemo->setFont(Widgets::FixedWidthFont());
  // The oldest lines go first; the log file keeps them all.
  MessagesMemo->setMaximumBlockCount(MAX_MESSAGE_LINES);
  layout->addWidget(MessagesMemo);
  PageControl->addTab(MessagesTabSheet, "&Messages");
}

// ---- Window events -------------------------------------------------------

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!FShown) {
    FShown = true;
    UpdateControls();
  }
}

void TMainForm::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
    UpdateControls();
    ControlsToSettingsReported();
  }
}

std::string TMainForm::UnsavedCopyName(const std::string& documentPath) {
  return Platform::ChangeFileExt(documentPath, ".unsaved.vmgr");
}

void TMainForm::StopAndCloseOnSignal() {
  if (FClosingOnSignal) {
    if (FRunControl.GetRunInProgress()) RunCommand([] { Simulator().EndEngines(); });
    return;
  }
  FClosingOnSignal = true;
  Logger().Info("Closing on a signal, once the run has stopped and its engines have gone");
  if (FRunControl.GetSimulating()) RunCommand([this] { FRunControl.SimulateStopActionExecute(); });
  auto* poll = new QTimer(this);
  poll->setInterval(TRunControl::SIMULATION_TIMER_INTERVAL);
  connect(poll, &QTimer::timeout, this, [this, poll] {
    if (FRunControl.GetStarting() || FRunControl.GetRunInProgress()) return;
    poll->stop();
    close();
  });
  poll->start();
}

void TMainForm::KeepUnsavedChanges() {
  ControlsToDocument();
  if (!FDocument->GetDirty()) return;
  // Nobody is there to answer the save question; the document file stays
  // as it was, the changes go beside it.
  const std::string document = FDocument->GetFilename();
  const std::string copy = UnsavedCopyName(document);
  // Said first: once saved, the document (and its log file) is the copy.
  Logger().Warn("The changes to \"%s\" were not saved; they are written to \"%s\"", document, copy);
  FRunControl.FlushLog();
  try {
    FDocument->SaveToFile(copy);
  } catch (const std::exception& e) {
    Logger().Exception("The changes to \"%s\" were not saved and could not be written to \"%s\"", {document, copy},
                       e, false);
  }
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (FClosingOnSignal) {
    RunCommand([this] { KeepUnsavedChanges(); });
    FRunControl.FlushLog();
    ControlsToSettingsReported();
    if (FFindDialog) FFindDialog->hide();
    event->accept();
    return;
  }
  // The document of a starting run must outlive the start: the close waits
  // until the start has given up, if the user wants the run stopped.
  if (FRunControl.GetStarting()) {
    event->ignore();
    if (FCloseWhenStarted) return;
    if (Platform::ShowMessageBox(Platform::mbConfirmation, STOP_STARTING_RUN_PROMPT, Platform::mbYesNo) ==
        Platform::mrYes) {
      FCloseWhenStarted = true;
      RunCommand([this] { FRunControl.SimulateStopActionExecute(); });
    }
    return;
  }
  // A run under way is stopped only when the user says so; No keeps both.
  if (FRunControl.GetSimulating()) {
    if (Platform::ShowMessageBox(Platform::mbConfirmation, STOP_RUN_PROMPT, Platform::mbYesNo) != Platform::mrYes) {
      event->ignore();
      return;
    }
    RunCommand([this] { FRunControl.SimulateStopActionExecute(); });
  }
  FRunControl.FlushLog();
  ControlsToSettingsReported();
  bool mayClose = false;
  RunCommand([&] { mayClose = ConfirmAndSaveChanges(); });
  if (mayClose) {
    if (FFindDialog) FFindDialog->hide();
    event->accept();
  } else {
    event->ignore();
  }
}

namespace {

// The document among the files of a drag: the first local file named *.vmgr.
std::string DroppedDocument(const QMimeData* data) {
  if (!data || !data->hasUrls()) return {};
  for (const QUrl& url : data->urls())
    if (url.isLocalFile() && url.toLocalFile().endsWith(".vmgr", Qt::CaseInsensitive))
      return url.toLocalFile().toStdString();
  return {};
}

}  // namespace

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::DragEnter || type == QEvent::DragMove || type == QEvent::Drop) {
    // A document dropped anywhere on the window opens, text boxes included
    // (they would otherwise take its path as text).
    auto* widget = qobject_cast<QWidget*>(watched);
    auto* drop = static_cast<QDropEvent*>(event);
    const std::string document = DroppedDocument(drop->mimeData());
    if (widget && widget->window() == this && !document.empty()) {
      drop->acceptProposedAction();
      // Opened from the loop: the save prompt must not run inside the drop.
      if (type == QEvent::Drop)
        QTimer::singleShot(0, this, [this, document] { RunCommand([this, document] { OpenDocumentCommand(document); }); });
      return true;
    }
  }
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    auto* widget = qobject_cast<QWidget*>(watched);
    const Qt::KeyboardModifiers mods = key->modifiers();
    // The shortcuts have had their turn; what is left would be typed.
    if (widget && widget->window() == this && (mods & Qt::AltModifier) &&
        !(mods & (Qt::ControlModifier | Qt::MetaModifier)) && !key->text().isEmpty() && key->text().at(0).isPrint())
      return true;
  }
  return QMainWindow::eventFilter(watched, event);
}

bool TMainForm::event(QEvent* event) {
  if (event->type() == static_cast<QEvent::Type>(TRunControl::AM_START_SIMULATION)) {
    StartCommand();
    return true;
  }
  return QMainWindow::event(event);
}

void TMainForm::OpenDocumentCommand(const std::string& path) {
  if (FRunControl.GetStarting()) return;
  if (!Platform::FileExists(path)) {
    ShowStatus("\"" + path + "\" no longer exists");
    RunCommand([&] { TSettings::RemoveRecentDocument(path); });
    UpdateRecentMenu();
    return;
  }
  if (!ConfirmAndSaveChanges()) return;
  LoadDocument(path);
}

void TMainForm::NoteRecentDocument() {
  if (!Platform::FileExists(FDocument->GetFilename())) return;
  // Kept whole, so that an entry opens from any working folder.
  const std::string path = std::filesystem::absolute(FDocument->GetFilename()).lexically_normal().string();
  try {
    TSettings::AddRecentDocument(path);
  } catch (const std::exception&) {
    // An unwritable settings file is reported when the settings are stored.
  }
  UpdateRecentMenu();
}

void TMainForm::UpdateRecentMenu() {
  std::vector<std::string> documents;
  try {
    documents = TSettings::GetRecentDocuments();
  } catch (const std::exception&) {
  }
  RecentMenu->clear();
  for (size_t i = 0; i < documents.size(); ++i) {
    // "&1 /path/north.vmgr": the number is the entry's access key.
    QString caption = QString("&%1 %2").arg(i + 1).arg(Q(documents[i]).replace("&", "&&"));
    QAction* entry = RecentMenu->addAction(caption);
    entry->setObjectName(QString("RecentDocument%1").arg(i + 1));
    const std::string path = documents[i];
    connect(entry, &QAction::triggered, this, [this, path] { RunCommand([this, path] { OpenDocumentCommand(path); }); });
  }
  RecentMenu->setEnabled(!documents.empty() && !FRunControl.GetStarting());
}

void TMainForm::StartCommand() {
  RunCommand([this] { FRunControl.SimulateStartActionExecute(); });
  if (FCloseWhenStarted && !FRunControl.GetStarting()) {
    FCloseWhenStarted = false;
    QTimer::singleShot(0, this, &QWidget::close);
  }
}

void TMainForm::ShowRunStatus(const std::string& text) {
  // Stays until the next run's status: the reason a run failed must not
  // vanish while the user looks for it. The Simulation tab's line keeps it
  // while the status bar goes on to other news.
  SimulationStatusLabel->setText(Q(text));
  SimulationStatusLabel->setVisible(!text.empty());
  ShowStatus(text);
}

void TMainForm::ShowStatus(const std::string& text) {
  // A line of the status bar of its own rather than a message of it: the
  // menus' and buttons' hints replace a message, and it would not return.
  RunStatusLabel->setText(Q(text));
  RunStatusLabel->setToolTip(Q(text));
}

std::string TMainForm::AboutText() const {
  const std::string log = Platform::FileExists(FDocument->GetFilename())
                              ? TRunControl::LogFilenameFor(FDocument->GetFilename())
                              : std::string("none until the document is saved");
  return "Velmar Manager\r\nVersion " + ProgramVersion() + "\r\n\r\nSettings file: " + TSettings::GetIniFilename() +
         "\r\nLog file: " + log;
}

void TMainForm::HelpAbout() { Platform::ShowMessageBox(Platform::mbInformation, AboutText()); }

void TMainForm::FitToScreen(QSize size) {
  if (const QScreen* where = screen()) {
    // Room for the window's frame, which is not known before it is shown.
    constexpr int FRAME_ALLOWANCE = 40;
    const QRect room = where->availableGeometry();
    size = size.boundedTo(QSize(room.width() - FRAME_ALLOWANCE / 4, room.height() - FRAME_ALLOWANCE));
  }
  resize(size);
}

void TMainForm::PageControlChange(int index) {
  if (FCreating) return;
  RunCommand([index] { TSettings::SetActivePageIndex(index); });
}

void TMainForm::BrowseProgram(QLineEdit* edit) {
  if (auto chosen = ExecuteFileDialog(this, fdProgram, edit->text().toStdString())) edit->setText(Q(*chosen));
}

void TMainForm::ControlsToSettingsReported() {
  try {
    ControlsToSettings();
  } catch (const std::exception& e) {
    if (FWarnedAboutSettingsFailure) return;
    FWarnedAboutSettingsFailure = true;
    Platform::ShowMessageBox(Platform::mbError, ExceptionMessage(e));
  }
}

// ---- IRunHost --------------------------------------------------------------

void TMainForm::SetSimulationTimer(bool on) {
  if (on)
    SimulationTimer->start();
  else
    SimulationTimer->stop();
}

void TMainForm::SetStartTimer(bool on) {
  if (on)
    StartTimer->start();
  else
    StartTimer->stop();
}

void TMainForm::PostStartSimulation() {
  QCoreApplication::postEvent(this, new QEvent(static_cast<QEvent::Type>(TRunControl::AM_START_SIMULATION)));
}

void TMainForm::ShowLogLines(std::span<const std::string> lines) {
  // One append for them all: the box lays out, scrolls and repaints once.
  // Paragraph separators part them as separate appends would, whatever
  // line ends a line holds itself.
  qsizetype length = static_cast<qsizetype>(lines.size());
  for (const std::string& line : lines) length += static_cast<qsizetype>(line.size());
  QString text;
  text.reserve(length);
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) text += QChar::ParagraphSeparator;
    text += Q(lines[i]);
  }
  // The lines are not the user's edits: they stay off the undo stack, which
  // would otherwise keep a record of every line and let Ctrl+Z take lines
  // out of the log. An edit of the user's can be undone until a line comes.
  QTextDocument* document = MessagesMemo->document();
  document->setUndoRedoEnabled(false);
  MessagesMemo->appendPlainText(text);
  document->setUndoRedoEnabled(true);
}

void TMainForm::ScheduleLogFlush(unsigned ms) {
  if (!LogFlushTimer->isActive() || LogFlushTimer->remainingTime() > static_cast<int>(ms))
    LogFlushTimer->start(static_cast<int>(ms));
}

// ---- Document and settings -------------------------------------------------

void TMainForm::DocumentToControls() {
  FLoading = true;
  try {
    const uint32_t count = FDocument->ModelCount();
    // Every model of a loaded document is shown and kept: the box reaches
    // the loaded count even when that is above the usual largest.
    const uint32_t largest = std::max({static_cast<uint32_t>(MAX_MODELS), FLoadedModelCount, count});
    ModelsSpinEdit->setMaximum(static_cast<int>(std::min<uint32_t>(largest, INT_MAX)));
    ModelsSpinEdit->setValue(static_cast<int>(std::min<uint32_t>(count, INT_MAX)));
    while (FModelForms.size() < count) {
      auto* panel = new TModelForm;
      panel->setObjectName(QString("ModelForm%1").arg(FModelForms.size()));
      ModelsFlowLayout->insertWidget(ModelsFlowLayout->count() - 1, panel);
      panel->show();
      FModelForms.push_back(panel);
      connect(panel->FilenameEdit(), &QLineEdit::textChanged, this, [this] { UpdateTitle(); });
    }
    while (FModelForms.size() > count) {
      TModelForm* panel = FModelForms.back();
      FModelForms.pop_back();
      panel->hide();
      panel->setParent(nullptr);
      panel->deleteLater();
    }
    for (uint32_t i = 0; i < FModelForms.size(); ++i) {
      const TModel& model = *FDocument->GetModel(i);
      FModelForms[i]->SetSequenceNo(i + 1);
      FModelForms[i]->SetFilename(model.GetFilename());
      FModelForms[i]->SetFilenameCut(model.GetFilenameCut());
    }
  } catch (...) {
    FLoading = false;
    throw;
  }
  FLoading = false;
  UpdateTitle();
}

void TMainForm::ControlsToDocument() {
  // A count typed but not yet confirmed (Save, Start or the save prompt
  // while the box still has focus) is what the user sees: apply it first.
  if (!FLoading && !FApplyingCount) {
    FApplyingCount = true;
    const Platform::TScopeExit done([this] { FApplyingCount = false; });
    ModelsSpinEdit->interpretText();
  }
  while (FDocument->ModelCount() < FModelForms.size()) FDocument->AddModel();
  while (FDocument->ModelCount() > FModelForms.size()) FDocument->DeleteLastModel();
  for (uint32_t i = 0; i < FModelForms.size(); ++i) FDocument->GetModel(i)->SetFilename(FModelForms[i]->GetFilename());
}

void TMainForm::ModelsSpinEditChange() {
  if (FLoading) return;
  ControlsToDocument();
  const uint32_t n =
      static_cast<uint32_t>(std::clamp(SpinValue(ModelsSpinEdit, MIN_MODELS), MIN_MODELS, ModelsSpinEdit->maximum()));
  // A model dropped by lowering the count keeps its file name in reserve,
  // and gets it back when the count is raised again.
  while (FDocument->ModelCount() > n) {
    FRemovedModelNames.push_back(FDocument->GetModel(FDocument->ModelCount() - 1)->GetFilename());
    FDocument->DeleteLastModel();
  }
  while (FDocument->ModelCount() < n) {
    TModel* model = FDocument->AddModel();
    if (!FRemovedModelNames.empty()) {
      model->SetFilename(FRemovedModelNames.back());
      FRemovedModelNames.pop_back();
    }
  }
  DocumentToControls();
}

void TMainForm::SettingsToControls() {
  ReadSettings();
  UpdateControls();
}

void TMainForm::ControlsToSettings() { WriteSettings(); }

void TMainForm::UpdateTitle() {
  // The desktop's mark for unsaved changes: "*" in place of [*]. A name the
  // user typed into a panel counts before it reaches the document.
  bool changed = FDocument->GetDirty() || FDocument->ModelCount() != FModelForms.size();
  for (uint32_t i = 0; !changed && i < FModelForms.size(); ++i)
    changed = FModelForms[i]->GetFilename() != FDocument->GetModel(i)->GetFilename();
  // A "[*]" of the path's own would be taken for the mark: doubled, it shows as itself.
  setWindowTitle(Q(FDocument->GetFilename()).replace("[*]", "[*][*]") + "[*] - " + APPLICATION_TITLE);
  setWindowModified(changed);
}

void TMainForm::UpdateControls() {
  UpdateTitle();
  const bool simulating = FRunControl.GetSimulating();
  const bool starting = FRunControl.GetStarting();
  ConfigurationTabSheet->setEnabled(!simulating);
  SettingsTabSheet->setEnabled(!simulating);
  SimulateStartAction->setEnabled(!simulating && !starting);
  SimulateStopAction->setEnabled(simulating);
  // Started: Stop is the next thing the user may want, one key away.
  if (simulating && !FShownSimulating && StopButton->isVisible()) StopButton->setFocus();
  FShownSimulating = simulating;
  // The document handed to a starting run must outlive the start.
  FileNewAction->setEnabled(!starting);
  FileOpenAction->setEnabled(!starting);
  FileExitAction->setEnabled(!starting);
  if (RecentMenu) RecentMenu->setEnabled(!starting && !RecentMenu->isEmpty());
  if (MonitorTimer) {
    // The monitor follows a run from its start until its engines have gone
    // (after Stop too), then shows how the run ended.
    const bool watching = simulating || starting || FRunControl.GetSimulationTimerOn() || FRunControl.GetRunInProgress();
    if (watching && !MonitorTimer->isActive()) MonitorTimer->start();
    if (!watching) MonitorTimer->stop();
    RefreshMonitor(true);
  }

  EnableProcessorControls();
}

void TMainForm::RefreshMonitor(bool force) {
  ISimulator* simulator = InstalledSimulator();
  const bool starting = FRunControl.GetStarting();
  const TRunProgressBar::TPhase phase = starting                      ? TRunProgressBar::rpStarting
                                        : FRunControl.GetSimulating() ? TRunProgressBar::rpRunning
                                                                      : TRunProgressBar::rpIdle;
  const uint64_t generation = simulator ? simulator->ProgressGeneration() : 0;
  if (!force && generation == FShownGeneration && phase == ProgressBar->Phase()) return;
  FShownGeneration = generation;
  const TRunProgress progress = simulator ? simulator->Progress() : TRunProgress{};
  EnginesTable->ShowRows(progress);
  ProgressBar->Show(phase, progress);
  // While a run goes on the chart reads at most twice a second; once it is
  // over, its last steps at once.
  if (simulator) RunCharts->Follow(*simulator, progress, phase == TRunProgressBar::rpIdle);
}

void TMainForm::OpenEngineOutput(int row) {
  const std::string file = EnginesTable->OutputFileOf(row);
  if (file.empty()) {
    ShowStatus("This engine's output goes to the manager's standard error");
    return;
  }
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(Q(file))))
    ShowStatus("Could not open \"" + file + "\": no program to open it with was found");
}

bool TMainForm::ConfirmAndSaveChanges() {
  ControlsToDocument();
  if (!FDocument->GetDirty()) return true;
  switch (Platform::ShowMessageBox(Platform::mbConfirmation, SAVE_CHANGES_PROMPT, Platform::mbYesNoCancel)) {
    case Platform::mrYes:
      FFileSaveCanceled = false;
      FileSaveActionExecute();
      return !FFileSaveCanceled;
    case Platform::mrNo:
      return true;
    default:
      return false;
  }
}

bool TMainForm::LoadDocument(const std::string& filename) {
  std::unique_ptr<TDocument> kept = std::move(FDocument);
  const uint32_t keptLoadedCount = FLoadedModelCount;
  try {
    FDocument = std::make_unique<TDocument>();
    FDocument->LoadFromFile(filename);
    FLoadedModelCount = FDocument->ModelCount();
    FRunControl.DocumentLoaded();
    FRemovedModelNames.clear();
    DocumentToControls();
    UpdateControls();
    NoteRecentDocument();
    // A document whose file holds models the list did not take says so,
    // and one without any model says that a run of it starts nothing. (A
    // path with no file behind it is a new document and says nothing.)
    const std::string unread = FDocument->UnreadSectionsWarning();
    if (!unread.empty())
      Logger().Warn("%s", unread);
    else if (FDocument->ModelCount() == 0 && Platform::FileExists(filename))
      Logger().Warn("\"%s\" has no models (no [Model0] section); a run of it starts no engine", filename);
    if (const std::string cut = FDocument->CutFilenameError(); !cut.empty()) Logger().Error("%s", cut);
    return true;
  } catch (const std::exception& e) {
    FDocument = std::move(kept);
    FLoadedModelCount = keptLoadedCount;
    try {
      DocumentToControls();
      UpdateControls();
    } catch (...) {
    }
    Logger().Exception("Could not load \"%s\"", {filename}, e, false);
    // A file that is no document is refused where the user is looking.
    if (dynamic_cast<const EDocumentError*>(&e)) Platform::ShowMessageBox(Platform::mbError, ExceptionMessage(e));
    return false;
  }
}

// ---- File commands -----------------------------------------------------------

void TMainForm::FileNewActionExecute() {
  if (FRunControl.GetStarting() || !ConfirmAndSaveChanges()) return;
  FDocument = std::make_unique<TDocument>();
  FRemovedModelNames.clear();
  FLoadedModelCount = 0;
  DocumentToControls();
  UpdateControls();
}

void TMainForm::FileOpenActionExecute() {
  // Declining the save prompt ends the command silently.
  if (FRunControl.GetStarting() || !ConfirmAndSaveChanges()) return;
  if (auto chosen = ExecuteFileDialog(this, fdDocumentOpen, std::string())) LoadDocument(*chosen);
}

void TMainForm::FileSaveActionExecute() {
  ControlsToDocument();
  if (!FDocument->HasDefaultFilename()) {
    FDocument->SaveToFile(FDocument->GetFilename());
    NoteRecentDocument();
    UpdateTitle();
  } else
    FileSaveAsActionExecute();
}

void TMainForm::FileSaveAsActionExecute() {
  ControlsToDocument();
  if (auto chosen = ExecuteFileDialog(this, fdDocumentSave, std::string())) {
    FFileSaveCanceled = false;
    FDocument->SaveToFile(*chosen);
    NoteRecentDocument();
    UpdateControls();
  } else {
    FFileSaveCanceled = true;
  }
}

// ---- Edit and Search -----------------------------------------------------------

QWidget* TMainForm::FocusedTextBox() const {
  QWidget* focus = QApplication::focusWidget();
  if (!focus || focus->window() != this) return nullptr;
  if (qobject_cast<QPlainTextEdit*>(focus) || LineEditOf(focus)) return focus;
  return nullptr;
}

void TMainForm::EditCut() {
  QWidget* box = FocusedTextBox();
  if (auto* memo = qobject_cast<QPlainTextEdit*>(box)) memo->cut();
  else if (auto* edit = LineEditOf(box)) edit->cut();
}

void TMainForm::EditCopy() {
  QWidget* box = FocusedTextBox();
  if (auto* memo = qobject_cast<QPlainTextEdit*>(box)) memo->copy();
  else if (auto* edit = LineEditOf(box)) edit->copy();
}

void TMainForm::EditPaste() {
  QWidget* box = FocusedTextBox();
  if (auto* memo = qobject_cast<QPlainTextEdit*>(box)) memo->paste();
  else if (auto* edit = LineEditOf(box)) edit->paste();
}

void TMainForm::EditDelete() {
  // Del also reaches here when nothing is selected: then it erases the
  // character after the cursor, as the key does anywhere else.
  QWidget* box = FocusedTextBox();
  if (auto* memo = qobject_cast<QPlainTextEdit*>(box)) {
    if (memo->isReadOnly()) return;
    QTextCursor cursor = memo->textCursor();
    cursor.deleteChar();
    memo->setTextCursor(cursor);
  } else if (auto* edit = LineEditOf(box)) {
    if (!edit->isReadOnly()) edit->del();
  }
}

void TMainForm::EditSelectAll() {
  QWidget* box = FocusedTextBox();
  if (auto* memo = qobject_cast<QPlainTextEdit*>(box)) memo->selectAll();
  else if (auto* edit = LineEditOf(box)) edit->selectAll();
}

void TMainForm::SearchFind() {
  if (QWidget* box = FocusedTextBox()) FFindTarget = box;
  if (!FFindTarget) FFindTarget = MessagesMemo;
  if (!FFindDialog) {
    FFindDialog = new TFindDialog(this);
    FFindDialog->setObjectName("FindDialog");
    // The search over, the Messages box follows the new lines again.
    connect(FFindDialog, &QDialog::finished, this, [this] { FollowNewMessages(); });
  }
  QString preset = FFindText;
  if (auto* memo = qobject_cast<QPlainTextEdit*>(FFindTarget.data()); memo && memo->textCursor().hasSelection())
    preset = memo->textCursor().selectedText();
  else if (auto* edit = LineEditOf(FFindTarget.data()); edit && edit->hasSelectedText())
    preset = edit->selectedText();
  FFindDialog->Open(preset);
}

void TMainForm::FollowNewMessages() {
  QScrollBar* bar = MessagesMemo->verticalScrollBar();
  bar->setValue(bar->maximum());
}

void TMainForm::SetFindText(const QString& text, bool matchCase) {
  FFindText = text;
  FFindMatchCase = matchCase;
}

bool TMainForm::SearchFindNext() {
  if (QWidget* box = FocusedTextBox()) FFindTarget = box;
  if (FFindText.isEmpty() || !FFindTarget) {
    SearchFind();
    return false;
  }
  bool found = false;
  // From the cursor to the end, then on from the start: the search wraps,
  // so text before the cursor is found too.
  if (auto* memo = qobject_cast<QPlainTextEdit*>(FFindTarget.data())) {
    QTextDocument::FindFlags flags;
    if (FFindMatchCase) flags |= QTextDocument::FindCaseSensitively;
    found = memo->find(FFindText, flags);
    if (!found) {
      const QTextCursor where = memo->textCursor();
      QTextCursor start(memo->document());
      memo->setTextCursor(start);
      found = memo->find(FFindText, flags);
      if (!found) memo->setTextCursor(where);
    }
  } else if (auto* edit = LineEditOf(FFindTarget.data())) {
    const int from = edit->hasSelectedText() ? edit->selectionStart() + 1 : edit->cursorPosition();
    qsizetype at = edit->text().indexOf(FFindText, from, CaseOf(FFindMatchCase));
    if (at < 0) at = edit->text().indexOf(FFindText, 0, CaseOf(FFindMatchCase));
    if (at >= 0) {
      edit->setSelection(static_cast<int>(at), static_cast<int>(FFindText.size()));
      found = true;
    }
  }
  if (!found)
    Platform::ShowMessageBox(Platform::mbInformation, "Cannot find \"" + FFindText.toStdString() + "\"");
  return found;
}
