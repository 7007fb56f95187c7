#include "SimulatorTestSupport.h"

namespace {

class Barrier : public SimulatorTest {
 protected:
  std::string Why(uint32_t client, uint32_t step) {
    std::string why = "unchanged";
    const bool ok = Sim.CanStartTimestep(client, step, why);
    return ok ? "go (" + why + ")" : why;
  }
  static std::string Stop(int id, int client) {
    return Call(id, "StopTimeStep", Client(client, ",\"VelmarStateVarsPop\":{}"));
  }
  static bool StepResult(const std::string& reply) {
    const IJsonValue inner = JsonMember(JsonMember(JsonParse(reply), "result"), "result");
    return inner && inner->AsBoolean();
  }
};

TEST_F(Barrier, WhoHoldsWhom) {
  Simulating(4);
  for (auto& p : Sim.Processes) p.TimeStep = 5;
  Sim.Processes[0].TimeStep = 4;
  EXPECT_EQ(Why(2, 5), "ClientID 0 has not completed timestep 4");
  EXPECT_EQ(Why(2, 0), "go (unchanged)");
  Sim.Processes[0].TimeStep = 5;
  Sim.Processes[3].TimeStep = 4;
  EXPECT_EQ(Why(0, 5), "ClientID 3 has not completed timestep 4");
  Sim.Processes[1].TimeStep = 2;
  EXPECT_EQ(Why(0, 5), "ClientID 1 has not completed timestep 4");
  // An engine that has initialised and not started simulating yet holds
  // the others like any other; one that stopped simulating, finalised or
  // exited holds nobody.
  Sim.Processes[1].Simulating = false;
  Sim.Processes[3].Simulating = false;
  EXPECT_EQ(Why(0, 5), "ClientID 1 has not completed timestep 4");
  Sim.Processes[1].SimulationStopped = true;
  EXPECT_EQ(Why(0, 5), "ClientID 3 has not completed timestep 4");
  Sim.Processes[3].Finalized = true;
  EXPECT_EQ(Why(0, 5), "go (unchanged)");
  Sim.Processes[3].Finalized = false;
  Sim.Processes[3].Exited = true;
  EXPECT_EQ(Why(0, 5), "go (unchanged)");
}

TEST_F(Barrier, SingleClientNeverWaits) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  Simulating(1);
  Sim.Processes[0].TimeStep = 7;
  const uint64_t start = clock.TickCount();
  EXPECT_TRUE(StepResult(Handle(Call(1, "StartTimeStep", Client(0)))));
  EXPECT_EQ(clock.TickCount(), start);
  EXPECT_FALSE(Logged("Debug: ClientID 0 is waiting because ClientID 0 has not completed timestep 6"));
}

TEST_F(Barrier, HeldUntilTheLaggingStopIsHandled) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  Simulating(3);
  Sim.Processes[0].TimeStep = 4;
  Sim.Processes[1].TimeStep = 5;
  Sim.Processes[2].TimeStep = 5;
  Queue(Stop(50, 0), 10);
  const std::string reply = Handle(Call(51, "StartTimeStep", Client(2)), 12);
  EXPECT_TRUE(StepResult(reply)) << reply;
  EXPECT_FALSE(Sim.Cancel);
  ASSERT_EQ(Writer.Replies.size(), 2u);
  // The freeing call was answered first, inside the wait.
  EXPECT_EQ(Writer.Replies[0], std::make_pair(10u, std::string("{\"result\":true,\"id\":50,\"jsonrpc\":\"2.0\"}")));
  EXPECT_EQ(Writer.Replies[1].first, 12u);
  EXPECT_TRUE(Logged("Debug: ClientID 2 is waiting because ClientID 0 has not completed timestep 4"));
  EXPECT_LT(clock.TickCount() - 1000000, 1000u);
}

TEST_F(Barrier, TimeOutCancelsTheRun) {
  for (uint32_t timeout : {0u, 60u}) {
    Platform::TManualClock clock;
    Platform::TClockGuard guard(clock);
    Sim.Cancel = false;
    Lines.clear();
    TSettings::SetVelmarTimeStepTimeout(timeout);
    Simulating(2);
    Sim.Processes[0].TimeStep = 3;
    Sim.Processes[1].TimeStep = 2;
    const std::string reply = Handle(Call(9, "StartTimeStep", Client(0)));
    EXPECT_FALSE(StepResult(reply)) << reply;
    const uint64_t waited = clock.TickCount() - 1000000;
    EXPECT_GE(waited, (timeout + 1) * 1000u);
    EXPECT_LT(waited, (timeout + 1) * 1000u + 200u);
    EXPECT_TRUE(Sim.Cancel);
    EXPECT_TRUE(Logged("Error: Timed out waiting for clients < ClientID 0 to complete timestep 3"));
    // And which engine it waited for.
    EXPECT_TRUE(Logged("Error: ClientID 1 has not completed timestep 2"));
    EXPECT_EQ(std::count_if(Lines.begin(), Lines.end(),
                            [](const std::string& l) { return l.find("is waiting because") != std::string::npos; }),
              1);
    EXPECT_EQ(Handle(Call(10, "Echo", Client(1, ",\"Value\":1"))), "{\"result\":false,\"id\":10,\"jsonrpc\":\"2.0\"}");
  }
}

