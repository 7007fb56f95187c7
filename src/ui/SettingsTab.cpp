#include "ui/SettingsTab.h"

#include <climits>
#include <initializer_list>

#include <QCheckBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "documents/SettingsUnit.h"
#include "ui/Widgets.h"

using namespace Widgets;

void TSettingsTab::CreateSettingsTab(QTabWidget* pages, QObject* context, std::function<void(QLineEdit*)> browse,
                                     std::function<void()> processorToggled) {
  SettingsTabSheet = new QWidget;
  SettingsTabSheet->setObjectName("SettingsTabSheet");
  auto* scroll = new QScrollArea;
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  auto* page = new QWidget;
  auto* layout = new QVBoxLayout(page);
  // Compact rows, so the whole tab fits the window at its first size.
  layout->setContentsMargins(8, 6, 8, 6);
  layout->setSpacing(4);

  auto* title = new QLabel("Settings on this tab affect all instances of Velmar Manager.", page);
  title->setObjectName("SettingsPageTitlePanel");
  title->setFixedHeight(31);
  title->setFrameShape(QFrame::StyledPanel);
  title->setIndent(8);
  layout->addWidget(title);

  // What a run still needs from this tab (the first start has nothing).
  SettingsNeededLabel = new QLabel(page);
  SettingsNeededLabel->setObjectName("SettingsNeededLabel");
  SettingsNeededLabel->setWordWrap(true);
  SettingsNeededLabel->setStyleSheet("font-weight: bold");
  SettingsNeededLabel->setVisible(false);
  layout->addWidget(SettingsNeededLabel);

  auto browseButton = [](QWidget* parent, const char* name) {
    auto* button = new QToolButton(parent);
    button->setObjectName(name);
    button->setText("...");
    button->setFixedSize(24, 25);
    return button;
  };
  auto edit = [](QWidget* parent, const char* name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    return e;
  };
  auto timeoutSpin = [](QWidget* parent, const char* name) {
    auto* spin = new QSpinBox(parent);
    spin->setObjectName(name);
    spin->setRange(INT_MIN, INT_MAX);
    spin->setFixedWidth(110);
    return spin;
  };
  auto label = [](QWidget* parent, const char* text, QWidget* buddy, const char* name = nullptr) {
    auto* l = new QLabel(text, parent);
    if (name) l->setObjectName(name);
    l->setBuddy(buddy);
    return l;
  };

  // Velmar
  auto* velmar = new QGroupBox("Velmar", page);
  velmar->setObjectName("VelmarGroupBox");
  auto* vg = new QGridLayout(velmar);
  vg->setColumnStretch(1, 1);
  vg->setVerticalSpacing(3);
  vg->setContentsMargins(8, 4, 8, 4);
  VelmarFilenameEdit = edit(velmar, "VelmarFilenameEdit");
  VelmarBrowseButton = browseButton(velmar, "VelmarBrowseButton");
  vg->addWidget(label(velmar, "Filename:", VelmarFilenameEdit), 0, 0);
  vg->addWidget(VelmarFilenameEdit, 0, 1, 1, 2);
  vg->addWidget(VelmarBrowseButton, 0, 3);
  VelmarOptionsEdit = edit(velmar, "VelmarOptionsEdit");
  SetHint(VelmarOptionsEdit, "Optional -- do not include the Velmar model filename!");
  vg->addWidget(label(velmar, "Parameters:", VelmarOptionsEdit), 1, 0);
  vg->addWidget(VelmarOptionsEdit, 1, 1, 1, 3);
  VelmarSpecifiedOptionsOnlyCheckBox = new QCheckBox("Specified parameters only", velmar);
  VelmarSpecifiedOptionsOnlyCheckBox->setObjectName("VelmarSpecifiedOptionsOnlyCheckBox");
  SetHint(VelmarSpecifiedOptionsOnlyCheckBox,
          "When this box is checked, only the parameters typed above are passed to Velmar.\r\n"
          "This includes the model filename: it is not passed either.\r\n"
          "Use this to run Velmar inside a debugger: put the debugger's program path\r\n"
          "into the Filename box and check this box.\r\n"
          "When Velmar is finally started, it must be given the options\r\n"
          "/RUN=YES /RPC=VelmarManager /RPCID=0 followed by the model filename in double quotes.");
  vg->addWidget(VelmarSpecifiedOptionsOnlyCheckBox, 2, 1, 1, 3);
  // A time-out spin box with its caption and the unit after it.
  auto secondsRow = [&](QSpinBox* spin, const char* caption, int row) {
    vg->addWidget(label(velmar, caption, spin), row, 0);
    auto* line = new QHBoxLayout;
    line->setSpacing(6);
    line->addWidget(spin);
    line->addWidget(new QLabel("seconds", velmar));
    line->addStretch(1);
    vg->addLayout(line, row, 1, 1, 3);
  };
  VelmarStartTimeoutSpinEdit = timeoutSpin(velmar, "VelmarStartTimeoutSpinEdit");
  secondsRow(VelmarStartTimeoutSpinEdit, "Start Timeout:", 3);
  VelmarTimeStepTimeoutSpinEdit = timeoutSpin(velmar, "VelmarTimeStepTimeoutSpinEdit");
  secondsRow(VelmarTimeStepTimeoutSpinEdit, "Time Step Timeout:", 4);
  layout->addWidget(velmar);

  // External processor
  auto* external = new QGroupBox("External Processor", page);
  external->setObjectName("ExternalProcessorGroupBox");
  auto* eg = new QGridLayout(external);
  eg->setColumnStretch(1, 1);
  eg->setVerticalSpacing(3);
  eg->setContentsMargins(8, 4, 8, 4);
  UseExternalProcessorCheckBox = new QCheckBox("Use external  processor", external);
  UseExternalProcessorCheckBox->setObjectName("UseExternalProcessorCheckBox");
  eg->addWidget(UseExternalProcessorCheckBox, 0, 0, 1, 3);
  ExternalProcessorFilenameEdit = edit(external, "ExternalProcessorFilenameEdit");
  ExternalProcessorBrowseButton = browseButton(external, "ExternalProcessorBrowseButton");
  ExternalProcessorFilenameLabel =
      label(external, "Filename:", ExternalProcessorFilenameEdit, "ExternalProcessorFilenameLabel");
  eg->addWidget(ExternalProcessorFilenameLabel, 1, 0);
  eg->addWidget(ExternalProcessorFilenameEdit, 1, 1);
  eg->addWidget(ExternalProcessorBrowseButton, 1, 2);
  ExternalProcessorParametersEdit = edit(external, "ExternalProcessorParametersEdit");
  ExternalProcessorParametersLabel =
      label(external, "Parameters:", ExternalProcessorParametersEdit, "ExternalProcessorParametersLabel");
  eg->addWidget(ExternalProcessorParametersLabel, 2, 0);
  eg->addWidget(ExternalProcessorParametersEdit, 2, 1, 1, 2);
  ExternalProcessorCloseCommandEdit = edit(external, "ExternalProcessorCloseCommandEdit");
  SetHint(ExternalProcessorCloseCommandEdit,
          "If not empty, this string is sent to the external processor\r\nwhen the simulation completes.");
  ExternalProcessorCloseCommandLabel =
      label(external, "Close Command:", ExternalProcessorCloseCommandEdit, "ExternalProcessorCloseCommandLabel");
  eg->addWidget(ExternalProcessorCloseCommandLabel, 3, 0);
  eg->addWidget(ExternalProcessorCloseCommandEdit, 3, 1, 1, 2);
  ExternalProcessorEnvironmentMemo = new QPlainTextEdit(external);
  ExternalProcessorEnvironmentMemo->setObjectName("ExternalProcessorEnvironmentMemo");
  ExternalProcessorEnvironmentMemo->setFixedHeight(89);
  ExternalProcessorEnvironmentMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
  ExternalProcessorEnvironmentMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  ExternalProcessorEnvironmentMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  ExternalProcessorEnvironmentMemo->setTabChangesFocus(true);
  SetHint(ExternalProcessorEnvironmentMemo,
          "These environment variables (in the form name=value, \r\none per line) are passed to the external "
          "processor in\r\naddition to the environment passed to Velmar Manager.");
  ExternalProcessorEnvironmentLabel =
      label(external, "Environment:", ExternalProcessorEnvironmentMemo, "ExternalProcessorEnvironmentLabel");
  eg->addWidget(ExternalProcessorEnvironmentLabel, 4, 0, Qt::AlignTop);
  eg->addWidget(ExternalProcessorEnvironmentMemo, 4, 1, 1, 2);
  layout->addWidget(external);
  QObject::connect(UseExternalProcessorCheckBox, &QCheckBox::toggled, context, std::move(processorToggled));

  // General
  auto* general = new QGroupBox("General", page);
  general->setObjectName("GeneralGroupBox");
  auto* gg = new QVBoxLayout(general);
  gg->setContentsMargins(8, 4, 8, 4);
  DebugMessagesCheckBox = new QCheckBox("Log debug messages", general);
  DebugMessagesCheckBox->setObjectName("DebugMessagesCheckBox");
  gg->addWidget(DebugMessagesCheckBox);
  layout->addWidget(general);
  layout->addStretch(1);

  QObject::connect(VelmarBrowseButton, &QToolButton::clicked, context,
                   [this, browse] { browse(VelmarFilenameEdit); });
  QObject::connect(ExternalProcessorBrowseButton, &QToolButton::clicked, context,
                   [this, browse] { browse(ExternalProcessorFilenameEdit); });

  for (QLineEdit* program : {VelmarFilenameEdit, ExternalProcessorFilenameEdit})
    QObject::connect(program, &QLineEdit::textChanged, context, [this] { ShowWhatIsMissing(); });

  scroll->setWidget(page);
  auto* sheetLayout = new QVBoxLayout(SettingsTabSheet);
  sheetLayout->setContentsMargins(0, 0, 0, 0);
  sheetLayout->addWidget(scroll);
  pages->addTab(SettingsTabSheet, "Se&ttings");
}

