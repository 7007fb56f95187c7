#pragma once
// Shared fixture of the window tests: a Qt application on the offscreen
// platform, a settings file of its own per test, message boxes and file
// dialogs answered from queues, and a fake simulation module.
#include <deque>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <QWidget>

#include "platform/MessageBox.h"
#include "ui/FileDialogs.h"
#include "ui/RunControl.h"

class TFakeSimulator : public ISimulator {
 public:
  void StartSimulation(TDocument& document) override {
    ++StartCalls;
    StartedModels = ModelCountOf(document);
    if (OnStart) OnStart(document);
  }
  bool IsSimulationDone(bool& cancelled) override {
    ++DoneCalls;
    if (!DoneError.empty()) throw std::runtime_error(DoneError);
    const bool done = Done && DoneCalls >= DoneAtPoll;
    cancelled = done && Cancelled;
    return done;
  }
  void CancelSimulation() override {
    ++CancelCalls;
    Cancelled = true;
  }
  TRunProgress Progress() override { return Rows; }
  static int ModelCountOf(TDocument& document);

  std::function<void(TDocument&)> OnStart;  // may raise, or wait
  bool Done = true;
  int DoneAtPoll = 0;  // not done before this many polls
  bool Cancelled = false;
  std::string DoneError;  // IsSimulationDone raises it when not empty
  TRunProgress Rows;  // what Progress shows
  int StartCalls = 0;
  int DoneCalls = 0;
  int CancelCalls = 0;
  int StartedModels = -1;
};

// A window's caption as the desktop shows it: Qt's [*] mark becomes "*"
// when the window is marked modified, and goes otherwise.
inline std::string ShownCaption(const QWidget& window) {
  QString title = window.windowTitle();
  title.replace("[*][*]", QChar(0xE000));
  title.replace("[*]", window.isWindowModified() ? "*" : "");
  title.replace(QChar(0xE000), "[*]");
  return title.toStdString();
}

// How many times what occurs in text.
inline int CountOf(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct TShownBox {
  Platform::TMsgBoxKind Kind;
  std::string Text;
  Platform::TMsgBoxButtons Buttons;
};

struct TShownDialog {
  TFileDialogKind Kind;
  std::string FileName;
};

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A path inside this test's own folder.
  std::string PathOf(const std::string& name) const { return FDir + "/" + name; }
  static void WriteFile(const std::string& path, const std::string& text);
  static std::string ReadFile(const std::string& path);
  static bool Exists(const std::string& path);

  std::string FDir;
  TFakeSimulator FSimulator;
  std::deque<Platform::TMsgBoxResult> FBoxAnswers;       // mrCancel when empty
  std::vector<TShownBox> FBoxes;
  std::deque<std::optional<std::string>> FDialogAnswers;  // cancelled when empty
  std::vector<TShownDialog> FDialogs;

 private:
  ISimulator* FPreviousSimulator = nullptr;
};
