#pragma once
// The panel that shows one model of the document: a numbered frame with the
// model's file name and a browse button. It knows nothing of the document;
// the main window copies names in and out whenever it needs them.
#include <cstdint>
#include <string>

#include <QWidget>

class QGroupBox;
class QLabel;
class QLineEdit;
class QToolButton;

class TModelForm : public QWidget {
 public:
  explicit TModelForm(QWidget* parent = nullptr);

  uint32_t GetSequenceNo() const { return FSequenceNo; }
  void SetSequenceNo(uint32_t value);

  // The edit box's text itself; the panel keeps no other copy.
  std::string GetFilename() const;
  void SetFilename(const std::string& value);

  // Marks the row whose name was cut on reading: the name shown is not the
  // file's, and a run of it is refused.
  void SetFilenameCut(bool cut);
  bool GetFilenameCut() const { return FFilenameCut; }

  void BrowseButtonClick();

  QGroupBox* GroupBox() const { return FGroupBox; }
  QLineEdit* FilenameEdit() const { return FFilenameEdit; }
  QToolButton* BrowseButton() const { return FBrowseButton; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void UpdateCaption();

  uint32_t FSequenceNo = 1;
  bool FFilenameCut = false;
  QGroupBox* FGroupBox = nullptr;
  QLabel* FFilenameLabel = nullptr;
  QLineEdit* FFilenameEdit = nullptr;
  QToolButton* FBrowseButton = nullptr;
};
