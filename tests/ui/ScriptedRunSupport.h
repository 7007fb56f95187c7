#pragma once
// Window tests whose runs are real: the program's simulation module on a
// pipe of the suite's own, launching the scripted engine.
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include <QEventLoop>
#include <QTimer>

#include "../tools/ToolPaths.h"
#include "UiTestSupport.h"
#include "documents/SettingsUnit.h"
#include "ui/Main.h"
#include "ui/QtMessagePump.h"
#include "ui/Startup.h"

// Runs the event loop, as the program's own does, until done holds. (QTest's
// qWaitFor sleeps 10 ms between its looks, and the engines' calls would
// wait through those sleeps, which is no part of their timings.)
inline bool RunLoopUntil(const std::function<bool()>& done, int ms) {
  QEventLoop loop;
  QTimer check, limit;
  QObject::connect(&check, &QTimer::timeout, [&] {
    if (done()) loop.quit();
  });
  QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
  check.start(5);
  limit.setSingleShot(true);
  limit.start(ms);
  if (!done()) loop.exec();
  return done();
}

class ScriptedRunTest : public UiTest {
 protected:
  // For the suite's SetUpTestSuite: the module, listening on a pipe whose
  // name starts with prefix and this process's id.
  static void StartModule(const std::string& prefix) {
    setenv("VELMAR_PIPE_NAMESPACE", (prefix + std::to_string(getpid()) + "-").c_str(), 1);
    SimulationModule().Startup();
  }
  static void TearDownTestSuite() { SimulationModule().Shutdown(); }

  void SetUp() override {
    UiTest::SetUp();
    SetSimulator(&SimulationModule());
    FPump = std::make_unique<TQtMessagePump>();
    TSettings::SetVelmarFilename(ToolPaths::Program("ui_scripted_engine"));
    TSettings::SetUseExternalProcessor(false);
    TSettings::SetVelmarStartTimeout(20);
    TSettings::SetVelmarTimeStepTimeout(20);
  }
  void TearDown() override {
    SimulationModule().SetTraceFile("");
    FForm.reset();
    FPump.reset();
    UiTest::TearDown();
  }

  // A document of one scripted engine per script; its path.
  std::string Document(const std::vector<std::string>& scripts) {
    std::string doc;
    for (size_t i = 0; i < scripts.size(); ++i) {
      const std::string path = PathOf("e" + std::to_string(i) + ".script");
      WriteFile(path, scripts[i]);
      doc += "[Model" + std::to_string(i) + "]\nFilename=" + path + "\n";
    }
    WriteFile(PathOf("run.vmgr"), doc);
    return PathOf("run.vmgr");
  }

  std::unique_ptr<TQtMessagePump> FPump;
  std::unique_ptr<TMainForm> FForm;
};
