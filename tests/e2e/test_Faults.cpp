// Whole runs with things going wrong: engines killed or stalled, processors
// crashing or talking nonsense, a stranger on the pipe sending junk. In
// every case the run ends (or goes on) as it should, every reply is well
// formed, the log tells what happened, and nothing is left behind: no
// process, zombie, descriptor or temporary file.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "../tools/ToolPaths.h"
#include "RunSupport.h"
#include "Shared/Componen/PipeFraming.h"
#include "Shared/Componen/ThreadSync.h"
#include "coordination/Simulation.h"
#include "diagnostics/Logging.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "platform/Clock.h"
#include "platform/LocalSocket.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using RunSupport::ChildProcesses;
using RunSupport::OpenDescriptors;

// A reply as the protocol has it: compact ASCII JSON, version 2.0, the id
// of its request, and either a result or an error with a code and a text.
void ExpectWellFormedReply(const std::string& text, const json& id) {
  for (unsigned char c : text) ASSERT_LT(c, 0x80) << "not ASCII: " << text;
  const json reply = json::parse(text, nullptr, false);
  ASSERT_TRUE(reply.is_object()) << text;
  EXPECT_EQ(reply.value("jsonrpc", ""), "2.0") << text;
  ASSERT_TRUE(reply.contains("id")) << text;
  EXPECT_EQ(reply["id"], id) << text;
  EXPECT_NE(reply.contains("result"), reply.contains("error")) << text;
  if (reply.contains("error")) {
    EXPECT_TRUE(reply["error"].is_object() && reply["error"].contains("code") && reply["error"]["code"].is_number_integer() &&
                reply["error"].contains("message") && reply["error"]["message"].is_string())
        << text;
  }
}

std::string ControlPacket(uint32_t code) {
  uint8_t block[PIPE_MSG_BLOCK_SIZE];
  EncodePipeMsgBlock(code, block);
  return std::string(reinterpret_cast<const char*>(block), sizeof block);
}

