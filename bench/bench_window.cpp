// The window: log lines into the Messages box and the log file, and what an
// idle manager costs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "../tests/tools/ToolPaths.h"
#include "BenchTable.h"
#include "documents/Documents.h"
#include "documents/SettingsUnit.h"
#include "ui/Main.h"
#include "ui/QtMessagePump.h"
#include "ui/RunControl.h"
#include "ui/Startup.h"

namespace fs = std::filesystem;

namespace {

// VELMAR_BENCH_LOG_LINES changes the count, for profiling.
const int LINES = std::getenv("VELMAR_BENCH_LOG_LINES") ? std::atoi(std::getenv("VELMAR_BENCH_LOG_LINES")) : 100000;
// Lines logged per pass of the event loop: about what one engine call logs
// with debug lines on.
constexpr int LINES_PER_PASS = 10;

fs::path Dir() { return fs::temp_directory_path() / ("velmar-bench-window-" + std::to_string(getpid())); }

std::string Line(int i) { return "Velmar #" + std::to_string(i % 8) + " stopped time step #" + std::to_string(i); }

// ---- 100,000 log lines into the window: from the first line logged until
// every line is in the Messages box and in the document's log file. The
// lines are logged LINES_PER_PASS at a time from the event loop; a probe
// timer measures the longest the loop went without serving it.
void BM_LogLines100k(benchmark::State& state) {
  fs::create_directories(Dir());
  const std::string document = (Dir() / "doc.vmgr").string();
  const std::string logFile = TRunControl::LogFilenameFor(document);
  {
    TDocument doc;
    doc.SaveToFile(document);
  }
  double longestStall = 0;
  // The time is the one measured here (manual time): setting up and
  // closing the window is not part of it.
  for (auto _ : state) {
    fs::remove(logFile);
    TSettings::SetDebugMessages(false);
    TQtMessagePump pump;
    auto form = std::make_unique<TMainForm>(std::vector<std::string>{document});
    form->PageControl->setCurrentIndex(2);  // Messages
    form->show();
    (void)QTest::qWaitForWindowExposed(form.get());
    QTest::qWait(50);
    const int before = form->MessagesMemo->document()->blockCount();
    const uintmax_t fileBefore = fs::exists(logFile) ? fs::file_size(logFile) : 0;

    QElapsedTimer clock;
    clock.start();
    qint64 lastProbe = 0, stall = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(1);
    QObject::connect(&probe, &QTimer::timeout, [&] {
      const qint64 now = clock.nsecsElapsed();
      stall = std::max(stall, now - lastProbe);
      lastProbe = now;
    });
    probe.start();
    int logged = 0;
    QTimer feed;
    feed.setInterval(0);
    QObject::connect(&feed, &QTimer::timeout, [&] {
      for (int i = 0; i < LINES_PER_PASS && logged < LINES; ++i) Logger().Log(Line(logged++));
      if (logged == LINES) feed.stop();
    });
    feed.start();
    const std::string last = Line(LINES - 1);
    // Every line in the file: the stamp and kind have a fixed length.
    const uintmax_t prefix = Logger().FormatMessage(etLog, "").size();
    uintmax_t expectBytes = fileBefore;
    for (int i = 0; i < LINES; ++i) expectBytes += prefix + Line(i).size() + 2;
    // Checked by the probe: every line shown and in the file.
    auto arrived = [&] {
      return logged == LINES && form->MessagesMemo->document()->blockCount() >= before + LINES - 1 &&
             form->MessagesMemo->document()->lastBlock().text().endsWith(QString::fromStdString(last)) &&
             fs::exists(logFile) && fs::file_size(logFile) >= expectBytes;
    };
    QEventLoop loop;
    bool done = false;
    QObject::connect(&probe, &QTimer::timeout, [&] {
      if (!done && arrived()) {
        done = true;
        loop.quit();
      }
    });
    QTimer::singleShot(std::getenv("VELMAR_BENCH_LOG_LINES") ? 20000 : 600000, &loop, &QEventLoop::quit);
    loop.exec();
    if (!done)
      std::fprintf(stderr, "logged %d, shown %d, log file %ju bytes\n", logged,
                   form->MessagesMemo->document()->blockCount() - before,
                   fs::exists(logFile) ? fs::file_size(logFile) : 0);
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    probe.stop();
    state.SetIterationTime(seconds);
    longestStall = std::max(longestStall, static_cast<double>(stall) / 1e9);
    form.reset();
    if (!done) {
      state.SkipWithError("the lines did not arrive");
      break;
    }
  }
  state.counters["LongestStallMs"] = longestStall * 1e3;
}
BENCHMARK(BM_LogLines100k)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// Baseline: the same lines written to a file, one write per line (each line
// is in the file as soon as it is written, as a log's must be).
void BM_LogLines100k_FileOnly(benchmark::State& state) {
  fs::create_directories(Dir());
  const std::string path = (Dir() / "baseline.log").string();
  for (auto _ : state) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    for (int i = 0; i < LINES; ++i) {
      const std::string line = "2026-12-09 14:22:05 - Log: " + Line(i) + "\r\n";
      if (::write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) state.SkipWithError("write");
    }
    ::close(fd);
  }
}
BENCHMARK(BM_LogLines100k_FileOnly)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1);

