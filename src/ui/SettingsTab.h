#pragma once
// The Settings tab: its controls, and the settings store read into them and
// written back from them. The main window is one (it inherits the controls,
// so they keep their names on the window).
#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QObject;
class QPlainTextEdit;
class QSpinBox;
class QTabWidget;
class QToolButton;
class QWidget;

class TSettingsTab {
 public:
  // Builds the tab as the "Se&ttings" page of pages. browse asks for a
  // program for one of the filename boxes; processorToggled runs when the
  // "Use external processor" box changes. context owns the connections.
  void CreateSettingsTab(QTabWidget* pages, QObject* context, std::function<void(QLineEdit*)> browse,
                         std::function<void()> processorToggled);
  // The settings store into the controls, and back. Writing raises when the
  // store cannot be written.
  void ReadSettings();
  void WriteSettings() const;
  // The processor's controls are enabled only while it is in use.
  void EnableProcessorControls();
  // The line saying which program a run still needs (hidden when none).
  void ShowWhatIsMissing();

  QWidget* SettingsTabSheet = nullptr;
  QLineEdit* VelmarFilenameEdit = nullptr;
  QToolButton* VelmarBrowseButton = nullptr;
  QLineEdit* VelmarOptionsEdit = nullptr;
  QCheckBox* VelmarSpecifiedOptionsOnlyCheckBox = nullptr;
  QSpinBox* VelmarStartTimeoutSpinEdit = nullptr;
  QSpinBox* VelmarTimeStepTimeoutSpinEdit = nullptr;
  QCheckBox* UseExternalProcessorCheckBox = nullptr;
  QLabel* ExternalProcessorFilenameLabel = nullptr;
  QLineEdit* ExternalProcessorFilenameEdit = nullptr;
  QToolButton* ExternalProcessorBrowseButton = nullptr;
  QLabel* ExternalProcessorParametersLabel = nullptr;
  QLineEdit* ExternalProcessorParametersEdit = nullptr;
  QLabel* ExternalProcessorCloseCommandLabel = nullptr;
  QLineEdit* ExternalProcessorCloseCommandEdit = nullptr;
  QLabel* ExternalProcessorEnvironmentLabel = nullptr;
  QPlainTextEdit* ExternalProcessorEnvironmentMemo = nullptr;
  QCheckBox* DebugMessagesCheckBox = nullptr;
  QLabel* SettingsNeededLabel = nullptr;
};
