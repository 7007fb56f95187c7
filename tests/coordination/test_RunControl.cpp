#include <fstream>
#include <signal.h>
#include <sys/stat.h>

#include "SimulatorTestSupport.h"
#include "documents/Documents.h"
#include "platform/Events.h"
#include "platform/Files.h"

namespace {

class RunControl : public SimulatorTest {
 protected:
  void SetUp() override {
    SimulatorTest::SetUp();
    // exec: a kill must end the whole engine, not leave a sleep holding
    // the test's output open.
    Engine = Script("engine.sh", "exec sleep 30");
    TSettings::SetVelmarFilename(Engine);
    Document.ClearModels();
  }
  void TearDown() override {
    for (auto& p : Sim.Processes) Platform::TerminateProcess(p.ProcInfo.hProcess);
    if (Sim.ExternalProcessorRunning()) Sim.StopExternalProcess();
    SimulatorTest::TearDown();
  }
  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = (Dir / name).string();
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), 0755);
    return path;
  }
  void AddModels(int n) {
    for (int i = 0; i < n; ++i) {
      const std::filesystem::path model = Dir / ("m" + std::to_string(i) + ".vm");
      std::ofstream(model) << "years = 1\n";  // read by no engine here, but there to be read
      Document.AddModel()->SetFilename(model.string());
    }
  }
  std::string StartError() {
    try {
      Sim.StartSimulation(Document);
    } catch (const Exception& e) {
      return e.Message();
    }
    return "started";
  }
  std::vector<std::string> LinesWith(const std::string& part) const {
    std::vector<std::string> r;
    for (const auto& l : Lines)
      if (l.find(part) != std::string::npos) r.push_back(l);
    return r;
  }
  // Every engine "calls" Initialize as soon as its launch is logged.
  void InitializeWhenLaunched() {
    Logger().SetLogHandler([this](const TLogEvent& e, bool& handled) {
      Lines.push_back(std::string(EVENT_TYPES[e.EventType]) + ": " + e.RawMessage);
      handled = true;
      int id = -1;
      if (std::sscanf(e.RawMessage.c_str(), "Velmar #%d", &id) == 1 &&
          e.RawMessage == "Velmar #" + std::to_string(id) + " started")
        Queue(Call(id, "Initialize", Client(id)));
    });
  }
  TDocument Document;
  std::string Engine;
};

TEST_F(RunControl, EngineParameters) {
  TSettings::SetVelmarOptions("-q");
  TSettings::SetVelmarTimeStepTimeout(60);
  EXPECT_EQ(VelmarParameters(TRunSettings::Read(), 3, "/m/a b.vm"),
            "-q /RUN=YES /RPC=VelmarManager /RPCID=3 \"/m/a b.vm\" /RpcResponseTimeout=62");
  TSettings::SetVelmarOptions("");
  EXPECT_EQ(VelmarParameters(TRunSettings::Read(), 0, "x"), " /RUN=YES /RPC=VelmarManager /RPCID=0 \"x\" /RpcResponseTimeout=62");
  TSettings::SetVelmarSpecifiedOptionsOnly(true);
  TSettings::SetVelmarOptions("only these");
  EXPECT_EQ(VelmarParameters(TRunSettings::Read(), 1, "x"), "only these");
}

TEST_F(RunControl, DocumentWithoutModelsCompletesAtFirstPoll) {
  EXPECT_TRUE(Sim.IsSimulationDone());
  EXPECT_EQ(StartError(), "started");
  EXPECT_TRUE(Sim.InProcess);
  EXPECT_TRUE(Sim.IsSimulationDone());
  EXPECT_FALSE(Sim.LastRunCancelled());
  EXPECT_EQ(LinesWith("Elapsed simulation time").size(), 1u);
  EXPECT_TRUE(Sim.IsSimulationDone());
  EXPECT_EQ(LinesWith("Elapsed simulation time").size(), 1u);
  // The run starts with the separator line and the program's version.
  ASSERT_GE(Lines.size(), 2u);
  EXPECT_EQ(LinesWith("Log: --------------------").size(), 1u);
  EXPECT_EQ(LinesWith(" version ").size(), 1u);
}

TEST_F(RunControl, MissingProgramsNamedAndNothingLaunched) {
  AddModels(1);
  TSettings::SetVelmarFilename((Dir / "no-engine").string());
  EXPECT_EQ(StartError(), "Could not find Velmar executable at \"" + (Dir / "no-engine").string() +
                              "\".  Please locate it on the Settings tab.");
  TSettings::SetVelmarFilename(Engine);
  TSettings::SetUseExternalProcessor(true);
  TSettings::SetExternalProcessorFilename((Dir / "no-proc").string());
  EXPECT_EQ(StartError(), "Could not find external processor executable at \"" + (Dir / "no-proc").string() +
                              "\".  Please locate it on the Settings tab.");
  EXPECT_TRUE(LinesWith("started").empty());
  EXPECT_FALSE(Sim.InProcess);
}

