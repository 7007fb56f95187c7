// The manager's overhead on the engines' calls, each figure beside the
// baseline it is judged against, measured in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <cstring>
#include <functional>
#include <string>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "BenchTable.h"

#include "Shared/Componen/ThreadSync.h"
#include "Shared/JSON_RPC.h"
#include "client/VelmarClient.h"
#include "coordination/Simulation.h"
#include "coordination/WinUtils.h"
#include "diagnostics/Logging.h"
#include "diagnostics/TextUtils.h"
#include "documents/SettingsUnit.h"
#include "platform/Messages.h"
#include "platform/Process.h"

namespace {

using Clock = std::chrono::steady_clock;

// Files of this run; helpers started by the run share its id.
std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("velmar-bench-" + std::string(std::getenv("VELMAR_BENCH_ID")) +
                                                    "-" + name))
      .string();
}

// Settings of the benchmark's own, and debug lines dropped or kept.
void SetUpModule(bool debugToFile, const std::string& logFile) {
  TSettings::SetSettingsPathname(TempPath("settings.ini"));
  TSettings::SetUseExternalProcessor(false);
  // As the window does: debug lines only with the debug switch on.
  TSettings::SetDebugMessages(debugToFile);
  Logger().SetLogHandler(
      [debugToFile, logFile](const TLogEvent& e, bool& handled) {
        handled = true;
        if (debugToFile) TextUtils::AppendLineToFile(e.Message, logFile);
      },
      &TSettings::GetDebugMessages);
}

// A processor on a thread: answers each request line with answer(head)
// and a LF, where head is the line's first bytes (enough for its id). The
// rest of a line is read and dropped, as a processor that streams its input
// would, so a long request costs the processor no memory.
struct TFakeProcessor {
  static constexpr size_t HEAD = 256;
  int ToProcessor[2]{-1, -1}, FromProcessor[2]{-1, -1};
  std::thread Thread;
  explicit TFakeProcessor(std::function<std::string(const std::string&)> answer) {
    Platform::CreatePipe(ToProcessor[0], ToProcessor[1]);
    Platform::CreatePipe(FromProcessor[0], FromProcessor[1]);
    WinUtils::PrepareChildInputPipe(ToProcessor[1]);  // as the manager makes it
    Thread = std::thread([this, answer] {
      std::string head;
      std::vector<char> buf(64 * 1024);
      size_t n = 0;
      for (;;) {
        if (Platform::ReadPipe(ToProcessor[0], buf.data(), buf.size(), n) != 0 || n == 0) return;
        for (size_t at = 0; at < n;) {
          const char* lf = static_cast<const char*>(std::memchr(buf.data() + at, '\n', n - at));
          const size_t end = lf ? static_cast<size_t>(lf - buf.data()) : n;
          if (head.size() < HEAD) head.append(buf.data() + at, std::min(end - at, HEAD - head.size()));
          at = end + 1;
          if (!lf) break;
          const std::string reply = answer(head) + "\n";
          head.clear();
          size_t written = 0;
          if (Platform::WritePipe(FromProcessor[1], reply.data(), reply.size(), written) != 0) return;
        }
      }
    });
  }
  ~TFakeProcessor() {
    Platform::CloseHandleClear(ToProcessor[1]);
    Thread.join();
    Platform::CloseHandleClear(ToProcessor[0]);
    Platform::CloseHandleClear(FromProcessor[0]);
    Platform::CloseHandleClear(FromProcessor[1]);
  }
};

// Answers with the request's own id, as a processor must.
std::string AnswerWithId(const std::string& request) {
  const size_t at = request.find("\"id\":");
  const std::string id = at == std::string::npos ? "null" : request.substr(at + 5, request.find(',', at) - at - 5);
  return R"({"result":true,"id":)" + id + R"(,"jsonrpc":"2.0"})";
}

// ---- Baseline: a raw SOCK_SEQPACKET ping-pong between two processes.
const std::string ECHO_REQUEST = R"({"jsonrpc":"2.0","id":1,"method":"Echo","params":{"ClientID":0,"Value":42}})";

