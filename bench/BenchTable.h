#pragma once
// What every benchmark program shares: the medians of its runs, its rows of
// the summary table, and starting helper copies of itself.
//
// A program runs its benchmarks through RunAndCollect, then adds one row
// per figure with AddRow. Rows are printed and, when VELMAR_BENCH_ROWS names
// a file, appended to it as tab-separated lines (figure, value, target,
// ratio to the baseline, verdict); scripts/bench prints them as one table.
#include <benchmark/benchmark.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <fcntl.h>
#include <signal.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace BenchTable {

// Keeps the median (or the single result) of every benchmark, by function
// name, while the console shows the usual report.
class TCollector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if (!median && !single) continue;
      TResult& r = FResults[run.run_name.function_name];
      r.Seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      for (const auto& [name, counter] : run.counters) r.Counters[name] = counter.value;
    }
  }
  // Median seconds per iteration.
  std::optional<double> Seconds(const std::string& name) const {
    auto it = FResults.find(name);
    if (it == FResults.end()) return std::nullopt;
    return it->second.Seconds;
  }
  std::optional<double> Counter(const std::string& name, const std::string& counter) const {
    auto it = FResults.find(name);
    if (it == FResults.end()) return std::nullopt;
    auto c = it->second.Counters.find(counter);
    if (c == it->second.Counters.end()) return std::nullopt;
    return c->second;
  }

 private:
  struct TResult {
    double Seconds = 0;
    std::map<std::string, double> Counters;
  };
  std::map<std::string, TResult> FResults;
};

inline std::string Fixed(double v, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, v);
  return buf;
}

// A time in the unit that suits it.
inline std::string Time(double seconds) {
  if (seconds < 1e-3) return Fixed(seconds * 1e6, seconds < 1e-5 ? 1 : 0) + " µs";
  if (seconds < 1) return Fixed(seconds * 1e3, seconds < 1e-2 ? 2 : 1) + " ms";
  return Fixed(seconds, 2) + " s";
}

inline std::string Rate(double bytesPerSecond) { return Fixed(bytesPerSecond / 1e6, 0) + " MB/s"; }

// One row of the table.
inline void AddRow(const std::string& figure, const std::string& value, const std::string& target,
                   const std::string& ratio, const char* verdict) {
  std::printf("ROW\t%s\t%s\t%s\t%s\t%s\n", figure.c_str(), value.c_str(), target.c_str(), ratio.c_str(), verdict);
  if (const char* path = std::getenv("VELMAR_BENCH_ROWS"); path && *path) {
    if (FILE* f = std::fopen(path, "a")) {
      std::fprintf(f, "%s\t%s\t%s\t%s\t%s\n", figure.c_str(), value.c_str(), target.c_str(), ratio.c_str(), verdict);
      std::fclose(f);
    }
  }
}

inline const char* Verdict(bool pass) { return pass ? "pass" : "FAIL"; }

// Runs the program's benchmarks (interleaved repetitions by default, so a
// figure and its baseline share the machine's noise) and returns the medians.
inline TCollector RunAndCollect(int& argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  std::string reps = "--benchmark_repetitions=5";
  bool hasReps = false;
  for (int i = 1; i < argc; ++i) hasReps = hasReps || std::string(argv[i]).rfind("--benchmark_repetitions", 0) == 0;
  std::vector<char*> all{argv[0], interleave.data()};
  if (!hasReps) all.push_back(reps.data());
  all.insert(all.end(), args.begin() + 1, args.end());
  int n = static_cast<int>(all.size());
  all.push_back(nullptr);
  benchmark::Initialize(&n, all.data());
  TCollector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  benchmark::Shutdown();
  return collector;
}

// Starts this program again with the given arguments (a helper role chosen
// in main); the helper dies with the thread that started it. Descriptors in
// keep stay open in the helper.
inline pid_t SpawnSelf(const std::vector<std::string>& arguments, const std::vector<int>& keep = {}) {
  std::vector<std::string> all{"/proc/self/exe"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    for (int fd : keep) {
      const int flags = fcntl(fd, F_GETFD);
      if (flags >= 0) fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC);
    }
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  return pid;
}

inline int Reap(pid_t pid, bool kill = false) {
  if (pid <= 0) return -1;
  if (kill) ::kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

}  // namespace BenchTable