// ---- The manager idle: the window up, the pipe open, no run. CPU time of
// all its threads over 10 s, from the scheduler's own accounting.
uint64_t CpuNanoseconds(pid_t pid) {
  uint64_t total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  if (DIR* d = opendir(tasks.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(tasks + "/" + e->d_name + "/schedstat");
      uint64_t ns = 0;
      if (in >> ns) total += ns;
    }
    closedir(d);
  }
  return total;
}

void BM_IdleManager10s(benchmark::State& state) {
  fs::create_directories(Dir());
  const std::string settings = (Dir() / "idle.settings").string();
  double share = 0;
  for (auto _ : state) {
    const pid_t pid = fork();
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      setenv("QT_QPA_PLATFORM", "offscreen", 1);
      // Its own pipe: this program's window already serves one.
      setenv("VELMAR_PIPE_NAMESPACE", ("velmar-bench-idle-" + std::to_string(getpid()) + "-").c_str(), 1);
      const std::string program = ToolPaths::Program("velmar-manager");
      execl(program.c_str(), program.c_str(), "--settings", settings.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));  // start-up
    const uint64_t before = CpuNanoseconds(pid);
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const uint64_t used = CpuNanoseconds(pid) - before;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const bool running = ::kill(pid, 0) == 0 && fs::exists("/proc/" + std::to_string(pid) + "/task");
    const int status = BenchTable::Reap(pid, true);
    if (!running || !WIFSIGNALED(status)) state.SkipWithError("the manager did not run");
    share = static_cast<double>(used) / 1e9 / wall;
  }
  state.counters["CpuShare"] = share;
}
BENCHMARK(BM_IdleManager10s)->UseRealTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(1);

void AddRows(const BenchTable::TCollector& c) {
  using namespace BenchTable;
  const auto lines = c.Seconds("BM_LogLines100k");
  const auto file = c.Seconds("BM_LogLines100k_FileOnly");
  const auto stall = c.Counter("BM_LogLines100k", "LongestStallMs");
  if (lines && file && stall)
    AddRow("100,000 log lines into the Messages box and the log file",
           Time(*lines) + ", longest stall " + Fixed(*stall, 0) + " ms",
           "≤ 3 × writing them to a file (" + Time(*file) + "); no stall over 100 ms", Fixed(*lines / *file, 2),
           Verdict(*lines <= 3 * *file && *stall <= 100));
  const auto idle = c.Counter("BM_IdleManager10s", "CpuShare");
  if (idle)
    AddRow("Idle manager, pipe open, no run, 10 s", Fixed(*idle * 100, 3) + " % of a core", "< 0.5 %", "—",
           Verdict(*idle < 0.005));
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  setenv("VELMAR_PIPE_NAMESPACE", ("velmar-bench-" + std::to_string(getpid()) + "-").c_str(), 1);
  int qtArgc = 1;
  QApplication application(qtArgc, argv);
  fs::create_directories(Dir());
  StartupModules((Dir() / "window.settings").string());
  const BenchTable::TCollector collector = BenchTable::RunAndCollect(argc, argv);
  ShutdownModules();
  fs::remove_all(Dir());
  AddRows(collector);
  return 0;
}
