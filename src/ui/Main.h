#pragma once
// The program's only top-level window: the current document as a column of
// model panels, the per-user settings, the file commands, and the run
// control and log view (the logic of which lives in TRunControl).
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QMainWindow>
#include <QPointer>
#include <QSize>

#include "ui/RunControl.h"
#include "ui/SettingsTab.h"

class QAction;
class QCheckBox;
class QDialog;
class QLabel;
class QLineEdit;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QTabWidget;
class QTimer;
class QToolButton;
class QVBoxLayout;
class TDocument;
class TComputingChart;
class TRunCharts;
class TEngineTable;
class TModelForm;
class TRunProgressBar;

// The model count box: accepts any whole number as typed, so that 150 can
// be typed and then taken as the largest count allowed (99, or the count of
// the document loaded when it has more).
class TModelCountSpinBox;
class TFindDialog;

class TMainForm : public QMainWindow, public TSettingsTab, private IRunHost {
 public:
  // args: the command line after the program name (document path, /r).
  explicit TMainForm(std::vector<std::string> args, QWidget* parent = nullptr);
  ~TMainForm() override;

  static constexpr const char* APPLICATION_TITLE = "VelmarManager";
  // The engine table and progress bar follow a run at most this often.
  static constexpr int MONITOR_INTERVAL = 100;  // ms
  // The Messages box keeps the newest this many lines, so that a long run
  // cannot make the window slow or big; the log file keeps every line.
  static constexpr int MAX_MESSAGE_LINES = 100000;
  static constexpr const char* SAVE_CHANGES_PROMPT =
      "The document has changed.  If you don't save changes now, the changes will be lost!\r\n\r\n"
      "Save changes before proceeding?";
  static constexpr const char* STOP_STARTING_RUN_PROMPT =
      "A simulation is being started.\r\n\r\nStop it and close the window?";
  static constexpr const char* STOP_RUN_PROMPT = "A simulation is running.\r\n\r\nStop it and close the window?";

  TDocument& Document() const { return *FDocument; }
  TRunControl& RunControl() { return FRunControl; }
  const std::vector<TModelForm*>& ModelForms() const { return FModelForms; }
  bool GetFileSaveCanceled() const { return FFileSaveCanceled; }

  // False when the file was refused (not a document): the current
  // document stays, and Open Recent is as it was.
  bool LoadDocument(const std::string& filename);
  bool ConfirmAndSaveChanges();
  // SIGTERM, SIGINT or SIGHUP: the run is stopped as Stop does, the window
  // closes once its engines have gone (asked again: they are ended at once),
  // with no question; changes not saved go to UnsavedCopyName.
  void StopAndCloseOnSignal();
  // Where the changes of a document not saved go when the window closes on
  // a signal: "north.vmgr" -> "north.unsaved.vmgr".
  static std::string UnsavedCopyName(const std::string& documentPath);
  void DocumentToControls();
  void ControlsToDocument() override;
  void SettingsToControls();
  void ControlsToSettings() override;
  void UpdateControls() override;
  // The caption: the document's path, "*" when it has unsaved changes.
  void UpdateTitle();
  // Help, About: the version, the settings file and the log file.
  std::string AboutText() const;
  void HelpAbout();

  void FileNewActionExecute();
  void FileOpenActionExecute();
  void FileSaveActionExecute();
  void FileSaveAsActionExecute();
  void ModelsSpinEditChange();

  // Shows the run's progress in the engine table and the progress bar;
  // does nothing when nothing has changed since the last time, unless forced.
  void RefreshMonitor(bool force = false);
  // Opens the output file of the engine table's row with the desktop's
  // default program.
  void OpenEngineOutput(int row);

  // The text box the Edit and Search commands act on, if one has focus.
  QWidget* FocusedTextBox() const;
  void EditCut();
  void EditCopy();
  void EditPaste();
  void EditDelete();
  void EditSelectAll();
  void SearchFind();
  // Searches the last find target for the last find text; false when not found.
  bool SearchFindNext();
  // Sets what Find Next looks for (the find dialog's fields).
  void SetFindText(const QString& text, bool matchCase);

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // IRunHost
  TDocument* CurrentDocument() override { return FDocument.get(); }
  void SetSimulationTimer(bool on) override;
  void SetStartTimer(bool on) override;
  void PostStartSimulation() override;
  void ShowLogLines(std::span<const std::string> lines) override;
  void ScheduleLogFlush(unsigned ms) override;
  void CloseMainWindow() override { close(); }
  void ShowRunStatus(const std::string& text) override;
  // A notice in the status bar's own line, where it stays until the next.
  void ShowStatus(const std::string& text);

