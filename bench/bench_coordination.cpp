// The manager's overhead on the engines' calls, each figure beside the
// baseline it is judged against, measured in the same run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "Shared/Componen/ThreadSync.h"
#include "Shared/JSON_RPC.h"
#include "client/VelmarClient.h"
#include "coordination/Simulator.h"
#include "diagnostics/Logging.h"
#include "diagnostics/TextUtils.h"
#include "documents/SettingsUnit.h"
#include "platform/Messages.h"
#include "platform/Process.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string TempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("velmar-bench-" + std::to_string(getpid()) + "-" + name)).string();
}

// Settings of the benchmark's own, and debug lines dropped or kept.
void SetUpModule(bool debugToFile, const std::string& logFile) {
  TSettings::SetSettingsPathname(TempPath("settings.ini"));
  TSettings::SetUseExternalProcessor(false);
  Logger().SetLogHandler([debugToFile, logFile](const TLogEvent& e, bool& handled) {
    handled = true;
    if (debugToFile) TextUtils::AppendLineToFile(e.Message, logFile);
  });
}

// ---- Baseline: a raw SOCK_SEQPACKET ping-pong, nothing else.
void BM_RawSeqpacketPingPong(benchmark::State& state) {
  int fds[2];
  socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds);
  std::thread echo([fd = fds[1]] {
    char buf[4096];
    for (;;) {
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return;
      send(fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
    }
  });
  const std::string request = R"({"jsonrpc":"2.0","id":1,"method":"Echo","params":{"ClientID":0,"Value":42}})";
  char buf[4096];
  for (auto _ : state) {
    send(fds[0], request.data(), request.size(), MSG_NOSIGNAL);
    benchmark::DoNotOptimize(recv(fds[0], buf, sizeof buf, 0));
  }
  shutdown(fds[0], SHUT_RDWR);
  echo.join();
  close(fds[0]);
  close(fds[1]);
}
BENCHMARK(BM_RawSeqpacketPingPong)->UseRealTime();

