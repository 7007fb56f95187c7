// Whole headless runs of the manager program, run again and again: engines
// whose pace is drawn from the operating system's randomness, unequal step
// counts and Echo calls between steps still give the same processor input
// byte for byte, the same results and the same fingerprint; and no engine
// starts a step before every engine of the run has finished the one before,
// also while the later engines are still being launched.
#include "HeadlessRunSupport.h"

namespace {

using namespace HeadlessRunSupport;
using Reproducible = THeadlessRunTest;

// For every step k >= 1 and every pair of engines that both ran step k - 1:
// a began step k only after b had reported the end of step k - 1.
void ExpectLockstepFromTheFirstStep(const std::vector<fs::path>& models) {
  std::vector<RunSupport::TResults> results;
  for (const auto& m : models) results.push_back(RunSupport::ReadResults(fs::path(m).replace_extension(".results.csv")));
  size_t compared = 0;
  // Row y holds year y, that is step y - 1; row 0 is the start.
  for (size_t a = 0; a < results.size(); ++a)
    for (size_t y = 2; y < results[a].StartNs.size(); ++y)
      for (size_t b = 0; b < results.size(); ++b) {
        if (b == a || y - 1 >= results[b].StopNs.size()) continue;
        ++compared;
        EXPECT_GT(results[a].StartNs[y], results[b].StopNs[y - 1])
            << "engine " << a << " began step " << y - 1 << " before engine " << b << " had finished step " << y - 2;
      }
  EXPECT_GT(compared, 20u);
}

TEST_F(Reproducible, FiveProcessorRunsGiveTheSameInputResultsAndFingerprint) {
  // Unequal lengths, a random pace, and Echo calls between the steps of one.
  const std::vector<fs::path> models = {Model(0, 12, 7, "jitter_ms = 4"), Model(1, 15, 8, "jitter_ms = 4\nechoes = 2"),
                                        Model(2, 9, 9, "jitter_ms = 4")};
  Document(models);
  Settings(true);
  std::string input, fingerprint;
  std::vector<std::string> years;
  for (int run = 0; run < 5; ++run) {
    const TRun r = Run();
    ASSERT_EQ(r.Status, 0) << r.Out;
    const std::string in = ProcessorInput();
    std::vector<std::string> y;
    for (const auto& m : models) y.push_back(Years(fs::path(m).replace_extension(".results.csv")));
    if (run == 0) {
      input = in;
      years = y;
      fingerprint = r.Fingerprint();
      ASSERT_EQ(fingerprint.substr(33), "15") << r.Out;
      // Every call of every engine went through, the echoes among them.
      EXPECT_NE(input.find("\"method\":\"Echo\""), std::string::npos);
      EXPECT_EQ(y[1].substr(y[1].rfind('\n', y[1].size() - 2) + 1, 3), "15,");
    } else {
      EXPECT_EQ(in, input) << "run " << run << ": the processor read another stream";
      EXPECT_EQ(y, years) << "run " << run;
      EXPECT_EQ(r.Fingerprint(), fingerprint) << "run " << run;
    }
    ExpectLockstepFromTheFirstStep(models);
  }
  // One changed seed: other states, another fingerprint.
  Model(1, 15, 80, "jitter_ms = 4\nechoes = 2");
  const TRun other = Run();
  ASSERT_EQ(other.Status, 0) << other.Out;
  EXPECT_NE(other.Fingerprint(), fingerprint);
  EXPECT_EQ(other.Fingerprint().size(), fingerprint.size());
}

TEST_F(Reproducible, DirectRunsKeepInStepFromTheFirstStepAndRepeatTheirFingerprint) {
  // No pause at all in the first engines: without lockstep from the first
  // step they would be steps ahead before the last one is launched.
  const std::vector<fs::path> models = {Model(0, 20, 1, ""), Model(1, 20, 2, ""), Model(2, 20, 3, ""),
                                        Model(3, 20, 4, "jitter_ms = 3")};
  Document(models);
  Settings(false);
  const TRun first = Run();
  ASSERT_EQ(first.Status, 0) << first.Out;
  ExpectLockstepFromTheFirstStep(models);
  const TRun second = Run();
  ASSERT_EQ(second.Status, 0) << second.Out;
  ExpectLockstepFromTheFirstStep(models);
  EXPECT_FALSE(first.Fingerprint().empty()) << first.Out;
  EXPECT_EQ(second.Fingerprint(), first.Fingerprint());
}

TEST_F(Reproducible, TheFingerprintOfAStateIsTheSameWhetherItWentThroughAProcessorOrNot) {
  // Through a processor a step's state is taken in from the call's text,
  // directly from the parsed call; a processor that moves nobody leaves the
  // states as they are, and the engines write their numbers to 17 digits,
  // which the fingerprint takes in as this program writes them.
  const std::vector<fs::path> models = {Model(0, 8, 5, ""), Model(1, 8, 6, "")};
  Document(models);
  Settings(false);
  const TRun direct = Run();
  ASSERT_EQ(direct.Status, 0) << direct.Out;
  Settings(true, ToolPaths::Program("velmar-refengine"), 20, 20, "'" + ToolPaths::Program("velmar-dispersal") + "' 0");
  const TRun processed = Run();
  ASSERT_EQ(processed.Status, 0) << processed.Out;
  EXPECT_NE(ProcessorInput().find("StopTimeStep"), std::string::npos);
  EXPECT_EQ(direct.Fingerprint().substr(33), "8") << direct.Out;
  EXPECT_EQ(processed.Fingerprint(), direct.Fingerprint()) << processed.Out;
}

TEST_F(Reproducible, AnEngineThatNeverStartsSimulatingEndsTheRun) {
  const std::string scripted = ToolPaths::Program("ui_scripted_engine");
  if (!fs::exists(scripted)) GTEST_SKIP() << "the scripted engine was not built";
  const std::string runs = "call Initialize\ncall StartSimulation\nsteps 3 0\ncall StopSimulation\ncall Finalize\n";
  WriteAll(Dir / "a.txt", runs);
  WriteAll(Dir / "b.txt", "call Initialize\nwork 30000\n");
  WriteAll(Dir / "c.txt", runs);
  Document({Dir / "a.txt", Dir / "b.txt", Dir / "c.txt"});
  for (const bool processor : {false, true}) {
    SCOPED_TRACE(processor ? "processor" : "direct");
    Settings(processor, scripted, 1, 3);
    const TRun r = Run();
    EXPECT_EQ(r.Status, 1) << r.Out;
    // Its start and one time-out to notice, then the engine left hanging is
    // killed after the time-out and the engine's own reply time-out.
    EXPECT_LT(r.Seconds, 3 + 1 + 3 + 4.0) << r.Out;
    const std::string named = processor ? "Error: Timed out waiting for ClientID 1 before passing"
                                        : "Error: ClientID 1 has not completed timestep 0";
    EXPECT_NE(r.Out.find(named), std::string::npos) << r.Out;
    EXPECT_EQ(r.Out.find("Simulation complete"), std::string::npos);
  }
}

}  // namespace