class Faults : public ::testing::Test {
 protected:
  // The simulation module, shared by the suite as the program shares its one.
  static inline TSimulation Sim;
  static void SetUpTestSuite() {
    setenv("VELMAR_PIPE_NAMESPACE", ("velmar-faults-" + std::to_string(getpid()) + "-").c_str(), 1);
    // Multi-packet messages are collected in files here; it must be empty
    // after every test.
    Base = fs::temp_directory_path();
    TempDir = Base / ("velmar-faults-tmp-" + std::to_string(getpid()));
    fs::create_directories(TempDir);
    setenv("TMPDIR", TempDir.c_str(), 1);
    InitializeThreadSync();
    Sim.Startup();
    // Whatever the process machinery sets up on first use is there before
    // any test counts descriptors.
    Platform::TProcessInformation info;
    Platform::TSpawnRequest warmUp;
    warmUp.CommandLine = "true";
    if (Platform::SpawnProcess(warmUp, info) == 0) {
      Platform::WaitForProcess(info.hProcess, 10000);
      Platform::CloseProcessHandle(info.hProcess);
    }
  }
  static void TearDownTestSuite() {
    Sim.Shutdown();
    FinalizeThreadSync();
    fs::remove_all(TempDir);
  }
  void SetUp() override {
    Dir = Base / ("velmar-faults-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    TSettings::SetSettingsPathname((Dir / "settings.ini").string());
    TSettings::SetVelmarFilename(ToolPaths::Program("velmar-refengine"));
    TSettings::SetUseExternalProcessor(false);
    TSettings::SetExternalProcessorCloseCommand("");
    TSettings::SetVelmarTimeStepTimeout(20);
    TSettings::SetVelmarStartTimeout(20);
    Logger().SetLogHandler([this](const TLogEvent& e, bool& handled) {
      if (e.EventType != etDebug) Lines.push_back(std::string(EVENT_TYPES[e.EventType]) + ": " + e.RawMessage);
      if (OnLine) OnLine(e.RawMessage);
      handled = true;
    });
    Descriptors = OpenDescriptors();
  }
  void TearDown() override {
    // A failed test must not hand its engines to the next one.
    for (auto& p : Sim.Processes)
      if (p.ProcInfo.hProcess >= 0 && Platform::TerminateProcess(p.ProcInfo.hProcess))
        Platform::WaitForProcess(p.ProcInfo.hProcess, 10000);
    Logger().SetLogHandler(nullptr);
    SetMaxMessageSize(MAX_MESSAGE_SIZE);
    if (HasFailure())
      for (const auto& l : Lines) std::printf("  | %s\n", l.c_str());
    TSettings::SetSettingsPathname("");
    fs::remove_all(Dir);
  }

  void NewDocument() {
    Document.ClearModels();
    Lines.clear();
    OnLine = nullptr;
  }
  void Model(int i, int years, const std::string& extra = "") {
    const std::string path = (Dir / ("m" + std::to_string(i) + ".vm")).string();
    std::ofstream(path) << "years = " << years << "\nseed = " << (11 + i) << "\n" << extra << "\n[population P" << i
                        << "]\ninitial = " << (100 + 50 * i) << "\ncapacity = 1000\ngrowth = 0.2\n";
    Document.AddModel()->SetFilename(path);
  }
  // A shell script as the external processor.
  void Processor(const std::string& body) {
    const std::string path = (Dir / "processor.sh").string();
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
    TSettings::SetUseExternalProcessor(true);
    TSettings::SetExternalProcessorFilename(path);
  }
  // Starts the run; false (with the error logged) when the start failed.
  bool Start() {
    try {
      Sim.StartSimulation(Document);
      return true;
    } catch (const std::exception& e) {
      Lines.push_back("Start failed: " + ExceptionMessage(e));
      return false;
    }
  }
  // Polls the run to its end as the window's timer does.
  void Finish() {
    const uint64_t start = Platform::GetTickCount64();
    while (!Sim.IsSimulationDone()) {
      Sim.WaitPass();
      ASSERT_LT(Platform::GetTickCount64() - start, 60000u) << "run did not end";
    }
  }
  bool Logged(const std::string& line) const { return std::find(Lines.begin(), Lines.end(), line) != Lines.end(); }
  bool LoggedStart(const std::string& prefix) const {
    return std::any_of(Lines.begin(), Lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
  }
  // Every engine has ended; their exit statuses by slot.
  std::vector<uint32_t> EngineExits() {
    std::vector<uint32_t> out;
    for (auto& p : Sim.Processes) {
      uint32_t code = Platform::STILL_ACTIVE;
      if (p.ProcInfo.hProcess >= 0) {
        EXPECT_EQ(Platform::WaitForProcess(p.ProcInfo.hProcess, 20000), Platform::WAIT_OBJECT_0);
        Platform::GetExitCodeProcess(p.ProcInfo.hProcess, code);
      }
      out.push_back(code);
    }
    return out;
  }
  // No child process (engine, processor, zombie) is left: waits for
  // stragglers a while, as a processor ends at its own pace.
  void ExpectNoChildren() {
    std::vector<std::string> left;
    for (int i = 0; i < 200; ++i) {
      left = ChildProcesses();
      if (left.empty()) break;
      usleep(50000);
    }
    EXPECT_TRUE(left.empty()) << left.size() << " left, first: " << left.front();
  }
  // Descriptors as before the test (the run's process handles go with the
  // module), and no temporary file.
  void ExpectNothingLeft() {
    ExpectNoChildren();
    Sim.Shutdown();
    Sim.Startup();
    // The reaper closes its own handle of a child just after the child is
    // gone: give it a moment.
    std::vector<std::string> extra;
    for (int i = 0; i < 100; ++i) {
      const auto now = OpenDescriptors();
      extra.clear();
      std::set_difference(now.begin(), now.end(), Descriptors.begin(), Descriptors.end(), std::back_inserter(extra));
      if (extra.empty()) break;
      usleep(50000);
    }
    EXPECT_TRUE(extra.empty()) << extra.size() << " new descriptors, first: " << extra.front();
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(TempDir)) files.push_back(e.path().filename().string());
    EXPECT_TRUE(files.empty()) << files.size() << " temporary files, first: " << files.front();
  }

  static inline fs::path Base, TempDir;
  fs::path Dir;
  TDocument Document;
  std::vector<std::string> Lines;
  std::function<void(const std::string&)> OnLine;
  std::multiset<std::string> Descriptors;
};

// ---- engines ----

TEST_F(Faults, EnginesKilledAtRandomPointsCancelTheRun) {
  // Twenty runs of three engines; in each, one engine is killed inside one
  // of its calls: while initialising (the start is still going on), or as
  // a time step starts or stops.
  for (unsigned seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    const int victim = static_cast<int>(rng() % 3);
    const int point = static_cast<int>(rng() % 41);  // 0: initialising; else a step's start or stop
    const int step = (point - 1) / 2;
    const std::string v = "Velmar #" + std::to_string(victim);
    const std::string trigger = point == 0       ? v + " initializing"
                                : point % 2 == 1 ? v + " starting time step #" + std::to_string(step)
                                                 : v + " stopped time step #" + std::to_string(step);
    NewDocument();
    for (int i = 0; i < 3; ++i) Model(i, 20, "delay_ms = 2");
    bool killed = false;
    OnLine = [&](const std::string& line) {
      if (!killed && line == trigger) killed = Platform::TerminateProcess(Sim.Processes[victim].ProcInfo.hProcess);
    };
    const bool started = Start();
    Finish();
    ASSERT_TRUE(killed) << trigger;
    EXPECT_TRUE(!started || Sim.LastRunCancelled());
    EXPECT_TRUE(Logged("Error: " + v + " exited without finalizing (exit status 137); cancelling simulation"));
    const auto exits = EngineExits();
    for (size_t i = 0; i < exits.size(); ++i) {
      if (static_cast<int>(i) == victim) {
        EXPECT_EQ(exits[i], 137u);
      } else {
        // Told "no" (1), killed by the failed start (137), or done before
        // the kill (0); never left without a reply (4) or cut off (5).
        EXPECT_TRUE(exits[i] == 0 || exits[i] == 1 || exits[i] == 137) << "engine " << i << ": " << exits[i];
      }
    }
    ExpectNoChildren();
    if (HasFailure()) break;
  }
  ExpectNothingLeft();
}

TEST_F(Faults, EngineThatStopsAnsweringTimesOutTheBarrierAndIsKilled) {
  TSettings::SetVelmarTimeStepTimeout(3);
  NewDocument();
  for (int i = 0; i < 3; ++i) Model(i, 30, "delay_ms = 5");
  // Engine 1 freezes after its fifth step: it neither calls nor exits.
  bool stopped = false;
  OnLine = [&](const std::string& line) {
    if (!stopped && line == "Velmar #1 stopped time step #5")
      stopped = kill(static_cast<pid_t>(Sim.Processes[1].ProcInfo.dwProcessId), SIGSTOP) == 0;
  };
  ASSERT_TRUE(Start());
  Finish();
  ASSERT_TRUE(stopped);
  EXPECT_TRUE(Sim.LastRunCancelled());
  EXPECT_TRUE(LoggedStart("Error: Timed out waiting for clients < ClientID "));
  EXPECT_TRUE(Logged("Log: Killed Velmar process #1"));
  EXPECT_TRUE(Logged("Log: Velmar #1 exited"));
  const auto exits = EngineExits();
  // The others were told "no" when the barrier gave up; on a loaded machine
  // their own wait for that reply (a second longer) may run out first.
  EXPECT_TRUE(exits[0] == 1 || exits[0] == 4) << exits[0];
  EXPECT_EQ(exits[1], 137u);
  EXPECT_TRUE(exits[2] == 1 || exits[2] == 4) << exits[2];
  ExpectNothingLeft();
}

// ---- the external processor ----

// Answers every request with a plain true until the last engine has stopped
// three steps, then does what `then` says with the request it just read.
std::string ProcessorScript(const std::string& then) {
  return "n=0\nwhile IFS= read -r l; do\n"
         "  case \"$l\" in *'\"method\":\"StopTimeStep\"'*'\"ClientID\":1'[,}]*) n=$((n+1));; esac\n"
         "  if [ $n -gt 3 ]; then " + then + "; fi\n"
         "  id=$(printf '%s' \"$l\" | sed -n 's/.*\"id\":\\([0-9]*\\).*/\\1/p')\n"
         "  printf '{\"result\":true,\"id\":%s,\"jsonrpc\":\"2.0\"}\\n' \"$id\"\ndone\n";
}

TEST_F(Faults, ProcessorCrashingMidCallCancelsTheRun) {
  NewDocument();
  for (int i = 0; i < 2; ++i) Model(i, 30, "delay_ms = 2");
  Processor(ProcessorScript("kill -SEGV $$"));
  ASSERT_TRUE(Start());
  Finish();
  EXPECT_TRUE(Sim.LastRunCancelled());
  EXPECT_TRUE(Logged("Error: External processor closed its output; cancelling simulation"));
  // The engines heard "no" (an empty reply, as a cancelled run with a
  // processor gives) and stopped.
  for (uint32_t code : EngineExits()) EXPECT_EQ(code, 1u);
  ExpectNothingLeft();
}

TEST_F(Faults, ProcessorLineWithoutEndTimesOut) {
  TSettings::SetVelmarTimeStepTimeout(2);
  NewDocument();
  for (int i = 0; i < 2; ++i) Model(i, 30, "delay_ms = 2");
  // Half a reply, then silence (it still reads, so it takes the close).
  Processor(ProcessorScript("printf '{\"result\":tr'; cat > /dev/null; exit 0"));
  ASSERT_TRUE(Start());
  Finish();
  EXPECT_TRUE(Sim.LastRunCancelled());
  EXPECT_TRUE(Logged("Error: External processor did not answer within 4 seconds; cancelling simulation"));
  // The caller may give up first: its own wait is as long as ours.
  for (uint32_t code : EngineExits()) EXPECT_TRUE(code == 1 || code == 4) << code;
  ExpectNothingLeft();
}

TEST_F(Faults, ProcessorAnsweringGarbageIsReported) {
  NewDocument();
  for (int i = 0; i < 2; ++i) Model(i, 30, "delay_ms = 2");
  // From the fourth stop of engine 1 on, every answer is binary junk with a
  // line end: the run is cancelled, the engines hear "no" and stop.
  Processor(ProcessorScript("printf '\\001\\377\\376 not json \\000 at all\\n'; continue"));
  ASSERT_TRUE(Start());
  Finish();
  EXPECT_TRUE(Sim.LastRunCancelled());
  EXPECT_TRUE(LoggedStart("Error: External processor's answer to StopTimeStep for ClientID 1 is not its reply (not "
                          "JSON): \\x01\xff\xfe not json"));
  for (uint32_t code : EngineExits()) EXPECT_EQ(code, 1u);
  ExpectNothingLeft();
}

TEST_F(Faults, ProcessorLineWithoutEndIsCutOffAtTheBound) {
  SetMaxMessageSize(100000);
  NewDocument();
  for (int i = 0; i < 2; ++i) Model(i, 30, "delay_ms = 2");
  // Once, half as much again as the bound with no line end, at pipe speed
  // (the time-out would take seconds); then it goes on as before.
  Processor(ProcessorScript("[ -z \"$big\" ] && { big=1; head -c 150000 /dev/zero | tr '\\0' x; continue; }"));
  ASSERT_TRUE(Start());
  Finish();
  EXPECT_TRUE(Sim.LastRunCancelled());
  EXPECT_TRUE(Logged("Error: External processor's answer is longer than 100000 bytes; cancelling simulation"));
  for (uint32_t code : EngineExits()) EXPECT_EQ(code, 1u);
  ExpectNothingLeft();
}

// ---- a stranger on the pipe ----

// A client of our own on the main thread: it never blocks, so the manager
// (which needs this thread) keeps serving while it waits.
class TStranger {
 public:
  // sim keeps serving while the stranger waits.
  TStranger(TSimulation& sim, const std::string& pipe) : Sim(sim) {
    EXPECT_TRUE(FSocket.Connect(pipe).Done());
  }
  // Sends one packet; false once the manager has hung up.
  bool Send(const std::string& packet) {
    for (int i = 0; i < 2000; ++i) {
      const Platform::TIo r = FSocket.Write(packet.data(), packet.size()).Status;
      if (r == Platform::TIo::Done) return true;
      if (r != Platform::TIo::WouldBlock) return false;
      Sim.WaitPass();
    }
    ADD_FAILURE() << "the manager stopped reading";
    return false;
  }
  // The next whole message, or nothing once the manager has hung up.
  std::optional<std::string> Receive() {
    std::vector<uint8_t> buffer(MAX_BUFFER + 1);
    const uint64_t start = Platform::GetTickCount64();
    while (Platform::GetTickCount64() - start < 20000) {
      size_t got = 0;
      const Platform::TIo r = FSocket.ReadMessage(buffer, got).Status;
      if (r == Platform::TIo::Done) {
        std::optional<std::string> message;
        FReceiver.Receive(std::span<const uint8_t>(buffer.data(), got),
                          [&](const TPipeMessage& m) { message = m.Text(); });
        if (message) return message;
        continue;
      }
      if (r != Platform::TIo::WouldBlock) return std::nullopt;
      Sim.WaitPass();
    }
    ADD_FAILURE() << "no reply and no hang-up";
    return std::nullopt;
  }
  // Sends one packet if the socket takes it within a few wait passes.
  bool TrySend(const std::string& packet) {
    for (int i = 0; i < 10; ++i) {
      const Platform::TIo r = FSocket.Write(packet.data(), packet.size()).Status;
      if (r == Platform::TIo::Done) return true;
      if (r != Platform::TIo::WouldBlock) return false;
      Sim.WaitPass();
    }
    return false;
  }
  void Close() { FSocket.Close(); }