// A processor on a thread: answers each request line with answer(line)
// and a LF.
struct TFakeProcessor {
  int ToProcessor[2]{-1, -1}, FromProcessor[2]{-1, -1};
  std::thread Thread;
  explicit TFakeProcessor(std::function<std::string(const std::string&)> answer) {
    Platform::CreatePipe(ToProcessor[0], ToProcessor[1]);
    Platform::CreatePipe(FromProcessor[0], FromProcessor[1]);
    Thread = std::thread([this, answer] {
      std::string line;
      char buf[4096];
      size_t n = 0;
      for (;;) {
        if (Platform::ReadPipe(ToProcessor[0], buf, sizeof buf, n) != 0 || n == 0) return;
        line.append(buf, n);
        for (size_t lf; (lf = line.find('\n')) != std::string::npos; line.erase(0, lf + 1)) {
          const std::string reply = answer(line.substr(0, lf)) + "\n";
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

// ---- Echo through the whole manager: pipe server, JSON-RPC, the handler.
// The manager runs on a thread of its own (its main thread, as far as the
// transport is concerned); the benchmark thread is the engine.
enum TEchoMode { emDirect, emDebugToFile, emProcessor };

void EchoOverPipe(benchmark::State& state, TEchoMode mode) {
  const std::string logFile = TempPath("echo.log");
  std::atomic<bool> ready{false}, stop{false};
  // Answers with the request's own id, as a processor must.
  TFakeProcessor processor([](const std::string& request) {
    const size_t at = request.find("\"id\":");
    const std::string id = at == std::string::npos ? "null" : request.substr(at + 5, request.find(',', at) - at - 5);
    return R"({"result":42,"id":)" + id + R"(,"jsonrpc":"2.0"})";
  });
  std::thread manager([&] {
    SetUpModule(mode == emDebugToFile, logFile);
    // Debug lines are written only without a processor.
    TSettings::SetUseExternalProcessor(mode != emDebugToFile);
    InitializeSimulator();
    if (mode == emProcessor) {
      ExternalProcessorWritePipe = processor.ToProcessor[1];
      ExternalProcessorReadPipe = processor.FromProcessor[0];
      JsonRpcServer().SetOnRPCRaw(&TRpcHandler::OnRPCRaw);
    } else {
      JsonRpcServer().SetOnRPC(&TRpcHandler::OnRPC);
    }
    Processes.assign(1, EmptyProcess);
    ready = true;
    while (!stop)
      if (!Platform::ProcessMessages()) Platform::WaitMessage(20);
    FinalizeSimulator();
    ExternalProcessorWritePipe = ExternalProcessorReadPipe = -1;
    Logger().SetLogHandler(nullptr);
  });
  while (!ready) std::this_thread::yield();
  {
    TVelmarClient client;
    client.Connect(VELMAR_PIPE_NAME, 5000);
    for (auto _ : state) benchmark::DoNotOptimize(client.Call("Echo", {{"ClientID", 0}, {"Value", 42}}, 5000));
  }
  stop = true;
  manager.join();
  std::filesystem::remove(logFile);
}
void BM_EchoOverPipe(benchmark::State& state) { EchoOverPipe(state, emDirect); }
void BM_EchoOverPipe_DebugToLogFile(benchmark::State& state) { EchoOverPipe(state, emDebugToFile); }
void BM_EchoOverPipe_ThroughProcessor(benchmark::State& state) { EchoOverPipe(state, emProcessor); }
BENCHMARK(BM_EchoOverPipe)->UseRealTime();
BENCHMARK(BM_EchoOverPipe_DebugToLogFile)->UseRealTime();
BENCHMARK(BM_EchoOverPipe_ThroughProcessor)->UseRealTime();

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
  SetJsonRpcServer(std::move(owned));
  server->SetOnRPC(&TRpcHandler::OnRPC);
  Processes.assign(2, EmptyProcess);
  for (auto& p : Processes) p.Initialized = p.Simulating = true;
  Processes[1].ClientID = 1;
  const std::string start = R"({"jsonrpc":"2.0","id":1,"method":"StartTimeStep","params":{"ClientID":0}})";
  const std::string stop =
      R"({"jsonrpc":"2.0","id":2,"method":"StopTimeStep","params":{"ClientID":1,"VelmarStateVarsPop":{}}})";
  for (auto _ : state) {
    // Client 0 has finished one more step than client 1 and is held.
    Processes[0].TimeStep = Processes[1].TimeStep + 1;
    server->ProcessRPC(1, start);
    const Clock::time_point begin = Clock::now();
    server->ProcessRPC(2, stop);
    state.SetIterationTime(std::chrono::duration<double>(stamp->Released - begin).count());
    Processes[0].TimeStep = Processes[1].TimeStep;  // client 0's stop
  }
  FinalizeSimulator();
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

void BM_ProcessorReply1MB(benchmark::State& state) {
  SetUpModule(false, "");
  TSettings::SetUseExternalProcessor(true);
  TSettings::SetVelmarTimeStepTimeout(60);
  static TSink sink;
  auto owned = std::make_unique<TJsonRpcServer>(sink);
  TJsonRpcServer* server = owned.get();
  SetJsonRpcServer(std::move(owned));
  server->SetOnRPCRaw(&TRpcHandler::OnRPCRaw);
  Processes.assign(1, EmptyProcess);
  TFakeProcessor processor([](const std::string&) { return std::string(REPLY_SIZE, 'x'); });
  ExternalProcessorWritePipe = processor.ToProcessor[1];
  ExternalProcessorReadPipe = processor.FromProcessor[0];
  const std::string request = R"({"jsonrpc":"2.0","id":1,"method":"Echo","params":{"ClientID":0,"Value":1}})";
  for (auto _ : state) {
    server->ProcessRPC(1, request);
    if (sink.Bytes != REPLY_SIZE + 1) state.SkipWithError("short reply");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * REPLY_SIZE));
  ExternalProcessorWritePipe = ExternalProcessorReadPipe = -1;
  FinalizeSimulator();
  Logger().SetLogHandler(nullptr);
}
BENCHMARK(BM_ProcessorReply1MB)->UseRealTime();

// Baseline: the same megabyte read one byte per call, each after asking how
// many bytes wait.
void BM_ProcessorReply1MB_BytePerRead(benchmark::State& state) {
  TFakeProcessor processor([](const std::string&) { return std::string(REPLY_SIZE, 'x'); });
  for (auto _ : state) {
    size_t n = 0;
    Platform::WritePipe(processor.ToProcessor[1], "\n", 1, n);
    size_t got = 0;
    char c = 0;
    while (c != '\n') {
      uint32_t waiting = 0;
      Platform::PeekPipe(processor.FromProcessor[0], waiting);
      if (waiting == 0) continue;
      Platform::ReadPipe(processor.FromProcessor[0], &c, 1, n);
      got += n;
    }
    benchmark::DoNotOptimize(got);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * REPLY_SIZE));
}
BENCHMARK(BM_ProcessorReply1MB_BytePerRead)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  setenv("VELMAR_PIPE_NAMESPACE", ("velmar-bench-" + std::to_string(getpid()) + "-").c_str(), 1);
  InitializeThreadSync();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  TSettings::SetSettingsPathname("");
  std::filesystem::remove(TempPath("settings.ini"));
  return 0;
}
