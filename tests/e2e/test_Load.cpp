// Load and endurance: many engines in one run, and many runs in one
// manager process, with real engine and processor processes.
//
// The endurance test runs VELMAR_SOAK_RUNS runs (40 unless set; scripts/soak
// sets 1000) of a two-engine document back to back and samples the open
// descriptors, the threads and the resident memory after each. From the
// tenth run on, descriptors and threads must not change at all, and the
// resident memory may grow by at most SOAK_RSS_TOLERANCE_KB in total.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

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

constexpr long SOAK_RSS_TOLERANCE_KB = 2048;
constexpr int SOAK_FIRST_COUNTED_RUN = 10;
// The sanitizers hold freed memory back (AddressSanitizer's quarantine),
// so resident memory grows there by design; LeakSanitizer checks for leaks
// instead.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool CHECK_RESIDENT_MEMORY = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool CHECK_RESIDENT_MEMORY = false;
#else
constexpr bool CHECK_RESIDENT_MEMORY = true;
#endif
#else
constexpr bool CHECK_RESIDENT_MEMORY = true;
#endif

// What the open descriptors are, for a failure's report.
std::string DescriptorTargets() {
  std::string out;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    out += " " + e.path().filename().string() + "->" + fs::read_symlink(e.path(), ec).string();
  }
  return out;
}

// A field of /proc/self/status ("Threads", "VmRSS"), as a number.
long StatusField(const std::string& name) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
  return -1;
}

class LoadTest : public ::testing::Test {
 protected:
  // The simulation module, shared by the suite as the program shares its one.
  static inline TSimulation Sim;
  static void SetUpTestSuite() {
    setenv("VELMAR_PIPE_NAMESPACE", ("velmar-load-" + std::to_string(getpid()) + "-").c_str(), 1);
    InitializeThreadSync();
    Sim.Startup();
  }
  static void TearDownTestSuite() {
    Sim.Shutdown();
    FinalizeThreadSync();
  }
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("velmar-load-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    TSettings::SetSettingsPathname((Dir / "settings.ini").string());
    TSettings::SetVelmarFilename(ToolPaths::Program("velmar-refengine"));
    TSettings::SetUseExternalProcessor(false);
    TSettings::SetVelmarTimeStepTimeout(60);
    TSettings::SetVelmarStartTimeout(60);
    TSettings::SetDebugMessages(false);
    // As the window does: every line but debug lines goes to the log file.
    LogFile = (Dir / "load.log").string();
    Logger().SetLogHandler([this](const TLogEvent& e, bool& handled) {
      handled = true;
      if (e.EventType == etDebug) return;
      if (e.EventType == etError || e.EventType == etException) Errors.push_back(e.Message);
      TextUtils::AppendLineToFile(e.Message, LogFile);
    });
    Document.ClearModels();
  }
  void TearDown() override {
    Logger().SetLogHandler(nullptr);
    for (const auto& l : Errors) std::printf("  | %s\n", l.c_str());
    TSettings::SetSettingsPathname("");
    fs::remove_all(Dir);
  }
  std::string Model(int i, int years, const std::string& extra = "") {
    const std::string path = (Dir / ("m" + std::to_string(i) + ".vm")).string();
    std::ofstream(path) << "years = " << years << "\nseed = " << (11 + i) << "\n"
                        << extra << "\n[population P" << i << "]\ninitial = " << (100 + i)
                        << "\ncapacity = 1000\ngrowth = 0.2\nvariation = 0.1\n";
    Document.AddModel()->SetFilename(path);
    return path;
  }
  // Starts the run and polls it to its end as the window's timer does.
  void Run(uint64_t limitMs) {
    Sim.StartSimulation(Document);
    const uint64_t start = Platform::GetTickCount64();
    while (!Sim.IsSimulationDone()) {
      Sim.WaitPass();
      ASSERT_LT(Platform::GetTickCount64() - start, limitMs) << "run did not end";
    }
  }
  // Lets the ended run's processes, connections and handles go (the
  // process reaper closes its own handle of a child just after the child
  // has gone). True once no child process is left and at most threads
  // threads and descriptors descriptors are open; a negative limit is not
  // checked.
  bool Settle(long threads, int descriptors, uint64_t limitMs) {
    const uint64_t start = Platform::GetTickCount64();
    for (;;) {
      const bool settled = ChildProcesses().empty() && (threads < 0 || StatusField("Threads") <= threads) &&
                           (descriptors < 0 || OpenDescriptorCount() <= descriptors);
      if (settled) return true;
      if (Platform::GetTickCount64() - start > limitMs) return false;
      Sim.WaitPass();
    }
  }
  // Lets messages run for ms milliseconds.
  static void Pause(uint64_t ms) {
    for (const uint64_t start = Platform::GetTickCount64(); Platform::GetTickCount64() - start < ms;) Sim.WaitPass();
  }

