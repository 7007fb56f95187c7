// Many runs: six documents run by `velmar-manager --headless --jobs 2`
// beside the same six run one after another, each by its own
// `velmar-manager --headless`. The engines pause a fixed time in every step,
// so a run waits rather than computes, as runs of real models mostly do on
// a machine with cores to spare.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../tests/tools/ToolPaths.h"
#include "BenchTable.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

const int DOCUMENTS = 6;
const int YEARS = 10;
const int DELAY_MS = 50;  // per step

fs::path BatchDir() { return fs::temp_directory_path() / ("velmar-bench-batch-" + std::to_string(getpid())); }

std::vector<std::string> Documents() {
  std::vector<std::string> documents;
  for (int i = 0; i < DOCUMENTS; ++i) documents.push_back((BatchDir() / ("d" + std::to_string(i) + ".vmgr")).string());
  return documents;
}

void Prepare() {
  fs::create_directories(BatchDir());
  std::ofstream(BatchDir() / "settings.ini") << "[Main]\nDebugMessages=0\n[Velmar]\nFilename="
                                             << ToolPaths::Program("velmar-refengine")
                                             << "\nStartTimeout=60\nTimeStepTimeout=60\n"
                                                "[ExternalProcessor]\nUseExternalProcessor=0\n";
  for (int i = 0; i < DOCUMENTS; ++i) {
    const fs::path model = BatchDir() / ("m" + std::to_string(i) + ".vm");
    std::ofstream(model) << "years = " << YEARS << "\nseed = " << (3 + i) << "\ndelay_ms = " << DELAY_MS
                         << "\n[population P]\ninitial = 100\ncapacity = 1000\ngrowth = 0.2\n";
    std::ofstream(Documents()[i]) << "[Model0]\nFilename=" << model.string() << "\n";
  }
}

// Runs the manager with these arguments to its end; its exit status.
int Manager(std::vector<std::string> args) {
  args.insert(args.begin(), {ToolPaths::Program("velmar-manager"), "--settings", (BatchDir() / "settings.ini").string()});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void BM_SixRunsOneAfterAnother(benchmark::State& state) {
  for (auto _ : state)
    for (const std::string& document : Documents())
      if (Manager({"--headless", document}) != 0) state.SkipWithError("a run did not complete");
}

void BM_SixRunsTwoAtATime(benchmark::State& state) {
  std::vector<std::string> args = {"--headless", "--jobs", "2"};
  for (const std::string& document : Documents()) args.push_back(document);
  for (auto _ : state)
    if (Manager(args) != 0) state.SkipWithError("a run did not complete");
}

BENCHMARK(BM_SixRunsOneAfterAnother)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_SixRunsTwoAtATime)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);

void AddRows(const BenchTable::TCollector& c) {
  using namespace BenchTable;
  const auto sequential = c.Seconds("BM_SixRunsOneAfterAnother");
  const auto batch = c.Seconds("BM_SixRunsTwoAtATime");
  if (sequential && batch)
    AddRow("Batch of 6 documents, --jobs 2 (1 engine each, 10 steps of 50 ms)", Time(*batch),
           "≤ 0.6 × the same run one after another (" + Time(*sequential) + ")", Fixed(*batch / *sequential, 2),
           Verdict(*batch <= 0.6 * *sequential));
}

}  // namespace

int main(int argc, char** argv) {
  setenv("VELMAR_PIPE_NAMESPACE", ("velmar-bench-" + std::to_string(getpid()) + "-").c_str(), 1);
  Prepare();
  const BenchTable::TCollector collector = BenchTable::RunAndCollect(argc, argv);
  fs::remove_all(BatchDir());
  AddRows(collector);
  return 0;
}