// Helper: echoes every message on fd until the peer hangs up.
int RawEchoMain(int fd) {
  std::vector<char> buf(64 * 1024);
  for (;;) {
    const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) return 0;
    send(fd, buf.data(), static_cast<size_t>(n), MSG_NOSIGNAL);
  }
}

void BM_RawSeqpacketPingPong(benchmark::State& state) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds);
  const pid_t echo = BenchTable::SpawnSelf({"--raw-echo", std::to_string(fds[1])}, {fds[1]});
  close(fds[1]);
  char buf[4096];
  for (auto _ : state) {
    send(fds[0], ECHO_REQUEST.data(), ECHO_REQUEST.size(), MSG_NOSIGNAL);
    if (recv(fds[0], buf, sizeof buf, 0) <= 0) state.SkipWithError("echo helper gone");
  }
  close(fds[0]);
  BenchTable::Reap(echo);
}
BENCHMARK(BM_RawSeqpacketPingPong)->UseRealTime();

// ---- The manager in a process of its own, as an engine meets it: the
// JSON-RPC server on the pipe and the engine-call handler. Modes:
// direct (debug lines off), debug (each debug line appended to a log file),
// processor (a processor thread answers every call), bulk (the same, the
// one slot simulating, for long StopTimeStep calls).
int ManagerMain(const std::string& mode, const std::string& logFile) {
  const bool debug = mode == "debug";
  SetUpModule(debug, logFile);
  // Debug lines are written only without a processor.
  TSettings::SetUseExternalProcessor(!debug);
  TSettings::SetVelmarTimeStepTimeout(60);
  TSimulation Sim;
  Sim.Startup();
  std::unique_ptr<TFakeProcessor> processor;
  if (mode == "processor" || mode == "bulk") {
    processor = std::make_unique<TFakeProcessor>(&AnswerWithId);
    Sim.Processor().Attach(processor->ToProcessor[1], processor->FromProcessor[0]);
    Sim.JsonRpcServer().SetOnRPCRaw([&Sim](uint32_t pipe, std::string_view rpc) { return Sim.OnRPCRaw(pipe, rpc); });
  } else {
    Sim.JsonRpcServer().SetOnRPC([&Sim](uint32_t pipe, const std::string& method, const IJsonValue& params) { return Sim.OnRPC(pipe, method, params); });
  }
  Sim.Processes.assign(1, EmptyProcess);
  if (mode == "bulk") Sim.Processes[0].Initialized = Sim.Processes[0].Simulating = true;
  // Runs until the benchmark kills it.
  for (;;)
    if (!Platform::ProcessMessages()) Platform::WaitMessage(20);
}

void EchoOverPipe(benchmark::State& state, const char* mode) {
  const std::string logFile = TempPath(std::string("echo-") + mode + ".log");
  const pid_t manager = BenchTable::SpawnSelf({"--manager", mode, logFile});
  {
    TVelmarClient client;
    client.Connect(VELMAR_PIPE_NAME, 5000);
    for (auto _ : state) benchmark::DoNotOptimize(client.Call("Echo", {{"ClientID", 0}, {"Value", 42}}, 5000));
  }
  BenchTable::Reap(manager, true);
  std::filesystem::remove(logFile);
}
void BM_EchoOverPipe(benchmark::State& state) { EchoOverPipe(state, "direct"); }
void BM_EchoOverPipe_DebugToLogFile(benchmark::State& state) { EchoOverPipe(state, "debug"); }
void BM_EchoOverPipe_ThroughProcessor(benchmark::State& state) { EchoOverPipe(state, "processor"); }
BENCHMARK(BM_EchoOverPipe)->UseRealTime();
BENCHMARK(BM_EchoOverPipe_DebugToLogFile)->UseRealTime();
BENCHMARK(BM_EchoOverPipe_ThroughProcessor)->UseRealTime();

// ---- A 10 MB request: one StopTimeStep whose "VelmarStateVarsPop" holds
// populations of a thousand numbers each.
constexpr size_t BULK_SIZE = 10 * 1000 * 1000;

