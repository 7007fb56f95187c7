// Whole runs: the manager's coordination of real engine processes (the
// reference engine, no model work) beside plain round trips against a
// minimal echo server, and the cost of an engine-step as the run grows.
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "../tests/tools/ToolPaths.h"
#include "BenchTable.h"
#include "Shared/Componen/ThreadSync.h"
#include "coordination/Simulation.h"
#include "diagnostics/Logging.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "platform/LocalSocket.h"

namespace fs = std::filesystem;

namespace {

fs::path RunDir() { return fs::temp_directory_path() / ("velmar-bench-runs-" + std::to_string(getpid())); }

// A run of `engines` reference engines over `steps` steps with no growth
// and no noise, debug lines off (dropped by the log handler, as the window
// does with its debug switch off). Each iteration is one whole run, from
// launching the engines to the last one finalised. The run's timings are
// kept as in the program, unless `insight` says otherwise.
enum class TInsight { Kept, Off, KeptAndTraced };

// The simulation module, one for the program as the manager has.
TSimulation& Simulation() {
  static TSimulation simulation;
  return simulation;
}

// saved: the document is saved first, so the run writes its states file
// (and the engines' output files) beside it.
void WholeRun(benchmark::State& state, int engines, int steps, bool dispersal, TInsight insight = TInsight::Kept,
              bool saved = false) {
  TSimulation& Sim = Simulation();
  fs::create_directories(RunDir());
  TSettings::SetSettingsPathname((RunDir() / "settings.ini").string());
  TSettings::SetVelmarFilename(ToolPaths::Program("velmar-refengine"));
  TSettings::SetUseExternalProcessor(dispersal);
  TSettings::SetExternalProcessorFilename(ToolPaths::Program("velmar-dispersal"));
  TSettings::SetExternalProcessorParameters("0.1");
  TSettings::SetExternalProcessorCloseCommand("QUIT");
  TSettings::SetVelmarTimeStepTimeout(60);
  TSettings::SetVelmarStartTimeout(60);
  TSettings::SetDebugMessages(false);
  Logger().SetLogHandler([](const TLogEvent&, bool& handled) { handled = true; }, &TSettings::GetDebugMessages);
  TDocument document;
  document.ClearModels();
  for (int i = 0; i < engines; ++i) {
    const std::string path = (RunDir() / ("m" + std::to_string(i) + ".vm")).string();
    std::ofstream(path) << "years = " << steps << "\nseed = " << (11 + i) << "\n[population P" << i
                        << "]\ninitial = " << (100 + i) << "\ncapacity = 1000\ngrowth = 0\nvariation = 0\n";
    document.AddModel()->SetFilename(path);
  }
  if (saved) document.SaveToFile((RunDir() / "run.vmgr").string());
  Sim.Insight().SetEnabled(insight != TInsight::Off);
  Sim.Insight().SetTraceFile(insight == TInsight::KeptAndTraced ? (RunDir() / "run.trace.json").string() : "");
  for (auto _ : state) {
    Sim.StartSimulation(document);
    while (!Sim.IsSimulationDone()) Sim.WaitPass();
    if (Sim.LastRunCancelled()) state.SkipWithError("the run was cancelled");
  }
  // Engines may still be on their way out.
  for (auto& p : Sim.Processes)
    if (p.ProcInfo.hProcess >= 0) Platform::WaitForProcess(p.ProcInfo.hProcess, 10000);
  Logger().SetLogHandler(nullptr);
  Sim.Insight().SetEnabled(true);
  Sim.Insight().SetTraceFile("");
  state.counters["EngineSteps"] = engines * steps;
}

void BM_Lockstep8x1000(benchmark::State& state) { WholeRun(state, 8, 1000, false); }
void BM_Lockstep8x1000_Dispersal(benchmark::State& state) { WholeRun(state, 8, 1000, true); }
// The run's timings and trace: kept and written, beside the same run with
// them off.
void BM_Lockstep8x1000_TimingsOff(benchmark::State& state) { WholeRun(state, 8, 1000, false, TInsight::Off); }
void BM_Lockstep8x1000_Traced(benchmark::State& state) { WholeRun(state, 8, 1000, false, TInsight::KeptAndTraced); }
// The states file written as the run goes, beside the same run untitled.
void BM_Lockstep8x1000_States(benchmark::State& state) { WholeRun(state, 8, 1000, false, TInsight::Kept, true); }
void BM_Run10x100(benchmark::State& state) { WholeRun(state, 10, 100, false); }
void BM_Run99x100(benchmark::State& state) { WholeRun(state, 99, 100, false); }
BENCHMARK(BM_Lockstep8x1000)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Lockstep8x1000_Dispersal)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Lockstep8x1000_TimingsOff)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Lockstep8x1000_Traced)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Lockstep8x1000_States)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Run10x100)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_Run99x100)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// ---- Baseline: a minimal single-threaded poll echo server on the same
// socket type, and 8 client processes of 2,000 round trips each (two calls
// per step of the lockstep run).
const std::string ECHO_NAME = "bench-echo";
const std::string REQUEST = R"({"jsonrpc":"2.0","id":1,"method":"StopTimeStep","params":{"ClientID":0,"VelmarStateVarsPop":{}}})";

