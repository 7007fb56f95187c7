// The run's rows as the monitor reads them, and where the engines' output
// goes. (The window's tests follow whole runs through the table.)
#include "coordination/RunProgress.h"

#include <fstream>

#include "SimulatorTestSupport.h"
#include "documents/Documents.h"

namespace {

class RunProgressTest : public SimulatorTest {
 protected:
  // A saved document of n models, its rows noted as a starting run.
  void StartingRun(size_t n, const std::string& name = "run.vmgr") {
    Document.ClearModels();
    for (size_t i = 0; i < n; ++i) Document.AddModel()->SetFilename("/models/m" + std::to_string(i) + ".vm");
    Document.SaveToFile((Dir / name).string());
    NoteRunStarting(Document);
  }
  TDocument Document;
};

TEST_F(RunProgressTest, ARowShowsThisRunOnlyAndASignalReadsAsKilled) {
  StartingRun(2);
  Simulating(2);  // what the previous run left in the table
  Processes[1].TimeStep = 40;
  Processes[1].Started = true;
  Processes[1].ProcInfo.dwProcessId = 99;
  NoteSlotCleared(0);
  TRunProgress progress = RunProgress();
  ASSERT_EQ(progress.Engines.size(), 2u);
  EXPECT_EQ(progress.Engines[1].Filename, "/models/m1.vm");
  EXPECT_EQ(EngineStateText(progress.Engines[1]), "");
  EXPECT_EQ(progress.Engines[1].Pid, 0u);
  EXPECT_EQ(progress.SimulatingCount(), 1u);

  Processes[0].Exited = true;
  Processes[0].ExitStatus = 128 + 9;
  EXPECT_EQ(EngineStateText(RunProgress().Engines[0]), "killed");
  Processes[0].ExitStatus = 9;
  EXPECT_EQ(EngineStateText(RunProgress().Engines[0]), "exited with status 9");
}

TEST_F(RunProgressTest, OutputFilesFollowTheDocumentsLogFileName) {
  StartingRun(1, "north.vmgr");
  EXPECT_EQ(EngineOutputFilename(0), (Dir / "north.engine0.log").string());
  EXPECT_EQ(EngineOutputFilename(12), (Dir / "north.engine12.log").string());
  EXPECT_EQ(ProcessorOutputFilename(), (Dir / "north.processor.log").string());

  StartingRun(1, "plain");  // no extension: the suffix is appended
  EXPECT_EQ(EngineOutputFilename(0), (Dir / "plain.engine0.log").string());

  // Untitled: no files, and nothing is opened.
  TDocument untitled;
  NoteRunStarting(untitled);
  EXPECT_EQ(EngineOutputFilename(0), "");
  EXPECT_EQ(ProcessorOutputFilename(), "");
  EXPECT_EQ(OpenEngineOutput(0), -1);
  EXPECT_EQ(OpenProcessorOutput(), -1);
  EXPECT_TRUE(Lines.empty());
}

}  // namespace