  fs::path Dir;
  std::string LogFile;
  TDocument Document;
  std::vector<std::string> Errors;
};

TEST_F(LoadTest, NinetyNineEnginesTwoHundredStepsInLockstep) {
  // The table of a run keeps its engines' process handles until the next
  // run replaces it: a run of one engine before and after the big one makes
  // the counts comparable.
  Model(0, 1);
  Run(60000);
  ASSERT_TRUE(Settle(-1, -1, 10000));
  Pause(500);
  const int descriptors = OpenDescriptorCount();
  const long threads = StatusField("Threads");
  Document.ClearModels();
  std::vector<std::string> models;
  // The pause per step keeps the first engines simulating while the last
  // are still being launched.
  for (int i = 0; i < 99; ++i) models.push_back(Model(i, 200, "delay_ms = 20"));
  Run(900000);
  EXPECT_FALSE(Sim.LastRunCancelled());
  EXPECT_TRUE(Errors.empty());

  std::vector<TResults> results;
  for (const auto& m : models) {
    results.push_back(ReadResults(fs::path(m).replace_extension(".results.csv").string()));
    ASSERT_EQ(results.back().StartNs.size(), 201u) << m;
  }
  size_t compared = 0;
  const auto outOfStep = LockstepViolation(results, 200, compared);
  ASSERT_FALSE(outOfStep) << *outOfStep;
  // Most pairs overlapped for most years.
  EXPECT_GT(compared, 99u * 99u * 199u / 2);

  EXPECT_TRUE(Settle(threads, -1, 30000)) << ChildProcesses().size() << " child processes and "
                                          << StatusField("Threads") << " threads left (" << threads << " before)";
  Document.ClearModels();
  Model(0, 1);
  Run(60000);
  EXPECT_TRUE(Settle(threads, descriptors, 10000))
      << OpenDescriptorCount() << " descriptors left (" << descriptors << " before):" << DescriptorTargets();
}

TEST_F(LoadTest, RunsBackToBackLeaveDescriptorsThreadsAndMemoryFlat) {
  int runs = 40;
  if (const char* n = std::getenv("VELMAR_SOAK_RUNS"); n && std::atoi(n) > SOAK_FIRST_COUNTED_RUN)
    runs = std::atoi(n);
  Model(0, 3);
  Model(1, 3);
  struct TSample {
    int Descriptors;
    long Threads, RssKb;
  };
  std::vector<TSample> samples;
  for (int run = 1; run <= runs; ++run) {
    // Every other run goes through the example processor.
    const bool processor = run % 2 == 0;
    TSettings::SetUseExternalProcessor(processor);
    if (processor) {
      TSettings::SetExternalProcessorFilename(ToolPaths::Program("velmar-dispersal"));
      TSettings::SetExternalProcessorParameters("0.1");
      TSettings::SetExternalProcessorCloseCommand("QUIT");
    }
    Run(60000);
    ASSERT_FALSE(Sim.LastRunCancelled()) << "run " << run;
    if (run <= SOAK_FIRST_COUNTED_RUN) {
      ASSERT_TRUE(Settle(-1, -1, 10000)) << "run " << run << ": " << ChildProcesses().size() << " child processes";
      if (run == SOAK_FIRST_COUNTED_RUN) Pause(500);
    } else {
      // Gives what is still closing its moment; what leaked stays and is
      // sampled.
      const TSample& base = samples[SOAK_FIRST_COUNTED_RUN - 1];
      if (!Settle(base.Threads, base.Descriptors, 5000))
        std::printf("run %d: %zu child processes, descriptors%s\n", run, ChildProcesses().size(),
                    DescriptorTargets().c_str());
    }
    samples.push_back({OpenDescriptorCount(), StatusField("Threads"), StatusField("VmRSS")});
  }
  ASSERT_TRUE(Errors.empty());

  const TSample& first = samples[SOAK_FIRST_COUNTED_RUN - 1];
  const TSample& last = samples.back();
  std::printf("runs %d: descriptors %d -> %d, threads %ld -> %ld, resident %ld kB -> %ld kB (from run %d)\n",
              runs, first.Descriptors, last.Descriptors, first.Threads, last.Threads, first.RssKb, last.RssKb,
              SOAK_FIRST_COUNTED_RUN);
  long maxRss = 0;
  for (size_t i = SOAK_FIRST_COUNTED_RUN - 1; i < samples.size(); ++i) {
    EXPECT_LE(samples[i].Descriptors, first.Descriptors) << "run " << i + 1;
    EXPECT_LE(samples[i].Threads, first.Threads) << "run " << i + 1;
    maxRss = std::max(maxRss, samples[i].RssKb);
  }
  if (CHECK_RESIDENT_MEMORY) {
    EXPECT_LE(maxRss - first.RssKb, SOAK_RSS_TOLERANCE_KB);
  }
}

}  // namespace