std::string BulkStopTimeStep() {
  std::string s = R"({"jsonrpc":"2.0","id":7,"method":"StopTimeStep","params":{"ClientID":0,"VelmarStateVarsPop":{)";
  for (int pop = 0; s.size() < BULK_SIZE; ++pop) {
    if (pop > 0) s += ',';
    s += "\"P" + std::to_string(pop) + "\":[";
    for (int i = 0; i < 1000; ++i) {
      if (i > 0) s += ',';
      s += std::to_string(1000 + (i * 7919 + pop * 31) % 100000) + "." + std::to_string(i % 97);
    }
    s += ']';
  }
  return s + "}}}";
}

// A figure of a process's memory from /proc (kB), 0 when unreadable.
long ProcStatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  return 0;
}

void BM_Request10MB(benchmark::State& state) {
  const std::string request = BulkStopTimeStep();
  const pid_t manager = BenchTable::SpawnSelf({"--manager", "bulk", TempPath("bulk.log")});
  double peakExtraKb = 0;
  {
    TVelmarClient client;
    client.Connect(VELMAR_PIPE_NAME, 5000);
    const std::string clearRefs = "/proc/" + std::to_string(manager) + "/clear_refs";
    for (auto _ : state) {
      // The manager's high-water mark starts again at what it holds now.
      state.PauseTiming();
      std::ofstream(clearRefs) << "5";
      const long before = ProcStatusKb(manager, "VmRSS");
      state.ResumeTiming();
      client.Send(request, 60000);
      if (client.Receive(60000).find("\"id\":7") == std::string::npos) state.SkipWithError("wrong reply");
      state.PauseTiming();
      peakExtraKb = std::max(peakExtraKb, static_cast<double>(ProcStatusKb(manager, "VmHWM") - before));
      state.ResumeTiming();
    }
  }
  BenchTable::Reap(manager, true);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * request.size()));
  state.counters["PeakExtraMB"] = peakExtraKb / 1024.0;
  state.counters["MessageMB"] = static_cast<double>(request.size()) / (1024.0 * 1024.0);
}
BENCHMARK(BM_Request10MB)->UseRealTime()->Unit(benchmark::kMillisecond);

// Baseline: the same bytes through a raw socket pair in 64 KB messages to a
// process that reads them all and answers with one short message.
int RawSinkMain(int fd, size_t bytes) {
  std::vector<char> buf(64 * 1024);
  for (;;) {
    size_t got = 0;
    while (got < bytes) {
      const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) return 0;
      got += static_cast<size_t>(n);
    }
    send(fd, "ok", 2, MSG_NOSIGNAL);
  }
}

// The bulk request in 64 KB messages over a socket pair to a helper process
// in the given role, which answers with two bytes once it has done its part.
void BulkToHelper(benchmark::State& state, const std::string& role) {
  const std::string request = BulkStopTimeStep();
  int fds[2];
  socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds);
  const pid_t helper = BenchTable::SpawnSelf({role, std::to_string(fds[1]), std::to_string(request.size())}, {fds[1]});
  close(fds[1]);
  constexpr size_t PIECE = 64 * 1024;
  for (auto _ : state) {
    for (size_t at = 0; at < request.size(); at += PIECE)
      send(fds[0], request.data() + at, std::min(PIECE, request.size() - at), MSG_NOSIGNAL);
    char reply[16];
    if (recv(fds[0], reply, sizeof reply, 0) != 2) state.SkipWithError("helper gone");
  }
  close(fds[0]);
  BenchTable::Reap(helper);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * request.size()));
}

void BM_Request10MB_RawSocketPair(benchmark::State& state) { BulkToHelper(state, "--raw-sink"); }
BENCHMARK(BM_Request10MB_RawSocketPair)->UseRealTime()->Unit(benchmark::kMillisecond);