 private:
  TSimulation& Sim;
  Platform::TLocalSocket FSocket;
  TPipeReceiver FReceiver;
};

TEST_F(Faults, StrangerSendingJunkDuringARunLeavesTheRunAlone) {
  // A small bound stands in for the real one, so hitting it is quick.
  constexpr int64_t kBound = 100000;
  SetMaxMessageSize(kBound);
  NewDocument();
  for (int i = 0; i < 3; ++i) Model(i, 40, "delay_ms = 10");
  ASSERT_TRUE(Start());
  TPipeServer& server = *Sim.JsonRpcServer().PipeServer();
  ASSERT_EQ(server.GetClientCount(), 3);
  const std::string pipe = VELMAR_PIPE_NAME;
  const std::string start = ControlPacket(MB_START), end = ControlPacket(MB_END);
  {
    TStranger s(Sim, pipe);
    // Truncated, not UTF-8, binary: each gets a parse-error reply.
    for (const std::string& junk : {std::string("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"Ec"),
                                    std::string("{\"jsonrpc\":\"2.0\",\"id\":2,\"method\":\"Echo\",\"params\":"
                                                "{\"ClientID\":0,\"Value\":\"\xff\xfe\xc0\"}}"),
                                    std::string("\x00\x01\x02\xff\n\r\x7f", 7)}) {
      ASSERT_TRUE(s.Send(junk));
      const auto reply = s.Receive();
      ASSERT_TRUE(reply);
      ExpectWellFormedReply(*reply, nullptr);
      EXPECT_EQ(json::parse(*reply)["error"]["code"], -32700);
    }
    // A long one is quoted in the log only in part.
    ASSERT_TRUE(s.Send(std::string(40000, '#')));
    ASSERT_TRUE(s.Receive());
    EXPECT_TRUE(Logged("Error: Invalid JSON-RPC request: " + std::string(1000, '#') + "... (40000 bytes)"));
    // A well-formed call for an engine that is not in the run: "no".
    ASSERT_TRUE(s.Send("{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"StopTimeStep\",\"params\":{\"ClientID\":9}}"));
    auto reply = s.Receive();
    ASSERT_TRUE(reply);
    ExpectWellFormedReply(*reply, 7);
    EXPECT_EQ(json::parse(*reply)["result"], false);
    // A message restarted half-way: only the second one counts.
    for (const std::string& p : {start, std::string(30000, ' '), start,
                                 std::string("{\"jsonrpc\":\"2.0\",\"id\":8,\"method\":\"Echo\","),
                                 std::string("\"params\":{\"ClientID\":0,\"Value\":5}}"), end})
      ASSERT_TRUE(s.Send(p));
    reply = s.Receive();
    ASSERT_TRUE(reply);
    ExpectWellFormedReply(*reply, 8);
    EXPECT_EQ(json::parse(*reply)["result"], 5);
    // Cut off in the middle of a message: nothing is answered.
    ASSERT_TRUE(s.Send(start));
    ASSERT_TRUE(s.Send(std::string(50000, '[')));
    s.Close();
  }
  {
    // A framed message one byte past the bound: cut off, nothing answered.
    TStranger s(Sim, pipe);
    ASSERT_TRUE(s.Send(start));
    ASSERT_TRUE(s.Send(std::string(MAX_BUFFER, 'x')));
    s.Send(std::string(kBound - MAX_BUFFER + 1, 'x'));
    s.Send(end);
    EXPECT_FALSE(s.Receive());
  }
  {
    // One packet past the bound: the same.
    TStranger s(Sim, pipe);
    s.Send(std::string(kBound + 1, 'y'));
    EXPECT_FALSE(s.Receive());
  }
  {
    // A message that never ends: the manager hangs up long before the disk
    // could fill (the bound is about two packets here).
    TStranger s(Sim, pipe);
    ASSERT_TRUE(s.Send(start));
    int sent = 0;
    while (sent < 1000 && s.Send(std::string(MAX_BUFFER, 'z'))) ++sent;
    EXPECT_LT(sent, 1000);
    EXPECT_FALSE(s.Receive());
  }
  // None of that touched the run, which is still going on.
  const std::string cutOffEnd =
      " is larger than " + std::to_string(kBound) + " bytes; connection closed, partial message discarded";
  const int cutOff = static_cast<int>(std::count_if(Lines.begin(), Lines.end(), [&](const std::string& l) {
    return l.rfind("Error: Message from client ", 0) == 0 && l.size() > cutOffEnd.size() &&
           l.compare(l.size() - cutOffEnd.size(), cutOffEnd.size(), cutOffEnd) == 0;
  }));
  EXPECT_EQ(cutOff, 3);
  EXPECT_TRUE(LoggedStart("Error: Invalid JSON-RPC request: "));
  EXPECT_TRUE(Logged("Error: RPC \"StopTimeStep\" from unknown ClientID 9"));
  EXPECT_FALSE(Sim.Cancel);
  EXPECT_FALSE(Sim.IsSimulationDone()) << "the run ended before the stranger was done; give the engines more years";
  Finish();
  EXPECT_FALSE(Sim.LastRunCancelled());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(Logged("Log: Velmar #" + std::to_string(i) + " finalized"));
  for (uint32_t code : EngineExits()) EXPECT_EQ(code, 0u);
  // Every connection, the strangers' and the engines', is gone.
  for (int i = 0; i < 100 && server.GetClientCount() > 0; ++i) Sim.WaitPass();
  EXPECT_EQ(server.GetClientCount(), 0);
  ExpectNothingLeft();
}

TEST_F(Faults, StrangerThatNeverReadsStallsOnlyItself) {
  NewDocument();
  for (int i = 0; i < 3; ++i) Model(i, 40, "delay_ms = 10");
  ASSERT_TRUE(Start());
  // Requests, never reading a reply: the manager stops reading from this
  // client once its reply is not taken, so nothing piles up on our side and
  // the client's own socket fills.
  TStranger s(Sim, VELMAR_PIPE_NAME);
  int sent = 0;
  while (sent < 100000 && s.TrySend("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"Echo\",\"params\":{\"ClientID\":9}}"))
    ++sent;
  EXPECT_LT(sent, 100000);
  const size_t answered = static_cast<size_t>(std::count(Lines.begin(), Lines.end(), "Error: RPC \"Echo\" from unknown ClientID 9"));
  // It answers what fits in the client's unread socket buffer (a few
  // hundred short replies) and one batch of 64 more, and no more.
  EXPECT_LE(answered, 400u);
  EXPECT_FALSE(Sim.IsSimulationDone());
  Finish();
  s.Close();
  EXPECT_FALSE(Sim.LastRunCancelled());
  for (uint32_t code : EngineExits()) EXPECT_EQ(code, 0u);
  TPipeServer& server = *Sim.JsonRpcServer().PipeServer();
  for (int i = 0; i < 100 && server.GetClientCount() > 0; ++i) Sim.WaitPass();
  EXPECT_EQ(server.GetClientCount(), 0);
  ExpectNothingLeft();
}

TEST_F(Faults, StrangerCannotSplitAProcessorLine) {
  NewDocument();
  for (int i = 0; i < 2; ++i) Model(i, 40, "delay_ms = 10");
  // Answers each line with a reply carrying the id found in it.
  Processor("while IFS= read -r l; do\n"
            "  id=$(printf '%s' \"$l\" | sed -n 's/.*\"id\":\\([0-9]*\\).*/\\1/p')\n"
            "  printf '{\"result\":true,\"id\":%s,\"jsonrpc\":\"2.0\"}\\n' \"${id:-0}\"\ndone");
  ASSERT_TRUE(Start());
  // A request with line ends between its tokens: as two lines it would get
  // two answers, and every engine's later reply would be one call late.
  TStranger s(Sim, VELMAR_PIPE_NAME);
  ASSERT_TRUE(s.Send("{\"jsonrpc\":\"2.0\",\"id\":5,\r\n\"method\":\"Echo\",\n\"params\":{\"ClientID\":9}}"));
  const auto reply = s.Receive();
  ASSERT_TRUE(reply);
  EXPECT_EQ(json::parse(*reply)["id"], 5) << *reply;
  s.Close();
  Finish();
  EXPECT_FALSE(Sim.LastRunCancelled());
  for (uint32_t code : EngineExits()) EXPECT_EQ(code, 0u);
  ExpectNothingLeft();
}

TEST_F(Faults, ProcessorAnsweringWithAnotherIdCancelsTheRunAndIsEnded) {
  NewDocument();
  for (int i = 0; i < 2; ++i) Model(i, 30, "delay_ms = 2");
  // At the fourth stop of engine 1, an answer for some other request, after
  // which it would answer in step again but one line late.
  Processor(ProcessorScript("[ $n -eq 4 ] && printf '{\"result\":true,\"id\":424242}\\n'"));
  ASSERT_TRUE(Start());
  Finish();
  EXPECT_TRUE(Sim.LastRunCancelled());
  EXPECT_TRUE(LoggedStart("Error: External processor's answer to StopTimeStep for ClientID 1 is not its reply (its "
                          "\"id\" is 424242, not "));
  EXPECT_FALSE(Logged("Info: Simulation complete"));
  EXPECT_TRUE(Logged("Log: External processor ended after its failure"));
  for (uint32_t code : EngineExits()) EXPECT_EQ(code, 1u);
  ExpectNothingLeft();
}

// A processor that stops reading costs the run one time-out, not one per
// engine: nothing more is written to it once it has failed, and it is ended
// with the run instead of being left behind.
TEST_F(Faults, ProcessorThatStopsReadingEndsARunOfEightWithinOneTimeOut) {
  constexpr uint32_t TIMEOUT = 3;
  TSettings::SetVelmarTimeStepTimeout(TIMEOUT);
  NewDocument();
  for (int i = 0; i < 8; ++i) Model(i, 200, "delay_ms = 2");
  Processor(ProcessorScript("exec sleep 1000"));
  ASSERT_TRUE(Start());
  const uint64_t start = Platform::GetTickCount64();
  Finish();
  EXPECT_LT(Platform::GetTickCount64() - start, (TIMEOUT + 5) * 1000u);
  EXPECT_TRUE(Sim.LastRunCancelled());
  // One failure, said once: no other call waited for it or wrote to it.
  EXPECT_EQ(std::count_if(Lines.begin(), Lines.end(),
                          [](const std::string& l) {
                            return l.find("xternal processor") != std::string::npos &&
                                   (l.rfind("Error: ", 0) == 0 || l.rfind("Exception: ", 0) == 0);
                          }),
            1);
  EXPECT_TRUE(Logged("Error: External processor did not answer within 5 seconds; cancelling simulation"));
  EXPECT_TRUE(Logged("Log: External processor ended after its failure"));
  EngineExits();
  ExpectNothingLeft();
}

}  // namespace
