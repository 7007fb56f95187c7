// The headless run: the window's run control without a window, on the
// platform's message queue and an injected clock.
#include <signal.h>

#include <sstream>

#include "UiTestSupport.h"
#include "diagnostics/Logging.h"
#include "platform/Clock.h"
#include "ui/Headless.h"

namespace {

class HeadlessTest : public UiTest {
 protected:
  void SetUp() override {
    UiTest::SetUp();
    WriteFile(PathOf("doc.vmgr"), "[Model0]\nFilename=a.vm\n[Model1]\nFilename=b.vm\n");
  }
  int RunDocument(const std::string& path) {
    THeadlessRun run(path, FOut, FErr);
    return run.Run();
  }

  Platform::TManualClock FClock;
  Platform::TClockGuard FClockGuard{FClock};
  std::ostringstream FOut;
  std::ostringstream FErr;
};

TEST_F(HeadlessTest, ACompletedRunExitsWithZeroAndPrintsAndLogsEveryLine) {
  uint64_t startedAt = 0;
  FSimulator.OnStart = [&](TDocument&) {
    startedAt = FClock.TickCount();
    Logger().Log("engines started");
  };
  FSimulator.DoneAtPoll = 3;
  const uint64_t begin = FClock.TickCount();
  EXPECT_EQ(RunDocument(PathOf("doc.vmgr")), THeadlessRun::EXIT_COMPLETE);
  EXPECT_EQ(FSimulator.StartedModels, 2);
  EXPECT_EQ(FSimulator.DoneCalls, 3);
  EXPECT_EQ(startedAt - begin, 500u);  // the start timer, on the simulated clock
  EXPECT_EQ(FClock.TickCount() - startedAt, 300u);

  const std::string out = FOut.str();
  EXPECT_NE(out.find(" - Log: engines started\n"), std::string::npos);
  EXPECT_NE(out.find(" - Info: Simulation complete\n"), std::string::npos);
  const std::string log = ReadFile(PathOf("doc.log"));
  EXPECT_NE(log.find(" - Log: engines started\r\n"), std::string::npos);
  EXPECT_NE(log.find(" - Info: Simulation complete\r\n"), std::string::npos);
  EXPECT_TRUE(FErr.str().empty());
}

TEST_F(HeadlessTest, AFloodOfLinesReachesTheOutputAndTheFileInOrder) {
  FSimulator.OnStart = [](TDocument&) {
    for (int i = 0; i < 300; ++i) Logger().Log("line %d", i);
  };
  EXPECT_EQ(RunDocument(PathOf("doc.vmgr")), THeadlessRun::EXIT_COMPLETE);
  const std::string out = FOut.str();
  const std::string log = ReadFile(PathOf("doc.log"));
  size_t inOut = 0, inLog = 0;
  for (int i = 0; i < 300; ++i) {
    const std::string line = " - Log: line " + std::to_string(i);
    inOut = out.find(line + "\n", inOut);
    inLog = log.find(line + "\r\n", inLog);
    ASSERT_NE(inOut, std::string::npos) << i;
    ASSERT_NE(inLog, std::string::npos) << i;
  }
  EXPECT_LT(inOut, out.find("Info: Simulation complete"));
  EXPECT_LT(inLog, log.find("Info: Simulation complete"));
}

TEST_F(HeadlessTest, FailedAndCancelledRunsExitWithOne) {
  FSimulator.OnStart = [](TDocument&) { throw Exception("Timed out waiting for Velmar to initialize"); };
  EXPECT_EQ(RunDocument(PathOf("doc.vmgr")), THeadlessRun::EXIT_FAILED);
  EXPECT_NE(FOut.str().find("Exception: Simulation failed (Exception: Timed out waiting for Velmar to initialize)"),
            std::string::npos);
  EXPECT_EQ(FSimulator.DoneCalls, 0);

  FOut.str("");
  FSimulator.OnStart = nullptr;
  FSimulator.Cancelled = true;
  EXPECT_EQ(RunDocument(PathOf("doc.vmgr")), THeadlessRun::EXIT_FAILED);
  EXPECT_NE(FOut.str().find("Error: Simulation was cancelled"), std::string::npos);
  EXPECT_EQ(FOut.str().find("Simulation complete"), std::string::npos);
}

TEST_F(HeadlessTest, ASignalActsAsStop) {
  // The stopped run's engines go at the module's third look, and the run
  // waits for that.
  FSimulator.DoneAtPoll = 3;
  FSimulator.OnStart = [](TDocument&) { raise(SIGTERM); };  // blocked: waits on the run's descriptor
  EXPECT_EQ(RunDocument(PathOf("doc.vmgr")), THeadlessRun::EXIT_FAILED);
  EXPECT_EQ(FSimulator.CancelCalls, 1);
  EXPECT_EQ(FSimulator.DoneCalls, 3);
  const std::string out = FOut.str();
  const size_t stop = out.find("Info: Cancelled simulation");
  ASSERT_NE(stop, std::string::npos);
  EXPECT_NE(out.find("Simulation timer is running but simulation is not running!", stop), std::string::npos);
}

TEST_F(HeadlessTest, AProgressLineGoesToStandardErrorOnceASecondWhenAskedFor) {
  auto row = [](TEngineState state, uint32_t step) {
    TEngineProgress e;
    e.State = state;
    e.CompletedStep = step;
    return e;
  };
  // The slowest simulating engine counts, not the one that has stopped.
  FSimulator.Rows.Engines = {row(TEngineState::Simulating, 4), row(TEngineState::Stopped, 2),
                             row(TEngineState::Simulating, 3)};
  FSimulator.DoneAtPoll = 25;  // 2.5 s of running
  {
    THeadlessRun run(PathOf("doc.vmgr"), FOut, FErr);
    run.SetProgressLines(true);
    EXPECT_EQ(run.Run(), THeadlessRun::EXIT_COMPLETE);
  }
  EXPECT_EQ(FErr.str(), "step 3, 2 of 3 engines simulating\nstep 3, 2 of 3 engines simulating\n");
  EXPECT_EQ(FOut.str().find("engines simulating"), std::string::npos);

  // Not asked for (standard error is no terminal): nothing.
  FErr.str("");
  FSimulator.DoneCalls = 0;
  EXPECT_EQ(RunDocument(PathOf("doc.vmgr")), THeadlessRun::EXIT_COMPLETE);
  EXPECT_EQ(FErr.str(), "");
}

// The handler that was installed before the run gets the log back whole:
// its filter of debug lines and its flush too.
TEST_F(HeadlessTest, TheLogGoesBackToTheHandlerInstalledBefore) {
  std::vector<std::string> lines;
  int flushes = 0;
  Logger().SetLogHandler([&](const TLogEvent& event, bool& handled) {
    lines.push_back(event.RawMessage);
    handled = true;
  }, [] { return false; }, [&] { ++flushes; });
  EXPECT_EQ(RunDocument(PathOf("doc.vmgr")), THeadlessRun::EXIT_COMPLETE);
  EXPECT_TRUE(lines.empty());  // the run's lines went to the run's handler
  Logger().Log("after the run");
  EXPECT_EQ(lines, std::vector<std::string>{"after the run"});
  EXPECT_FALSE(Logger().DebugWanted());
  Logger().Flush();
  EXPECT_EQ(flushes, 1);
  Logger().SetLogHandler(nullptr);
}

TEST_F(HeadlessTest, AMissingDocumentIsAUsageError) {
  EXPECT_EQ(RunDocument(PathOf("missing.vmgr")), THeadlessRun::EXIT_USAGE);
  EXPECT_EQ(FSimulator.StartCalls, 0);
  EXPECT_NE(FErr.str().find("missing.vmgr"), std::string::npos);
}

}  // namespace