TEST_F(RunControl, EngineThatCannotBeCreated) {
  AddModels(1);
  const std::string notExecutable = (Dir / "plain.txt").string();
  std::ofstream(notExecutable) << "x";
  TSettings::SetVelmarFilename(notExecutable);
  EXPECT_EQ(StartError(), "Could not start Velmar for \"" + Document.GetModel(0)->GetFilename() + "\"");
  EXPECT_EQ(LinesWith("kill"), std::vector<std::string>{"Log: Could not kill Velmar process #0"});
}

TEST_F(RunControl, SecondEngineTimingOutKillsBothAndClosesTheProcessor) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  AddModels(2);
  TSettings::SetVelmarStartTimeout(5);
  TSettings::SetUseExternalProcessor(true);
  const std::string input = (Dir / "proc-input.txt").string();
  TSettings::SetExternalProcessorFilename(
      Script("proc.sh", "while IFS= read -r l; do printf '%s\\n' \"$l\" >> \"$1\"; printf '{\"id\":1}\\n'; done"));
  TSettings::SetExternalProcessorParameters(input);
  TSettings::SetExternalProcessorCloseCommand("STOP");
  // Engine 0 "calls" Initialize while its launch is awaited; engine 1 never does.
  Server->SetOnRPC(nullptr);
  Queue(Call(1, "Initialize", Client(0)));
  EXPECT_EQ(StartError(), "Timed out waiting for Velmar to initialize");
  EXPECT_EQ(LinesWith("Killed Velmar process"),
            (std::vector<std::string>{"Log: Killed Velmar process #0", "Log: Killed Velmar process #1"}));
  EXPECT_FALSE(Sim.ExternalProcessorRunning());
  EXPECT_TRUE(LinesWith("Log: Velmar started and initialized for model #0").size() == 1);
  // Both engines really ended (killed, so status 128 + 9).
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Platform::WaitForProcess(Sim.Processes[i].ProcInfo.hProcess, 5000), Platform::WAIT_OBJECT_0);
    uint32_t code = 0;
    ASSERT_TRUE(Platform::GetExitCodeProcess(Sim.Processes[i].ProcInfo.hProcess, code));
    EXPECT_EQ(code, 128u + SIGKILL);
  }
  // The processor got the Initialize line and then its close command.
  std::string text;
  // Up to 20 s: a shell on a loaded machine may take its time.
  for (int i = 0; i < 2000 && text.find("STOP") == std::string::npos; ++i) {
    usleep(10000);
    std::ifstream in(input, std::ios::binary);
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_EQ(text, Call(1, "Initialize", Client(0)) + "\r\nSTOP\r\n");
}

TEST_F(RunControl, StopDuringTheStartCancels) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  AddModels(1);
  Platform::HWND stop = Platform::CreateWindow([this](Platform::HWND, uint32_t, Platform::WPARAM, Platform::LPARAM) {
    Sim.CancelSimulation();
    return Platform::LRESULT{0};
  });
  Platform::PostMessage(stop, 1, 0, 0);
  EXPECT_EQ(StartError(), "Canceled");
  EXPECT_EQ(LinesWith("Killed Velmar process"), std::vector<std::string>{"Log: Killed Velmar process #0"});
  Platform::DestroyWindow(stop);
}

TEST_F(RunControl, EngineExitingBeforeInitializeEndsTheWaitAtOnce) {
  TSettings::SetVelmarFilename(Script("quits.sh", "exit 3"));
  TSettings::SetVelmarStartTimeout(30);
  AddModels(1);
  EXPECT_EQ(StartError(), "Velmar exited before initializing (exit status 3)");
}

TEST_F(RunControl, EngineDyingMidRunCancelsAndTheRunEnds) {
  AddModels(2);
  InitializeWhenLaunched();
  ASSERT_EQ(StartError(), "started");
  EXPECT_FALSE(Sim.IsSimulationDone());
  Platform::TerminateProcess(Sim.Processes[1].ProcInfo.hProcess);
  Platform::WaitForProcess(Sim.Processes[1].ProcInfo.hProcess, 5000);
  EXPECT_FALSE(Sim.IsSimulationDone());  // engine 0 still counts as running
  EXPECT_TRUE(Sim.Cancel);
  EXPECT_EQ(LinesWith("exited"),
            std::vector<std::string>{"Error: Velmar #1 exited without finalizing (exit status 137); cancelling simulation"});
  Platform::TerminateProcess(Sim.Processes[0].ProcInfo.hProcess);
  Platform::WaitForProcess(Sim.Processes[0].ProcInfo.hProcess, 5000);
  EXPECT_TRUE(Sim.IsSimulationDone());
  EXPECT_TRUE(Sim.LastRunCancelled());
  EXPECT_EQ(LinesWith("exited").back(), "Log: Velmar #0 exited");
}

TEST_F(RunControl, NewStartStopsTheEnginesOfACancelledRun) {
  AddModels(1);
  InitializeWhenLaunched();
  ASSERT_EQ(StartError(), "started");
  Sim.CancelSimulation();
  EXPECT_FALSE(Sim.IsSimulationDone());
  Document.ClearModels();
  EXPECT_EQ(StartError(), "started");
  EXPECT_EQ(LinesWith("Killed Velmar process"), std::vector<std::string>{"Log: Killed Velmar process #0"});
  EXPECT_TRUE(Sim.IsSimulationDone());
}

}  // namespace