void TSettingsTab::ReadSettings() {
  VelmarFilenameEdit->setText(Q(TSettings::GetVelmarFilename()));
  VelmarOptionsEdit->setText(Q(TSettings::GetVelmarOptions()));
  VelmarSpecifiedOptionsOnlyCheckBox->setChecked(TSettings::GetVelmarSpecifiedOptionsOnly());
  VelmarStartTimeoutSpinEdit->setValue(static_cast<int32_t>(TSettings::GetVelmarStartTimeout()));
  VelmarTimeStepTimeoutSpinEdit->setValue(static_cast<int32_t>(TSettings::GetVelmarTimeStepTimeout()));
  UseExternalProcessorCheckBox->setChecked(TSettings::GetUseExternalProcessor());
  ExternalProcessorFilenameEdit->setText(Q(TSettings::GetExternalProcessorFilename()));
  ExternalProcessorParametersEdit->setText(Q(TSettings::GetExternalProcessorParameters()));
  ExternalProcessorCloseCommandEdit->setText(Q(TSettings::GetExternalProcessorCloseCommand()));
  ExternalProcessorEnvironmentMemo->setPlainText(Q(TSettings::GetExternalProcessorEnvironment()).replace("\r\n", "\n"));
  DebugMessagesCheckBox->setChecked(TSettings::GetDebugMessages());
}

