#include "ui/QtMessageBox.h"

#include <QApplication>
#include <QMessageBox>

#include "diagnostics/Logging.h"
#include "platform/MessageBox.h"

namespace {

Platform::TMsgBoxResult ShowQtMessageBox(Platform::TMsgBoxKind kind, const std::string& text,
                                         Platform::TMsgBoxButtons buttons) {
  // What was logged before the box is in the log before the user sees it.
  Logger().Flush();
  QMessageBox box(QApplication::activeWindow());
  box.setWindowTitle("VelmarManager");
  box.setText(QString::fromStdString(text).replace("\r\n", "\n"));
  switch (kind) {
    case Platform::mbError: box.setIcon(QMessageBox::Critical); break;
    case Platform::mbInformation: box.setIcon(QMessageBox::Information); break;
    case Platform::mbWarning: box.setIcon(QMessageBox::Warning); break;
    case Platform::mbConfirmation: box.setIcon(QMessageBox::Question); break;
    case Platform::mbPlain: box.setIcon(QMessageBox::NoIcon); break;
  }
  switch (buttons) {
    case Platform::mbOK: box.setStandardButtons(QMessageBox::Ok); break;
    case Platform::mbYesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      box.setDefaultButton(QMessageBox::Yes);
      box.setEscapeButton(QMessageBox::Cancel);
      break;
    case Platform::mbYesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
  }
  switch (box.exec()) {
    case QMessageBox::Ok: return Platform::mrOk;
    case QMessageBox::Yes: return Platform::mrYes;
    case QMessageBox::No: return Platform::mrNo;
    case QMessageBox::Cancel: return Platform::mrCancel;
    default: return buttons == Platform::mbOK ? Platform::mrOk : Platform::mrCancel;
  }
}

}  // namespace

void InstallQtMessageBoxHook() { Platform::SetMessageBoxHook(ShowQtMessageBox); }