  void CreateActions();
  void CreateMenus();
  void CreateConfigurationTab();
  void CreateSimulationTab();
  void CreateMessagesTab();
  void FormCreate(const std::vector<std::string>& args);
  // Settings writes from activation, close and destruction must not stop
  // the window: a failure is reported once and the window goes on.
  void ControlsToSettingsReported();
  void PageControlChange(int index);
  // The Start command (button, Ctrl+R, the unattended start).
  void StartCommand();
  // Open Recent and a dropped document: as Open, with the path chosen.
  void OpenDocumentCommand(const std::string& path);
  // The current document goes first in the recent documents.
  void NoteRecentDocument();
  void UpdateRecentMenu();
  void BrowseProgram(QLineEdit* edit);
  void FitToScreen(QSize size);
  // Scrolls the Messages box to its end, so that it follows new lines.
  void FollowNewMessages();

  std::unique_ptr<TDocument> FDocument;
  TRunControl FRunControl{*this};
  bool FFileSaveCanceled = false;
  std::vector<TModelForm*> FModelForms;
  bool FLoading = false;
  bool FApplyingCount = false;
  bool FCloseWhenStarted = false;  // closing waits for a stopped start to give up
  bool FClosingOnSignal = false;
  void KeepUnsavedChanges();
  // File names of the models the count box removed, the last removed last.
  std::vector<std::string> FRemovedModelNames;
  // The models of the document as loaded: the count box reaches up to it
  // when it is above the usual largest count.
  uint32_t FLoadedModelCount = 0;
  bool FCreating = true;
  bool FShown = false;
  bool FShownSimulating = false;
  bool FWarnedAboutSettingsFailure = false;
  uint64_t FShownGeneration = 0;

 public:
  // Controls, under the names the rest of the program and the tests use.
  QTabWidget* PageControl = nullptr;
  QWidget* ConfigurationTabSheet = nullptr;
  QWidget* SimulationTabSheet = nullptr;
  QWidget* MessagesTabSheet = nullptr;

  QWidget* ConfigurationControlPanel = nullptr;
  QSpinBox* ModelsSpinEdit = nullptr;
  QScrollArea* ModelsScrollArea = nullptr;
  QWidget* ModelsFlowPanel = nullptr;
  QVBoxLayout* ModelsFlowLayout = nullptr;

  QPushButton* StartButton = nullptr;
  QPushButton* StopButton = nullptr;
  TRunProgressBar* ProgressBar = nullptr;
  TEngineTable* EnginesTable = nullptr;
  TRunCharts* RunCharts = nullptr;            // below the table: the picker, the chart shown, its legend
  TComputingChart* ComputingChart = nullptr;  // one of RunCharts

  QPlainTextEdit* MessagesMemo = nullptr;
  QLabel* RunStatusLabel = nullptr;         // in the status bar: the latest run status or notice
  QLabel* SimulationStatusLabel = nullptr;  // on the Simulation tab: the latest run status


  QAction* FileNewAction = nullptr;
  QAction* FileOpenAction = nullptr;
  QAction* FileSaveAction = nullptr;
  QAction* FileSaveAsAction = nullptr;
  QAction* FileExitAction = nullptr;
  QMenu* RecentMenu = nullptr;  // File, Open Recent
  QAction* FilePrintAction = nullptr;
  QAction* FilePrintSetupAction = nullptr;
  QAction* SimulateStartAction = nullptr;
  QAction* SimulateStopAction = nullptr;
  QAction* EditCutAction = nullptr;
  QAction* EditCopyAction = nullptr;
  QAction* EditPasteAction = nullptr;
  QAction* EditSelectAllAction = nullptr;
  QAction* EditDeleteAction = nullptr;
  QAction* SearchFindAction = nullptr;
  QAction* SearchFindNextAction = nullptr;
  QAction* HelpAboutAction = nullptr;

  QTimer* SimulationTimer = nullptr;
  QTimer* StartTimer = nullptr;
  QTimer* MonitorTimer = nullptr;
  QTimer* LogFlushTimer = nullptr;  // hands gathered log lines on

 private:
  TFindDialog* FFindDialog = nullptr;
  QPointer<QWidget> FFindTarget;
  QString FFindText;
  bool FFindMatchCase = false;
};

// The one main window (null before it is created and after it is gone).
extern TMainForm* MainForm;

// Runs fn and shows an error that leaves it in a message box, as the
// application does for an error a command did not handle.
void RunCommand(const std::function<void()>& fn);