TEST_F(Barrier, StopDuringTheWaitEndsIt) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  Simulating(2);
  Sim.Processes[0].TimeStep = 1;
  Platform::HWND stop = Platform::CreateWindow([this](Platform::HWND, uint32_t, Platform::WPARAM, Platform::LPARAM) {
    Sim.CancelSimulation();
    return Platform::LRESULT{0};
  });
  Platform::PostMessage(stop, 1, 0, 0);
  EXPECT_FALSE(StepResult(Handle(Call(3, "StartTimeStep", Client(0)))));
  EXPECT_TRUE(Logged("Error: Timed out waiting for clients < ClientID 0 to complete timestep 1"));
  EXPECT_LT(clock.TickCount() - 1000000, 1000u);
  Platform::DestroyWindow(stop);
}

TEST_F(Barrier, HeldCallsReleasedLatestFirst) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  Simulating(4);
  for (auto& p : Sim.Processes) p.TimeStep = 1;
  Sim.Processes[3].TimeStep = 0;
  // Clients 0, 1, 2 ask for step 1 while client 3 has not finished step 0.
  Queue(Call(101, "StartTimeStep", Client(1)), 101);
  Queue(Call(102, "StartTimeStep", Client(2)), 102);
  Queue(Stop(103, 3), 103);
  Handle(Call(100, "StartTimeStep", Client(0)), 100);
  ASSERT_EQ(Writer.Replies.size(), 4u);
  // 0, 1 and 2 are held in that order; once 3's stop is answered they are
  // released latest first.
  EXPECT_EQ(Writer.Replies[0].first, 103u);
  EXPECT_EQ(Writer.Replies[1].first, 102u);
  EXPECT_EQ(Writer.Replies[2].first, 101u);
  EXPECT_EQ(Writer.Replies[3].first, 100u);
  for (size_t i = 1; i < 4; ++i) EXPECT_TRUE(StepResult(Writer.Replies[i].second));
}

// An engine that joins late (simulating from step 0) holds one that was
// about to start step 5, while a third has already finished step 5. The
// third's next start must not end up beneath the held call it waits for.
TEST_F(Barrier, LateJoinerDoesNotLockTheOthers) {
  Platform::TManualClock clock;
  Platform::TClockGuard guard(clock);
  Simulating(3);
  Sim.Processes[0].TimeStep = 6;
  Sim.Processes[1].TimeStep = 5;
  Sim.Processes[2].TimeStep = 0;
  auto replies = [&](uint32_t pipe) {
    return std::count_if(Writer.Replies.begin(), Writer.Replies.end(), [&](const auto& r) { return r.first == pipe; });
  };
  Server->ProcessRPC(11, Call(1, "StartTimeStep", Client(1)));
  Server->ProcessRPC(10, Call(2, "StartTimeStep", Client(0)));
  // Both are held and neither handling is still running.
  EXPECT_EQ(Sim.ParkedCallCount(), 2u);
  EXPECT_EQ(replies(10) + replies(11), 0);
  for (int step = 0; step < 5; ++step) Server->ProcessRPC(12, Stop(10 + step, 2));
  // Client 1 may go on; client 0 still waits for client 1's step 5.
  EXPECT_EQ(replies(11), 1);
  EXPECT_EQ(replies(10), 0);
  EXPECT_TRUE(StepResult(Writer.Replies.back().second));
  Server->ProcessRPC(11, Stop(20, 1));
  EXPECT_EQ(replies(10), 0);  // client 2 has step 5 to go
  Server->ProcessRPC(12, Stop(21, 2));
  EXPECT_EQ(replies(10), 1);
  EXPECT_TRUE(StepResult(Writer.Replies.back().second));
  EXPECT_EQ(Sim.ParkedCallCount(), 0u);
  EXPECT_FALSE(Sim.Cancel);
  EXPECT_EQ(clock.TickCount(), 1000000u);
}

}  // namespace
