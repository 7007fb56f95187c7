#pragma once
// Window tests that show the program's main window and drive it: the window,
// shown and active, replaced by each Show, gone at the end of the test.
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>

#include "UiTestSupport.h"
#include "ui/Main.h"

class ShownWindowTest : public UiTest {
 public:
  TMainForm& Show(std::vector<std::string> args = {}) {
    FForm.reset();  // a window going takes the log handler with it
    FForm = std::make_unique<TMainForm>(std::move(args));
    FForm->show();
    QApplication::setActiveWindow(FForm.get());
    EXPECT_TRUE(QTest::qWaitForWindowActive(FForm.get()));
    return *FForm;
  }
  void TearDown() override {
    FForm.reset();
    UiTest::TearDown();
  }
  // What the Messages tab shows.
  std::string Memo() const { return FForm->MessagesMemo->toPlainText().toStdString(); }

  std::unique_ptr<TMainForm> FForm;
};
