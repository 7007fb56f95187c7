#pragma once
// The program's file dialogs. Each kind carries its own filter and default
// extension; a hook lets tests answer a dialog without showing one.
#include <functional>
#include <optional>
#include <string>

class QWidget;

enum TFileDialogKind {
  fdDocumentOpen,  // "Velmar Manager files" (*.vmgr), default extension vmgr
  fdDocumentSave,  // the same, for Save As
  fdModel,         // "Velmar Files" (*.vm), default extension vm
  fdProgram        // "Executable Files": files this user may execute
};

// The chosen path, or nothing when the user cancelled.
using TFileDialogHook = std::function<std::optional<std::string>(TFileDialogKind kind, const std::string& fileName)>;

// Shows the dialog of kind, preset with fileName (may be empty).
std::optional<std::string> ExecuteFileDialog(QWidget* parent, TFileDialogKind kind, const std::string& fileName);

// Installs a hook that answers every dialog instead (nullptr shows real
// dialogs again); returns the previous one.
TFileDialogHook SetFileDialogHook(TFileDialogHook hook);
