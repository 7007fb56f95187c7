#include "ui/FModel.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include "diagnostics/Format.h"
#include "ui/FileDialogs.h"

TModelForm::TModelForm(QWidget* parent) : QWidget(parent) {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(3, 3, 3, 3);

  FGroupBox = new QGroupBox(this);
  outer->addWidget(FGroupBox);

  auto* row = new QHBoxLayout(FGroupBox);
  FFilenameLabel = new QLabel("Model Filename:", FGroupBox);
  FFilenameEdit = new QLineEdit(FGroupBox);
  FFilenameLabel->setBuddy(FFilenameEdit);
  FBrowseButton = new QToolButton(FGroupBox);
  FBrowseButton->setText("...");
  FBrowseButton->setFixedSize(24, 25);
  row->addWidget(FFilenameLabel);
  row->addWidget(FFilenameEdit, 1);
  row->addWidget(FBrowseButton);

  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  connect(FBrowseButton, &QToolButton::clicked, this, [this] { BrowseButtonClick(); });
  UpdateCaption();
}

void TModelForm::SetSequenceNo(uint32_t value) {
  FSequenceNo = value;
  UpdateCaption();
}

std::string TModelForm::GetFilename() const { return FFilenameEdit->text().toStdString(); }

void TModelForm::SetFilename(const std::string& value) { FFilenameEdit->setText(QString::fromStdString(value)); }

void TModelForm::SetFilenameCut(bool cut) {
  if (cut == FFilenameCut) return;
  FFilenameCut = cut;
  FFilenameEdit->setStyleSheet(cut ? "QLineEdit { border: 2px solid #c00000; }" : "");
  FFilenameEdit->setToolTip(cut ? "This file name is longer than the document's reader takes; it was cut, and names "
                                  "another file. Type or choose the file again."
                                : "");
  UpdateCaption();
}

void TModelForm::BrowseButtonClick() {
  if (auto chosen = ExecuteFileDialog(this, fdModel, GetFilename())) SetFilename(*chosen);
}

void TModelForm::showEvent(QShowEvent* event) {
  UpdateCaption();
  QWidget::showEvent(event);
}

void TModelForm::UpdateCaption() {
  const std::string title = FormatV("Model %d", FSequenceNo) + (FFilenameCut ? " - file name cut on reading" : "");
  FGroupBox->setTitle(QString::fromStdString(title));
}
