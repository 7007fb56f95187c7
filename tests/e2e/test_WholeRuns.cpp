// Whole runs over the real pipe with the reference engine and the example
// processor as separate processes.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "../tools/ToolPaths.h"
#include "RunSupport.h"
#include "Shared/Componen/ThreadSync.h"
#include "coordination/Simulation.h"
#include "diagnostics/Logging.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "platform/Clock.h"

namespace fs = std::filesystem;

namespace {

using namespace RunSupport;

class WholeRuns : public ::testing::Test {
 protected:
  // The simulation module, shared by the suite as the program shares its one.
  static inline TSimulation Sim;
  static void SetUpTestSuite() {
    setenv("VELMAR_PIPE_NAMESPACE", ("velmar-e2e-" + std::to_string(getpid()) + "-").c_str(), 1);
    InitializeThreadSync();
    Sim.Startup();
  }
  static void TearDownTestSuite() {
    Sim.Shutdown();
    FinalizeThreadSync();
  }
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("velmar-e2e-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    TSettings::SetSettingsPathname((Dir / "settings.ini").string());
    TSettings::SetVelmarFilename(ToolPaths::Program("velmar-refengine"));
    TSettings::SetUseExternalProcessor(false);
    TSettings::SetVelmarTimeStepTimeout(20);
    TSettings::SetVelmarStartTimeout(20);
    Logger().SetLogHandler([this](const TLogEvent& e, bool& handled) {
      if (e.EventType != etDebug || e.RawMessage.find("TimeStep") != std::string::npos ||
          e.RawMessage.find("waiting") != std::string::npos)
        Lines.push_back(std::string(EVENT_TYPES[e.EventType]) + ": " + e.RawMessage);
      handled = true;
    });
    Document.ClearModels();
    Descriptors = OpenDescriptorCount();
  }
  void TearDown() override {
    Logger().SetLogHandler(nullptr);
    // What the run logged, for a failure's report.
    if (HasFailure())
      for (const auto& l : Lines) std::printf("  | %s\n", l.c_str());
    TSettings::SetSettingsPathname("");
    fs::remove_all(Dir);
  }
  std::string Model(int i, int years, const std::string& extra = "", const std::string& pop = "growth = 0.2\nvariation = 0.1") {
    const std::string path = (Dir / ("m" + std::to_string(i) + ".vm")).string();
    std::ofstream(path) << "years = " << years << "\nseed = " << (11 + i) << "\n" << extra << "\n[population P" << i
                        << "]\ninitial = " << (100 + 50 * i) << "\ncapacity = 1000\n" << pop << "\n";
    Document.AddModel()->SetFilename(path);
    return path;
  }
  // Starts the run and polls it to its end as the window's timer does.
  void Run() {
    Sim.StartSimulation(Document);
    const uint64_t start = Platform::GetTickCount64();
    while (!Sim.IsSimulationDone()) {
      Sim.WaitPass();
      ASSERT_LT(Platform::GetTickCount64() - start, 120000u) << "run did not end";
    }
  }
  bool Logged(const std::string& line) const { return std::find(Lines.begin(), Lines.end(), line) != Lines.end(); }
  // Every engine process has ended (reaped) by now or soon.
  void ExpectNoEngineLeft() {
    for (auto& p : Sim.Processes) {
      if (p.ProcInfo.hProcess < 0) continue;
      EXPECT_EQ(Platform::WaitForProcess(p.ProcInfo.hProcess, 10000), Platform::WAIT_OBJECT_0);
    }
  }

  fs::path Dir;
  TDocument Document;
  std::vector<std::string> Lines;
  int Descriptors = 0;
};

TEST_F(WholeRuns, ThreeEnginesInLockstep) {
  std::vector<std::string> models;
  for (int i = 0; i < 3; ++i) models.push_back(Model(i, 50));
  Run();
  EXPECT_FALSE(Sim.LastRunCancelled());
  EXPECT_FALSE(Sim.Cancel);
  std::vector<TResults> results;
  for (const auto& m : models) {
    results.push_back(ReadResults(fs::path(m).replace_extension(".results.csv").string()));
    ASSERT_EQ(results.back().Total.size(), 51u) << m;
  }
  size_t compared = 0;
  const auto outOfStep = LockstepViolation(results, 50, compared);
  EXPECT_FALSE(outOfStep) << *outOfStep;
  EXPECT_GT(compared, 200u) << "the engines hardly overlapped";
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(Logged("Log: Velmar #" + std::to_string(i) + " finalized"));
    EXPECT_TRUE(Logged("Log: Velmar started and initialized for model #" + std::to_string(i)));
  }
  ExpectNoEngineLeft();
}