// The least the manager's path for a long request must do, with none of
// its own machinery: receive the packets, collect them in a new unnamed
// temporary file 256 KiB at a time, read the file back into memory kept
// from call to call, check the text with the JSON scanner, hand it to a
// processor thread through a pipe as the bridge does (copied into it, the
// manager's pipe size), answer, and let the file go. The 10 MB figure is
// measured against it: it is how fast that path runs on this machine.
int FloorSinkMain(int fd, size_t bytes) {
  std::vector<char> packet(64 * 1024), stage(256 * 1024);
  void* mapped = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return 1;
  madvise(mapped, bytes, MADV_HUGEPAGE);
  char* text = static_cast<char*>(mapped);
  int toProcessor[2];
  if (pipe2(toProcessor, O_CLOEXEC) != 0) return 1;
  WinUtils::PrepareChildInputPipe(toProcessor[1]);
  std::thread processor([&] {
    std::vector<char> buf(64 * 1024);
    for (;;) {
      const ssize_t n = read(toProcessor[0], buf.data(), buf.size());
      if (n <= 0) return;
      if (std::memchr(buf.data(), '\n', static_cast<size_t>(n))) send(fd, "ok", 2, MSG_NOSIGNAL);
    }
  });
  const std::string dir = std::filesystem::temp_directory_path().string();
  for (;;) {
    const int file = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (file < 0) break;
    size_t got = 0, staged = 0;
    while (got < bytes) {
      const ssize_t n = recv(fd, packet.data(), packet.size(), 0);
      if (n <= 0) break;
      if (staged + static_cast<size_t>(n) > stage.size()) {
        if (write(file, stage.data(), staged) != static_cast<ssize_t>(staged)) break;
        staged = 0;
      }
      std::memcpy(stage.data() + staged, packet.data(), static_cast<size_t>(n));
      staged += static_cast<size_t>(n);
      got += static_cast<size_t>(n);
    }
    if (got < bytes || write(file, stage.data(), staged) != static_cast<ssize_t>(staged) ||
        pread(file, text, bytes, 0) != static_cast<ssize_t>(bytes) || !JsonScan(std::string_view(text, bytes), 2)) {
      close(file);
      break;
    }
    size_t written = 0;
    Platform::WritePipe(toProcessor[1], text, bytes, written);
    Platform::WritePipe(toProcessor[1], "\r\n", 2, written);
    Platform::FlushPipe(toProcessor[1], 60000, -1);
    close(file);
  }
  close(toProcessor[1]);
  processor.join();
  return 0;
}

void BM_Request10MB_DesignFloor(benchmark::State& state) { BulkToHelper(state, "--floor-sink"); }
BENCHMARK(BM_Request10MB_DesignFloor)->UseRealTime()->Unit(benchmark::kMillisecond);

// ---- Barrier release: from the start of handling the StopTimeStep that
// frees a held StartTimeStep to that call's reply being queued.
class TStamp : public IRpcReplyWriter {
 public:
  bool Write(uint32_t pipe, const void*, uint32_t) override {
    if (pipe == 1) Released = Clock::now();
    return true;
  }
  Clock::time_point Released;
};

void BM_BarrierRelease(benchmark::State& state) {
  SetUpModule(false, "");
  TSettings::SetUseExternalProcessor(true);
  static TStamp writer;  // outlives the server
  TStamp* stamp = &writer;
  auto owned = std::make_unique<TJsonRpcServer>(writer);
  TJsonRpcServer* server = owned.get();
  TSimulation Sim;
  Sim.SetJsonRpcServer(std::move(owned));
  server->SetOnRPC([&Sim](uint32_t pipe, const std::string& method, const IJsonValue& params) { return Sim.OnRPC(pipe, method, params); });
  Sim.Processes.assign(2, EmptyProcess);
  for (auto& p : Sim.Processes) p.Initialized = p.Simulating = true;
  Sim.Processes[1].ClientID = 1;
  const std::string start = R"({"jsonrpc":"2.0","id":1,"method":"StartTimeStep","params":{"ClientID":0}})";
  const std::string stop =
      R"({"jsonrpc":"2.0","id":2,"method":"StopTimeStep","params":{"ClientID":1,"VelmarStateVarsPop":{}}})";
  for (auto _ : state) {
    // Client 0 has finished one more step than client 1 and is held.
    Sim.Processes[0].TimeStep = Sim.Processes[1].TimeStep + 1;
    server->ProcessRPC(1, start);
    const Clock::time_point begin = Clock::now();
    server->ProcessRPC(2, stop);
    state.SetIterationTime(std::chrono::duration<double>(stamp->Released - begin).count());
    Sim.Processes[0].TimeStep = Sim.Processes[1].TimeStep;  // client 0's stop
  }
  Sim.Shutdown();
  Logger().SetLogHandler(nullptr);
}
BENCHMARK(BM_BarrierRelease)->UseManualTime();