int EchoClientMain(int trips) {
  Platform::TLocalSocket socket;
  for (int tries = 0; !socket.Connect(ECHO_NAME).Done(); ++tries) {
    if (tries > 5000) return 1;
    usleep(1000);
  }
  const int fd = socket.Fd();
  char buf[4096];
  for (int i = 0; i < trips; ++i) {
    if (send(fd, REQUEST.data(), REQUEST.size(), MSG_NOSIGNAL) < 0) return 1;
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, -1);
    if (recv(fd, buf, sizeof buf, 0) <= 0) return 1;
  }
  return 0;
}

void BM_PollEcho8x2000(benchmark::State& state) {
  constexpr int CLIENTS = 8, TRIPS = 2000;
  Platform::TLocalListener listener;
  if (listener.Listen(ECHO_NAME) != 0) {
    state.SkipWithError("cannot listen");
    return;
  }
  for (auto _ : state) {
    std::vector<pid_t> clients;
    for (int i = 0; i < CLIENTS; ++i) clients.push_back(BenchTable::SpawnSelf({"--echo-client", std::to_string(TRIPS)}));
    std::vector<pollfd> fds{{listener.Fd(), POLLIN, 0}};
    std::vector<Platform::TLocalSocket> sockets;
    int open = 0, accepted = 0;
    char buf[4096];
    while (accepted < CLIENTS || open > 0) {
      poll(fds.data(), fds.size(), -1);
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
        const ssize_t n = recv(fds[i].fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
          send(fds[i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          fds[i].fd = -1;
          --open;
        }
      }
      if (fds[0].revents & POLLIN) {
        Platform::TLocalSocket connection;
        if (listener.Accept(connection).Done()) {
          fds.push_back({connection.Fd(), POLLIN, 0});
          sockets.push_back(std::move(connection));
          ++open;
          ++accepted;
        }
      }
    }
    for (pid_t pid : clients)
      if (BenchTable::Reap(pid) != 0) state.SkipWithError("a client failed");
  }
}
BENCHMARK(BM_PollEcho8x2000)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void AddRows(const BenchTable::TCollector& c) {
  using namespace BenchTable;
  const auto run = c.Seconds("BM_Lockstep8x1000");
  const auto echo = c.Seconds("BM_PollEcho8x2000");
  const auto dispersal = c.Seconds("BM_Lockstep8x1000_Dispersal");
  if (run && echo)
    AddRow("Lockstep run, 8 engines × 1,000 steps, debug off", Time(*run),
           "≤ 2 × poll echo server, 8 clients × 2,000 round trips (" + Time(*echo) + ")", Fixed(*run / *echo, 2),
           Verdict(*run <= 2 * *echo));
  if (run && dispersal)
    AddRow("Same with velmar-dispersal", Time(*dispersal), "≤ 1.5 × direct run (" + Time(*run) + ")",
           Fixed(*dispersal / *run, 2), Verdict(*dispersal <= 1.5 * *run));
  const auto off = c.Seconds("BM_Lockstep8x1000_TimingsOff");
  const auto traced = c.Seconds("BM_Lockstep8x1000_Traced");
  if (off && traced)
    AddRow("Lockstep run, 8 engines × 1,000 steps, timings kept and the trace written", Time(*traced),
           "≤ 1.1 × the same with timings and trace off (" + Time(*off) + ")", Fixed(*traced / *off, 2),
           Verdict(*traced <= 1.1 * *off));
  const auto states = c.Seconds("BM_Lockstep8x1000_States");
  if (run && states)
    AddRow("Lockstep run, 8 engines × 1,000 steps, a saved document: the states file written", Time(*states),
           "≤ 1.1 × the same run of an untitled document (" + Time(*run) + ")", Fixed(*states / *run, 2),
           Verdict(*states <= 1.1 * *run));
  const auto small = c.Seconds("BM_Run10x100");
  const auto large = c.Seconds("BM_Run99x100");
  if (small && large) {
    const double perSmall = *small / 1000, perLarge = *large / 9900;
    AddRow("99 engines × 100 steps, per engine-step", Time(perLarge),
           "≤ 1.3 × 10 engines × 100 steps (" + Time(perSmall) + ")", Fixed(perLarge / perSmall, 2),
           Verdict(perLarge <= 1.3 * perSmall));
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string role = argc > 1 ? argv[1] : "";
  if (role == "--echo-client" && argc == 3) return EchoClientMain(std::atoi(argv[2]));
  setenv("VELMAR_PIPE_NAMESPACE", ("velmar-bench-" + std::to_string(getpid()) + "-").c_str(), 1);
  InitializeThreadSync();
  Simulation().Startup();
  const BenchTable::TCollector collector = BenchTable::RunAndCollect(argc, argv);
  Simulation().Shutdown();
  TSettings::SetSettingsPathname("");
  fs::remove_all(RunDir());
  AddRows(collector);
  return 0;
}
