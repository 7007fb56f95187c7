#include "SimulatorTestSupport.h"

namespace {

using EngineCalls = SimulatorTest;

// The "result" of a StartTimeStep reply is the modifier-result object.
bool StepResult(const std::string& reply) {
  const IJsonValue inner = JsonMember(JsonMember(JsonParse(reply), "result"), "result");
  EXPECT_TRUE(inner != nullptr) << reply;
  return inner && inner->AsBoolean();
}

TEST_F(EngineCalls, EchoAndCaseInsensitiveMethods) {
  Simulating(2);
  EXPECT_EQ(Handle(Call(1, "Echo", Client(1, ",\"Value\":42"))), "{\"result\":42,\"id\":1,\"jsonrpc\":\"2.0\"}");
  EXPECT_TRUE(Logged("Debug: Processing Echo(42) for ClientID 1"));
  EXPECT_EQ(Handle(Call(2, "ECHO", Client(0, ",\"Value\":-7"))), "{\"result\":-7,\"id\":2,\"jsonrpc\":\"2.0\"}");
  EXPECT_EQ(Handle(Call(3, "echo", Client(0))), "{\"result\":0,\"id\":3,\"jsonrpc\":\"2.0\"}");
  EXPECT_TRUE(Logged("Error: Echo call is missing required parameter \"Value\""));
  // Only the low 32 bits of the value count.
  EXPECT_EQ(Handle(Call(4, "Echo", Client(0, ",\"Value\":4294967297"))), "{\"result\":1,\"id\":4,\"jsonrpc\":\"2.0\"}");
}

TEST_F(EngineCalls, CancelAnswersEverythingFalseWithoutEffect) {
  Simulating(1);
  Sim.Cancel = true;
  const size_t lines = Lines.size();
  EXPECT_EQ(Handle(Call(7, "Echo", Client(0, ",\"Value\":42"))), "{\"result\":false,\"id\":7,\"jsonrpc\":\"2.0\"}");
  EXPECT_EQ(Handle(Call(8, "Finalize", Client(0))), "{\"result\":false,\"id\":8,\"jsonrpc\":\"2.0\"}");
  EXPECT_FALSE(Sim.Processes[0].Finalized);
  EXPECT_TRUE(Sim.Processes[0].IsRunning());
  // No handler line: only the server's own lines may appear.
  for (size_t i = lines; i < Lines.size(); ++i)
    EXPECT_EQ(Lines[i].find("TJsonRpcServer.ProcessRPC"), 9u) << "handler line: " << Lines[i];
}

TEST_F(EngineCalls, MissingOrUnknownClientIdChangesNothing) {
  Simulating(2);
  EXPECT_EQ(Handle(Call(5, "Initialize", "{\"Other\":\"x\"}")), "{\"result\":false,\"id\":5,\"jsonrpc\":\"2.0\"}");
  EXPECT_TRUE(Logged("Error: RPC \"Initialize\" is missing ClientID; cancelling process ({\"Other\":\"x\"})"));
  EXPECT_FALSE(Sim.Cancel);
  EXPECT_EQ(Handle(Call(6, "StopTimeStep", Client(2, ",\"VelmarStateVarsPop\":[]"))),
            "{\"result\":false,\"id\":6,\"jsonrpc\":\"2.0\"}");
  EXPECT_TRUE(Logged("Error: RPC \"StopTimeStep\" from unknown ClientID 2"));
  EXPECT_EQ(Handle("{\"jsonrpc\":\"2.0\",\"id\":9,\"method\":\"Finalize\",\"params\":[1]}"),
            "{\"result\":false,\"id\":9,\"jsonrpc\":\"2.0\"}");
  EXPECT_TRUE(Logged("Error: RPC \"Finalize\" is missing ClientID; cancelling process ([1])"));
  Sim.Processes.clear();
  EXPECT_EQ(Handle(Call(10, "Initialize", Client(0))), "{\"result\":false,\"id\":10,\"jsonrpc\":\"2.0\"}");
  EXPECT_TRUE(Logged("Error: RPC \"Initialize\" from unknown ClientID 0"));
}

TEST_F(EngineCalls, UnknownMethodGivesNoResultAndNoLine) {
  Simulating(1);
  const size_t lines = Lines.size();
  EXPECT_EQ(Handle(Call(12, "Frobnicate", Client(0))), "{\"id\":12,\"jsonrpc\":\"2.0\"}");
  for (size_t i = lines; i < Lines.size(); ++i)
    EXPECT_EQ(Lines[i].find("TJsonRpcServer.ProcessRPC"), 9u) << "handler line: " << Lines[i];
}

TEST_F(EngineCalls, SlotLifecycleAndLogLines) {
  Sim.Processes.assign(1, EmptyProcess);
  EXPECT_EQ(Handle(Call(1, "Initialize", Client(0))), "{\"result\":true,\"id\":1,\"jsonrpc\":\"2.0\"}");
  EXPECT_TRUE(Sim.Processes[0].IsRunning());
  EXPECT_EQ(Handle(Call(2, "StartSimulation", Client(0, ",\"VelmarStateVarsGlobal\":{}"))),
            "{\"result\":true,\"id\":2,\"jsonrpc\":\"2.0\"}");
  EXPECT_TRUE(Sim.Processes[0].Simulating);
  EXPECT_TRUE(StepResult(Handle(Call(3, "StartTimeStep", Client(0)))));
  EXPECT_EQ(Handle(Call(4, "StopTimeStep", Client(0, ",\"VelmarStateVarsPop\":[1]"))),
            "{\"result\":true,\"id\":4,\"jsonrpc\":\"2.0\"}");
  EXPECT_EQ(Handle(Call(5, "StopTimeStep", Client(0, ",\"VelmarStateVarsPop\":[1]"))),
            "{\"result\":true,\"id\":5,\"jsonrpc\":\"2.0\"}");
  EXPECT_EQ(Sim.Processes[0].TimeStep, 2u);
  EXPECT_EQ(Handle(Call(6, "StopTimeStep", Client(0))), "{\"result\":false,\"id\":6,\"jsonrpc\":\"2.0\"}");
  EXPECT_EQ(Sim.Processes[0].TimeStep, 2u);
  EXPECT_EQ(Handle(Call(7, "StopSimulation", Client(0))), "{\"result\":true,\"id\":7,\"jsonrpc\":\"2.0\"}");
  EXPECT_FALSE(Sim.Processes[0].Simulating);
  EXPECT_EQ(Handle(Call(8, "Finalize", Client(0))), "{\"result\":true,\"id\":8,\"jsonrpc\":\"2.0\"}");
  EXPECT_FALSE(Sim.Processes[0].IsRunning());

  const std::vector<std::string> expected = {
      "Debug: Calling internal Initialize for ClientID 0",
      "Log: Velmar #0 initializing",
      "Debug: Back from internal Initialize for ClientID 0",
      "Debug: Starting TimeStep 0 for ClientID 0",
      "Log: Velmar #0 starting time step #0",
      "Debug: Stopping TimeStep 0 for ClientID 0",
      "Log: Velmar #0 stopped time step #0",
      "Log: Velmar #0 stopped time step #1",
      "Error: StopTimeStep call is missing required parameter \"VelmarStateVarsPop\"",
      "Log: Velmar #0 stopped simulating",
      "Log: Velmar #0 finalized",
  };
  size_t at = 0;
  for (const std::string& line : Lines)
    if (at < expected.size() && line == expected[at]) ++at;
  EXPECT_EQ(at, expected.size()) << "missing or out of order: " << (at < expected.size() ? expected[at] : "");
}

TEST_F(EngineCalls, ProcessorModeHidesInternalLines) {
  Simulating(1);
  TSettings::SetUseExternalProcessor(true);
  Handle(Call(1, "Initialize", Client(0)));
  Handle(Call(2, "Echo", Client(0, ",\"Value\":3")));
  EXPECT_TRUE(Logged("Log: Velmar #0 initializing"));
  EXPECT_FALSE(Logged("Debug: Calling internal Initialize for ClientID 0"));
  EXPECT_FALSE(Logged("Debug: Processing Echo(3) for ClientID 0"));
}

TEST_F(EngineCalls, StartSimulationWithoutInitializeGivesUpAfterFixedWait) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  Sim.Processes.assign(1, EmptyProcess);
  const uint64_t start = clock.TickCount();
  EXPECT_EQ(Handle(Call(3, "StartSimulation", Client(0, ",\"VelmarStateVarsGlobal\":1"))),
            "{\"result\":true,\"id\":3,\"jsonrpc\":\"2.0\"}");
  const uint64_t waited = clock.TickCount() - start;
  EXPECT_GE(waited, 61000u);
  EXPECT_LT(waited, 61200u);
  EXPECT_TRUE(Sim.Cancel);
  EXPECT_FALSE(Sim.Processes[0].Simulating);
  EXPECT_TRUE(Logged("Log: StartSimulation: gave up waiting for processes to initialize; cancelling simulation"));
}

TEST_F(EngineCalls, StartSimulationWaitsForInitializeNestedInside) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  Sim.Processes.assign(1, EmptyProcess);
  Queue(Call(1, "Initialize", Client(0)));
  EXPECT_EQ(Handle(Call(2, "StartSimulation", Client(0, ",\"VelmarStateVarsGlobal\":1"))),
            "{\"result\":true,\"id\":2,\"jsonrpc\":\"2.0\"}");
  EXPECT_TRUE(Sim.Processes[0].Simulating);
  EXPECT_FALSE(Sim.Cancel);
  ASSERT_EQ(Writer.Replies.size(), 2u);
  EXPECT_EQ(Writer.Replies[0].second, "{\"result\":true,\"id\":1,\"jsonrpc\":\"2.0\"}");
}

}  // namespace