// Baseline: the same release noticed by a wait that polls every 100 ms.
void BM_BarrierRelease_Polling100ms(benchmark::State& state) {
  for (auto _ : state) {
    std::atomic<bool> freed{false};
    Clock::time_point noticed;
    std::thread waiter([&] {
      while (!freed) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      noticed = Clock::now();
    });
    // The freeing call comes at a random point of the poll period.
    std::this_thread::sleep_for(std::chrono::milliseconds(17 * (state.iterations() % 6) + 3));
    const Clock::time_point begin = Clock::now();
    freed = true;
    waiter.join();
    state.SetIterationTime(std::chrono::duration<double>(noticed - begin).count());
  }
}
BENCHMARK(BM_BarrierRelease_Polling100ms)->UseManualTime()->Iterations(12);

class TSink : public IRpcReplyWriter {
 public:
  bool Write(uint32_t, const void*, uint32_t count) override {
    Bytes = count;
    return true;
  }
  uint32_t Bytes = 0;
};

// ---- A 1 MB processor reply read through the bridge.
constexpr size_t REPLY_SIZE = 1 << 20;

// The processor's answer to the request with id 1, REPLY_SIZE bytes long:
// the bridge passes on only what replies to its request.
std::string LongReply() {
  const std::string head = R"({"jsonrpc":"2.0","id":1,"result":")", tail = R"("})";
  return head + std::string(REPLY_SIZE - head.size() - tail.size(), 'x') + tail;
}

void BM_ProcessorReply1MB(benchmark::State& state) {
  SetUpModule(false, "");
  TSettings::SetUseExternalProcessor(true);
  TSettings::SetVelmarTimeStepTimeout(60);
  static TSink sink;
  auto owned = std::make_unique<TJsonRpcServer>(sink);
  TJsonRpcServer* server = owned.get();
  TSimulation Sim;
  Sim.SetJsonRpcServer(std::move(owned));
  server->SetOnRPCRaw([&Sim](uint32_t pipe, std::string_view rpc) { return Sim.OnRPCRaw(pipe, rpc); });
  Sim.Processes.assign(1, EmptyProcess);
  TFakeProcessor processor([](const std::string&) { return LongReply(); });
  Sim.Processor().Attach(processor.ToProcessor[1], processor.FromProcessor[0]);
  const std::string request = R"({"jsonrpc":"2.0","id":1,"method":"Echo","params":{"ClientID":0,"Value":1}})";
  for (auto _ : state) {
    server->ProcessRPC(1, request);
    if (sink.Bytes != REPLY_SIZE + 1) state.SkipWithError("short reply");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * REPLY_SIZE));
  Sim.Processor().Detach();
  Sim.Shutdown();
  Logger().SetLogHandler(nullptr);
}
BENCHMARK(BM_ProcessorReply1MB)->UseRealTime();

// Baseline: the same megabyte read from the pipe in one plain loop.
void BM_PipeRead1MB(benchmark::State& state) {
  TFakeProcessor processor([](const std::string&) { return LongReply(); });
  std::vector<char> buf(64 * 1024);
  for (auto _ : state) {
    size_t n = 0;
    Platform::WritePipe(processor.ToProcessor[1], "\n", 1, n);
    std::string reply;
    while (reply.empty() || reply.back() != '\n') {
      const ssize_t got = read(processor.FromProcessor[0], buf.data(), buf.size());
      if (got <= 0) break;
      reply.append(buf.data(), static_cast<size_t>(got));
    }
    if (reply.size() != REPLY_SIZE + 1) state.SkipWithError("short reply");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * REPLY_SIZE));
}
BENCHMARK(BM_PipeRead1MB)->UseRealTime();