void TSettingsTab::WriteSettings() const {
  TSettings::SetVelmarFilename(VelmarFilenameEdit->text().toStdString());
  TSettings::SetVelmarOptions(VelmarOptionsEdit->text().toStdString());
  TSettings::SetVelmarSpecifiedOptionsOnly(VelmarSpecifiedOptionsOnlyCheckBox->isChecked());
  // The time-outs pass bit for bit into the unsigned settings.
  TSettings::SetVelmarStartTimeout(static_cast<uint32_t>(SpinValue(VelmarStartTimeoutSpinEdit, 0)));
  TSettings::SetVelmarTimeStepTimeout(static_cast<uint32_t>(SpinValue(VelmarTimeStepTimeoutSpinEdit, 0)));
  TSettings::SetUseExternalProcessor(UseExternalProcessorCheckBox->isChecked());
  TSettings::SetExternalProcessorFilename(ExternalProcessorFilenameEdit->text().toStdString());
  TSettings::SetExternalProcessorParameters(ExternalProcessorParametersEdit->text().toStdString());
  TSettings::SetExternalProcessorCloseCommand(ExternalProcessorCloseCommandEdit->text().toStdString());
  const QStringList lines = ExternalProcessorEnvironmentMemo->toPlainText().split('\n');
  TSettings::SetExternalProcessorEnvironment(lines.join("\r\n").toStdString());
  TSettings::SetDebugMessages(DebugMessagesCheckBox->isChecked());
}

void TSettingsTab::ShowWhatIsMissing() {
  const bool engine = VelmarFilenameEdit->text().trimmed().isEmpty();
  const bool processor =
      UseExternalProcessorCheckBox->isChecked() && ExternalProcessorFilenameEdit->text().trimmed().isEmpty();
  QString text;
  if (engine && processor)
    text = "To run a simulation, fill in the Filename of the Velmar program, and the Filename of the external "
           "processor (or untick \"Use external  processor\").";
  else if (engine)
    text = "To run a simulation, fill in the Filename of the Velmar program.";
  else if (processor)
    text = "To run a simulation, fill in the Filename of the external processor (or untick \"Use external  "
           "processor\").";
  SettingsNeededLabel->setText(text);
  SettingsNeededLabel->setVisible(!text.isEmpty());
}

void TSettingsTab::EnableProcessorControls() {
  ShowWhatIsMissing();
  const bool external = UseExternalProcessorCheckBox->isChecked();
  for (QWidget* w : std::initializer_list<QWidget*>{
           ExternalProcessorFilenameLabel, ExternalProcessorFilenameEdit, ExternalProcessorBrowseButton,
           ExternalProcessorParametersLabel, ExternalProcessorParametersEdit, ExternalProcessorCloseCommandLabel,
           ExternalProcessorCloseCommandEdit, ExternalProcessorEnvironmentLabel, ExternalProcessorEnvironmentMemo})
    w->setEnabled(external);
}