TEST_F(WholeRuns, DispersalProcessorConservesTheTotal) {
  std::vector<std::string> models;
  // No growth and no noise: only the migration changes the populations.
  // A pause per step keeps the first engines from finishing before the
  // last is launched (slow sanitizer builds).
  for (int i = 0; i < 3; ++i) models.push_back(Model(i, 20, "delay_ms = 25", "growth = 0\nvariation = 0"));
  TSettings::SetUseExternalProcessor(true);
  TSettings::SetExternalProcessorFilename(ToolPaths::Program("velmar-dispersal"));
  TSettings::SetExternalProcessorParameters("0.1");
  TSettings::SetExternalProcessorCloseCommand("QUIT");
  Run();
  EXPECT_FALSE(Sim.LastRunCancelled());
  EXPECT_FALSE(Sim.ExternalProcessorRunning());
  std::vector<TResults> results;
  for (const auto& m : models) results.push_back(ReadResults(fs::path(m).replace_extension(".results.csv").string()));
  int64_t first = 0;
  for (const auto& r : results) {
    ASSERT_EQ(r.Total.size(), 21u);
    first += r.Total[0];
  }
  bool moved = false;
  for (size_t k = 1; k <= 20; ++k) {
    int64_t sum = 0;
    for (const auto& r : results) sum += r.Total[k];
    EXPECT_EQ(sum, first) << "year " << k;
    moved = moved || results[0].Total[k] != results[0].Total[0];
  }
  EXPECT_TRUE(moved) << "the processor moved nothing";
  ExpectNoEngineLeft();
}

TEST_F(WholeRuns, EngineDyingMidRunEndsTheRun) {
  // The last engine dies, so it cannot do so while the others are launched.
  Model(0, 30, "delay_ms = 5");
  Model(1, 30, "delay_ms = 5");
  Model(2, 30, "exit_at_step = 10");
  Run();
  EXPECT_TRUE(Sim.LastRunCancelled());
  EXPECT_TRUE(Logged("Error: Velmar #2 exited without finalizing (exit status 3); cancelling simulation"));
  ExpectNoEngineLeft();
}

TEST_F(WholeRuns, EngineKilledMidRunEndsTheRun) {
  for (int i = 0; i < 3; ++i) Model(i, 200, "delay_ms = 5");
  Sim.StartSimulation(Document);
  const uint64_t start = Platform::GetTickCount64();
  bool killed = false;
  while (!Sim.IsSimulationDone()) {
    if (!killed && Sim.Processes[1].TimeStep >= 3) killed = Platform::TerminateProcess(Sim.Processes[1].ProcInfo.hProcess);
    Sim.WaitPass();
    ASSERT_LT(Platform::GetTickCount64() - start, 120000u) << "run did not end";
  }
  EXPECT_TRUE(killed);
  EXPECT_TRUE(Sim.LastRunCancelled());
  EXPECT_TRUE(Logged("Error: Velmar #1 exited without finalizing (exit status 137); cancelling simulation"));
  ExpectNoEngineLeft();
}

TEST_F(WholeRuns, ProcessorExitingMidRunEndsTheRun) {
  for (int i = 0; i < 2; ++i) Model(i, 30);
  const std::string script = (Dir / "proc.sh").string();
  // Answers with a plain true until the last engine has stopped three
  // steps (so the start is over), then leaves.
  std::ofstream(script) << "#!/bin/sh\nn=0\nwhile IFS= read -r l; do\n"
                           "  case \"$l\" in *'\"method\":\"StopTimeStep\"'*'\"ClientID\":1'[,}]*) n=$((n+1));; esac\n"
                           "  [ $n -gt 3 ] && exit 0\n"
                           "  id=$(printf '%s' \"$l\" | sed -n 's/.*\"id\":\\([0-9]*\\).*/\\1/p')\n"
                           "  printf '{\"result\":true,\"id\":%s,\"jsonrpc\":\"2.0\"}\\n' \"$id\"\ndone\n";
  fs::permissions(script, fs::perms::owner_all);
  TSettings::SetUseExternalProcessor(true);
  TSettings::SetExternalProcessorFilename(script);
  Run();
  EXPECT_TRUE(Sim.LastRunCancelled());
  EXPECT_TRUE(Logged("Error: External processor closed its output; cancelling simulation"));
  ExpectNoEngineLeft();
}

TEST_F(WholeRuns, LeavesNoDescriptorsBehind) {
  Model(0, 5);
  Run();
  ExpectNoEngineLeft();
  Sim.Shutdown();
  Sim.Startup();
  // The process reaper closes its own handle of an engine just after the
  // engine has gone: give it that moment.
  for (int i = 0; i < 500 && OpenDescriptorCount() > Descriptors + 1; ++i) ::usleep(10000);
  EXPECT_LE(OpenDescriptorCount(), Descriptors + 1);
}

}  // namespace