void AddRows(const BenchTable::TCollector& c) {
  using namespace BenchTable;
  const auto raw = c.Seconds("BM_RawSeqpacketPingPong");
  const auto echo = c.Seconds("BM_EchoOverPipe");
  const auto debug = c.Seconds("BM_EchoOverPipe_DebugToLogFile");
  const auto viaProcessor = c.Seconds("BM_EchoOverPipe_ThroughProcessor");
  if (raw && echo)
    AddRow("Echo round trip, direct mode, debug lines off", Time(*echo),
           "≤ 2 × raw seqpacket ping-pong between processes (" + Time(*raw) + ")", Fixed(*echo / *raw, 2),
           Verdict(*echo <= 2 * *raw));
  if (echo && debug)
    AddRow("Echo round trip, debug lines on, log file written", Time(*debug), "≤ 2 × direct (" + Time(*echo) + ")",
           Fixed(*debug / *echo, 2), Verdict(*debug <= 2 * *echo));
  if (echo && viaProcessor)
    AddRow("Echo round trip through a processor", Time(*viaProcessor), "— (direct: " + Time(*echo) + ")",
           Fixed(*viaProcessor / *echo, 2), "—");
  const auto barrier = c.Seconds("BM_BarrierRelease");
  const auto polling = c.Seconds("BM_BarrierRelease_Polling100ms");
  if (barrier)
    AddRow("Barrier release", Time(*barrier),
           "< 1 ms (polling every 100 ms: " + (polling ? Time(*polling) : std::string("not run")) + ")",
           polling ? "1/" + Fixed(*polling / *barrier, 0) : "—", Verdict(*barrier < 1e-3));
  const auto bulk = c.Seconds("BM_Request10MB");
  const auto bulkRaw = c.Seconds("BM_Request10MB_RawSocketPair");
  const auto floor = c.Seconds("BM_Request10MB_DesignFloor");
  const auto peak = c.Counter("BM_Request10MB", "PeakExtraMB");
  const auto size = c.Counter("BM_Request10MB", "MessageMB");
  if (bulk && floor && peak && size) {
    const double mb = *size * 1024 * 1024;
    const bool pass = *floor / *bulk >= 0.75 && *peak <= 3 * *size;
    AddRow("10 MB request through the pipe and the processor",
           Rate(mb / *bulk) + ", peak +" + Fixed(*peak, 1) + " MB",
           "≥ 0.75 × the same path without the manager (" + Rate(mb / *floor) + "); peak ≤ " +
               Fixed(3 * *size, 0) + " MB",
           Fixed(*floor / *bulk, 2) + " (rate), " + Fixed(*peak / *size, 2) + " (memory)", Verdict(pass));
  }
  if (floor && bulkRaw && size)
    AddRow("Same path without the manager: packets to a new temporary file, read back, scanned, to a processor",
           Rate(*size * 1024 * 1024 / *floor), "— (raw socketpair: " + Rate(*size * 1024 * 1024 / *bulkRaw) + ")",
           Fixed(*bulkRaw / *floor, 2) + " (rate)", "—");
  const auto reply = c.Seconds("BM_ProcessorReply1MB");
  const auto pipeRead = c.Seconds("BM_PipeRead1MB");
  if (reply && pipeRead)
    AddRow("1 MB processor reply read", Rate(REPLY_SIZE / *reply),
           "≥ 1/2 of a plain pipe read loop (" + Rate(REPLY_SIZE / *pipeRead) + ")", Fixed(*pipeRead / *reply, 2),
           Verdict(*pipeRead / *reply >= 0.5));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string role = argc > 1 ? argv[1] : "";
  if (role == "--raw-echo" && argc == 3) return RawEchoMain(std::atoi(argv[2]));
  if (role == "--raw-sink" && argc == 4) return RawSinkMain(std::atoi(argv[2]), std::stoul(argv[3]));
  if (role == "--floor-sink" && argc == 4) return FloorSinkMain(std::atoi(argv[2]), std::stoul(argv[3]));
  if (role == "--manager" && argc == 4) return ManagerMain(argv[2], argv[3]);
  setenv("VELMAR_BENCH_ID", std::to_string(getpid()).c_str(), 1);
  setenv("VELMAR_PIPE_NAMESPACE", ("velmar-bench-" + std::to_string(getpid()) + "-").c_str(), 1);
  InitializeThreadSync();
  const BenchTable::TCollector collector = BenchTable::RunAndCollect(argc, argv);
  AddRows(collector);
  TSettings::SetSettingsPathname("");
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::temp_directory_path()))
    if (entry.path().filename().string().rfind("velmar-bench-" + std::to_string(getpid()) + "-", 0) == 0)
      std::filesystem::remove(entry.path());
  return 0;
}
