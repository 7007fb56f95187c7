#include "ui/FileDialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QSortFilterProxyModel>

namespace {

TFileDialogHook& Hook() {
  static TFileDialogHook hook;
  return hook;
}

const char* const ALL_FILES_FILTER = "All files (*)";
const char* const EXECUTABLE_FILES_FILTER = "Executable Files (*)";

// Linux programs have no extension to filter on: while "Executable Files" is
// the chosen filter, only folders and files this user may execute are listed.
class TExecutableFilter : public QSortFilterProxyModel {
 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;

  void SetActive(bool active) {
    if (active == FActive) return;
    FActive = active;
    invalidateFilter();
  }

 protected:
  bool filterAcceptsRow(int row, const QModelIndex& parent) const override {
    if (!FActive) return true;
    auto* model = qobject_cast<QFileSystemModel*>(sourceModel());
    if (!model) return true;
    const QFileInfo info = model->fileInfo(model->index(row, 0, parent));
    return info.isDir() || info.isExecutable();
  }

 private:
  bool FActive = true;
};

}  // namespace

TFileDialogHook SetFileDialogHook(TFileDialogHook hook) {
  TFileDialogHook previous = std::move(Hook());
  Hook() = std::move(hook);
  return previous;
}

std::optional<std::string> ExecuteFileDialog(QWidget* parent, TFileDialogKind kind, const std::string& fileName) {
  if (Hook()) return Hook()(kind, fileName);

  QFileDialog dialog(parent);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  TExecutableFilter* executables = nullptr;
  switch (kind) {
    case fdDocumentOpen:
    case fdDocumentSave:
      dialog.setNameFilters({"Velmar Manager files (*.vmgr)", ALL_FILES_FILTER});
      dialog.setDefaultSuffix("vmgr");
      if (kind == fdDocumentSave) {
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
      }
      break;
    case fdModel:
      dialog.setNameFilters({"Velmar Files (*.vm)", ALL_FILES_FILTER});
      dialog.setDefaultSuffix("vm");
      break;
    case fdProgram:
      // The proxy model needs Qt's own dialog rather than the desktop's.
      dialog.setOption(QFileDialog::DontUseNativeDialog);
      dialog.setNameFilters({EXECUTABLE_FILES_FILTER, ALL_FILES_FILTER});
      executables = new TExecutableFilter(&dialog);
      dialog.setProxyModel(executables);
      QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog, [executables](const QString& filter) {
        executables->SetActive(filter == EXECUTABLE_FILES_FILTER);
      });
      break;
  }
  if (!fileName.empty()) {
    const QFileInfo preset(QString::fromStdString(fileName));
    if (preset.dir().exists()) dialog.setDirectory(preset.dir());
    dialog.selectFile(preset.fileName());
  }
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first().toStdString();
}
