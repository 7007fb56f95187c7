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
    Sim.Rows().NoteRunStarting(Document);
  }
  TDocument Document;
};

TEST_F(RunProgressTest, ARowShowsThisRunOnlyAndASignalReadsAsKilled) {
  StartingRun(2);
  Simulating(2);  // what the previous run left in the table
  Sim.Processes[1].TimeStep = 40;
  Sim.Processes[1].Started = true;
  Sim.Processes[1].ProcInfo.dwProcessId = 99;
  Sim.Rows().NoteSlotCleared(0);
  TRunProgress progress = Sim.Progress();
  ASSERT_EQ(progress.Engines.size(), 2u);
  EXPECT_EQ(progress.Engines[1].Filename, "/models/m1.vm");
  EXPECT_EQ(EngineStateText(progress.Engines[1]), "");
  EXPECT_EQ(progress.Engines[1].Pid, 0u);
  EXPECT_EQ(progress.SimulatingCount(), 1u);

  Sim.Processes[0].Exited = true;
  Sim.Processes[0].ExitStatus = 128 + 9;
  EXPECT_EQ(EngineStateText(Sim.Progress().Engines[0]), "killed");
  Sim.Processes[0].ExitStatus = 9;
  EXPECT_EQ(EngineStateText(Sim.Progress().Engines[0]), "exited with status 9");
}

TEST_F(RunProgressTest, OutputFilesFollowTheDocumentsLogFileName) {
  StartingRun(1, "north.vmgr");
  EXPECT_EQ(Sim.Rows().EngineOutputFilename(0), (Dir / "north.engine0.log").string());
  EXPECT_EQ(Sim.Rows().EngineOutputFilename(12), (Dir / "north.engine12.log").string());
  EXPECT_EQ(Sim.Rows().ProcessorOutputFilename(), (Dir / "north.processor.log").string());

  StartingRun(1, "plain");  // no extension: the suffix is appended
  EXPECT_EQ(Sim.Rows().EngineOutputFilename(0), (Dir / "plain.engine0.log").string());

  // Untitled: no files, and nothing is opened.
  TDocument untitled;
  Sim.Rows().NoteRunStarting(untitled);
  EXPECT_EQ(Sim.Rows().EngineOutputFilename(0), "");
  EXPECT_EQ(Sim.Rows().ProcessorOutputFilename(), "");
  EXPECT_EQ(Sim.Rows().OpenEngineOutput(0), -1);
  EXPECT_EQ(Sim.Rows().OpenProcessorOutput(), -1);
  EXPECT_TRUE(Lines.empty());
}

}  // namespace
