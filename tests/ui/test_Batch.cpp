// Many documents run headless by the program itself: each run a manager
// process of its own, at most --jobs at once, with the reference engine; the
// lines, the summary, the results file, the exit status and the signals as
// the user sees them (no engine left behind, no row lost); and the Slurm
// script, tried without Slurm.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/RunSupport.h"
#include "tools/ToolPaths.h"
#include "ui/Batch.h"
#include "ui/RunRecord.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// The program, started in a folder with its standard output and error read
// as they come.
class TProgram {
 public:
  TProgram(const fs::path& dir, const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    std::vector<std::string> argStrings{ToolPaths::Program("velmar-manager")};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = env;
    for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
    auto pointers = [](std::vector<std::string>& v) {
      std::vector<char*> p;
      for (auto& s : v) p.push_back(s.data());
      p.push_back(nullptr);
      return p;
    };
    auto argv = pointers(argStrings);
    auto envp = pointers(envStrings);
    if (posix_spawn(&FPid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    FOutFd = out[0];
    FErrFd = err[0];
  }
  ~TProgram() {
    if (FPid > 0 && FStatus < 0) {
      kill(FPid, SIGKILL);
      Wait();
    }
  }

  // Reads until the output satisfies the condition or the program ends (or
  // a minute passes); true when it does.
  bool ReadUntil(const std::function<bool(const std::string&)>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!done(Out)) {
      if (FOutFd < 0 && FErrFd < 0) return false;
      if (std::chrono::steady_clock::now() > until) return false;
      ReadSome(1000);
    }
    return true;
  }
  // Reads to the end and returns the exit status (-1 when killed by a signal).
  int Wait() {
    while (FOutFd >= 0 || FErrFd >= 0) ReadSome(1000);
    int status = 0;
    if (FPid > 0 && waitpid(FPid, &status, 0) == FPid) FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return FStatus;
  }
  void Signal(int sig) { kill(FPid, sig); }
  pid_t Pid() const { return FPid; }

  std::string Out, Err;

 private:
  void ReadSome(int ms) {
    pollfd fds[2] = {{FOutFd, POLLIN, 0}, {FErrFd, POLLIN, 0}};
    if (poll(fds, 2, ms) <= 0) return;
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents) continue;
      int& fd = i ? FErrFd : FOutFd;
      char buf[4096];
      const ssize_t n = read(fd, buf, sizeof buf);
      if (n > 0) {
        (i ? Err : Out).append(buf, static_cast<size_t>(n));
      } else {
        close(fd);
        fd = -1;
      }
    }
  }

  pid_t FPid = -1;
  int FOutFd = -1, FErrFd = -1;
  int FStatus = -1;
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

int64_t EpochMs(const Platform::TLocalDateTime& t) {
  tm parts = Platform::ToTm(t);
  return static_cast<int64_t>(mktime(&parts)) * 1000 + t.Millisecond;
}

// The results file's rows by document (the header checked on the way).
std::map<std::string, TRunRecord> ReadResultsFile(const fs::path& path, size_t& rows) {
  std::map<std::string, TRunRecord> byDocument;
  const std::string text = ReadText(path);
  const auto records = ParseCsv(text);
  rows = 0;
  EXPECT_TRUE(records) << text;
  if (!records) return byDocument;
  EXPECT_EQ(text.substr(0, text.find('\n') + 1), RESULTS_HEADER);
  for (size_t i = 1; i < records->size(); ++i) {
    const auto record = RecordFromFields((*records)[i]);
    EXPECT_TRUE(record) << "row " << i;
    if (!record) continue;
    ++rows;
    byDocument[record->Document] = *record;
  }
  return byDocument;
}

// The most runs in progress at one moment, from their start and end times.
int MostAtOnce(const std::map<std::string, TRunRecord>& records) {
  std::vector<std::pair<int64_t, int>> edges;  // (time, +1 start / -1 end); ends first at a tie
  for (const auto& [document, r] : records) {
    if (!r.Start || !r.End) continue;
    edges.emplace_back(EpochMs(*r.Start), +1);
    edges.emplace_back(EpochMs(*r.End), -1);
  }
  std::sort(edges.begin(), edges.end());
  int now = 0, most = 0;
  for (const auto& e : edges) most = std::max(most, now += e.second);
  return most;
}

// Processes whose command line names something in the folder.
std::vector<std::string> ProcessesIn(const fs::path& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string pid = entry.path().filename().string();
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == std::to_string(getpid())) continue;
    std::string cmdline = ReadText(entry.path() / "cmdline");
    std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
    if (cmdline.find(dir.string()) != std::string::npos) found.push_back(pid + ": " + cmdline);
  }
  return found;
}

class BatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    Dir = fs::temp_directory_path() / ("velmar-batch-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Dir = fs::canonical(Dir);
    WriteSettings(ToolPaths::Program("velmar-refengine"), 30);
    static int test = 0;
    Env = {"VELMAR_PIPE_NAMESPACE=velmar-batch-" + std::to_string(getpid()) + "-" + std::to_string(++test) + "-"};
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(Dir);
  }
  void WriteSettings(const std::string& engine, int timeStepTimeout) {
    std::ofstream(Dir / "settings.ini") << "[Main]\nDebugMessages=0\n[Velmar]\nFilename=" << engine
                                        << "\nStartTimeout=30\nTimeStepTimeout=" << timeStepTimeout
                                        << "\n[ExternalProcessor]\nUseExternalProcessor=0\n";
  }

  // A document of `engines` models, each running `years` steps with a pause
  // of delayMs in each; `extra` goes into the last model's settings.
  std::string Document(const std::string& name, int engines, int years, int delayMs, const std::string& extra = "") {
    std::ofstream doc(Dir / name);
    for (int m = 0; m < engines; ++m) {
      const std::string model = ModelStem(name, m) + ".vm";
      std::ofstream(Dir / model) << "years = " << years << "\nseed = " << (7 + m) << "\ndelay_ms = " << delayMs << "\n"
                                 << (m == engines - 1 ? extra : "")
                                 << "\n[population P]\ninitial = 100\ncapacity = 1000\ngrowth = 0.2\n";
      doc << "[Model" << m << "]\nFilename=" << (Dir / model).string() << "\n";
    }
    return name;
  }
  std::vector<std::string> Models(const std::string& document, int engines) const {
    std::vector<std::string> models;
    for (int m = 0; m < engines; ++m)
      models.push_back((Dir / (ModelStem(document, m) + ".results.csv")).string());
    return models;
  }
  // A model's file name: the document's, letters and digits only (an
  // engine's command line cannot carry a double quote).
  static std::string ModelStem(const std::string& document, int m) {
    std::string stem = fs::path(document).stem().string();
    for (char& c : stem)
      if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return stem + "-m" + std::to_string(m);
  }
  std::vector<std::string> Args(std::vector<std::string> args) const {
    args.insert(args.begin(), {"--settings", "settings.ini"});
    return args;
  }

  // Stops a batch of six, two at a time, with the signal once two runs have
  // ended and the next two are well on; checks what the user sees.
  void StopHalfWay(int sig);

  fs::path Dir;
  std::vector<std::string> Env;
};

// "[k/n] DOCUMENT: OUTCOME, S.mmm s, N steps"
const std::regex RUN_LINE(R"(\[(\d+)/(\d+)\] (.+): ([a-z ]+), (\d+\.\d{3}) s, (\d+) steps?)");

TEST_F(BatchTest, SixDocumentsTwoAtATimeOneFailing) {
  struct TDoc {
    std::string Name;
    int Engines;
    const char* Outcome;
    uint32_t Steps;
  };
  // Documents of one and of two engines, so that an engine reaching the
  // wrong run would show as a client number that run does not have; the
  // third run's engine dies as its step 4 begins.
  const std::vector<TDoc> docs = {{"one.vmgr", 1, "completed", 12},           {"two.vmgr", 2, "completed", 12},
                                  {"three.vmgr", 1, "failed", 3},             {"four.vmgr", 1, "completed", 12},
                                  {"five.vmgr", 2, "completed", 12},          {"six, \"last\".vmgr", 1, "completed", 12}};
  std::vector<std::string> args = {"--headless", "--jobs", "2", "--results", "results.csv"};
  for (const TDoc& d : docs) {
    Document(d.Name, d.Engines, 12, 40, d.Name == "three.vmgr" ? "exit_at_step = 4" : "");
    args.push_back(d.Name);
  }
  TProgram batch(Dir, Args(args), Env);
  ASSERT_EQ(batch.Wait(), 1) << batch.Out << batch.Err;
  EXPECT_EQ(batch.Err, "");

  // A line per run as it ends, then the summary table.
  const std::vector<std::string> out = Lines(batch.Out);
  ASSERT_EQ(out.size(), 1u + 6 + 2 + 6 + 1) << batch.Out;
  EXPECT_EQ(out[0], "Running 6 documents, at most 2 at once");
  std::vector<bool> reported(docs.size(), false);
  for (size_t i = 1; i <= 6; ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out[i], m, RUN_LINE)) << out[i];
    const size_t k = std::stoul(m[1]) - 1;
    ASSERT_LT(k, docs.size());
    EXPECT_FALSE(reported[k]) << out[i];
    reported[k] = true;
    EXPECT_EQ(m[2], "6");
    EXPECT_EQ(m[3], docs[k].Name);
    EXPECT_EQ(m[4], docs[k].Outcome);
    EXPECT_EQ(std::stoul(m[6]), docs[k].Steps) << out[i];
  }
  EXPECT_EQ(out[7], "");
  EXPECT_EQ(out[8], "Run  Outcome          Elapsed  Steps  Engines  Document");
  for (size_t k = 0; k < docs.size(); ++k) {
    char expected[256];
    std::snprintf(expected, sizeof expected, "%3zu  %-11s  [ 0-9]{5}\\.\\d{3} s  %5u  %7d  ", k + 1, docs[k].Outcome,
                  docs[k].Steps, docs[k].Engines);
    EXPECT_TRUE(std::regex_match(out[9 + k].substr(0, out[9 + k].size() - docs[k].Name.size()), std::regex(expected)))
        << out[9 + k];
    EXPECT_TRUE(out[9 + k].ends_with("  " + docs[k].Name)) << out[9 + k];
  }
  EXPECT_TRUE(std::regex_match(out[15], std::regex(R"(6 runs in \d+\.\d{3} s: 5 completed, 1 failed, 0 cancelled, 0 not started)")))
      << out[15];

  // A row per run; never more than two at once, and two at once indeed.
  size_t rows = 0;
  const auto results = ReadResultsFile(Dir / "results.csv", rows);
  EXPECT_EQ(rows, 6u);
  for (const TDoc& d : docs) {
    ASSERT_TRUE(results.count(d.Name)) << d.Name;
    const TRunRecord& r = results.at(d.Name);
    EXPECT_EQ(r.Outcome, d.Outcome) << d.Name;
    EXPECT_EQ(r.Steps, d.Steps) << d.Name;
    EXPECT_EQ(r.Engines, static_cast<uint32_t>(d.Engines)) << d.Name;
    EXPECT_EQ(r.LogFile, fs::path(d.Name).replace_extension(".log").string());
    ASSERT_TRUE(r.Start && r.End) << d.Name;
    // The times are read from the wall clock, the elapsed time from the
    // monotonic one, a moment apart.
    const int64_t span = EpochMs(*r.End) - EpochMs(*r.Start);
    EXPECT_GE(span, 0) << d.Name;
    EXPECT_LE(std::llabs(span - static_cast<int64_t>(r.ElapsedMs)), 100) << d.Name;
  }
  EXPECT_EQ(MostAtOnce(results), 2);
  // The quoted document name is written as RFC 4180 asks.
  EXPECT_NE(ReadText(Dir / "results.csv").find("\r\n\"six, \"\"last\"\".vmgr\",completed,"), std::string::npos);

  // Each run saw its own engines only, which kept in step, and logged beside
  // its document.
  for (const TDoc& d : docs) {
    const std::string log = ReadText(Dir / fs::path(d.Name).replace_extension(".log"));
    for (int e = 0; e < 3; ++e) {
      const bool own = e < d.Engines;
      EXPECT_EQ(log.find("Velmar #" + std::to_string(e) + " initializing") != std::string::npos, own)
          << d.Name << " engine " << e << "\n" << log;
    }
    if (std::string(d.Outcome) == "failed") {
      EXPECT_NE(log.find("Error: Velmar #0 exited without finalizing (exit status 3); cancelling simulation"),
                std::string::npos)
          << log;
      continue;
    }
    EXPECT_NE(log.find(" - Info: Simulation complete\r\n"), std::string::npos) << d.Name << "\n" << log;
    std::vector<RunSupport::TResults> engines;
    for (const std::string& m : Models(d.Name, d.Engines)) {
      engines.push_back(RunSupport::ReadResults(m));
      EXPECT_EQ(engines.back().Total.size(), 13u) << m;
    }
    size_t compared = 0;
    const auto outOfStep = RunSupport::LockstepViolation(engines, 12, compared);
    EXPECT_FALSE(outOfStep) << d.Name << ": " << *outOfStep;
  }
}

TEST_F(BatchTest, SigintHalfWayStopsEveryRunAndStillPrintsTheSummary) { StopHalfWay(SIGINT); }
TEST_F(BatchTest, SigtermHalfWayStopsEveryRunAndStillPrintsTheSummary) { StopHalfWay(SIGTERM); }
TEST_F(BatchTest, SighupHalfWayStopsEveryRunAndStillPrintsTheSummary) { StopHalfWay(SIGHUP); }

void BatchTest::StopHalfWay(int sig) {
  std::vector<std::string> args = {"--headless", "--jobs", "2", "--results", "results.csv"};
  std::vector<std::string> names;
  for (int i = 1; i <= 6; ++i) {
    names.push_back(Document("run" + std::to_string(i) + ".vmgr", 1, 60, 50));
    args.push_back(names.back());
  }
  TProgram batch(Dir, Args(args), Env);
  // Half way: the first two have ended, the next two are well into their
  // years, the last two wait.
  ASSERT_TRUE(batch.ReadUntil([](const std::string& out) { return Lines(out).size() >= 3; })) << batch.Out << batch.Err;
  for (const std::string run : {"run3", "run4"})
    ASSERT_TRUE(batch.ReadUntil([&](const std::string&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return RunSupport::ReadResults((Dir / (ModelStem(run, 0) + ".results.csv")).string()).Total.size() > 5;
    })) << run;
  batch.Signal(sig);
  ASSERT_EQ(batch.Wait(), 1) << batch.Out << batch.Err;

  const std::vector<std::string> out = Lines(batch.Out);
  ASSERT_EQ(out.size(), 1u + 4 + 2 + 6 + 1) << batch.Out;
  std::map<std::string, std::string> outcomeOf;
  for (size_t i = 1; i <= 4; ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out[i], m, RUN_LINE)) << out[i];
    outcomeOf[m[3]] = m[4];
  }
  EXPECT_EQ(outcomeOf, (std::map<std::string, std::string>{
                           {"run1.vmgr", "completed"}, {"run2.vmgr", "completed"},
                           {"run3.vmgr", "cancelled"}, {"run4.vmgr", "cancelled"}}));
  EXPECT_TRUE(out[11].starts_with("  5  not started      0.000 s      0        1  run5.vmgr")) << out[11];
  EXPECT_TRUE(out[12].starts_with("  6  not started      0.000 s      0        1  run6.vmgr")) << out[12];
  EXPECT_TRUE(std::regex_match(out[13], std::regex(R"(6 runs in \d+\.\d{3} s: 2 completed, 0 failed, 2 cancelled, 2 not started)")))
      << out[13];

  size_t rows = 0;
  const auto results = ReadResultsFile(Dir / "results.csv", rows);
  EXPECT_EQ(rows, 6u);
  for (const std::string run : {"run3.vmgr", "run4.vmgr"}) {
    EXPECT_EQ(results.at(run).Outcome, "cancelled");
    EXPECT_LT(results.at(run).Steps, 60u);
    // Stopped as the Stop command stops a run.
    EXPECT_NE(ReadText(Dir / fs::path(run).replace_extension(".log")).find(" - Info: Cancelled simulation\r\n"),
              std::string::npos)
        << run;
  }
  for (const std::string run : {"run5.vmgr", "run6.vmgr"}) {
    EXPECT_EQ(results.at(run).Outcome, "not started");
    EXPECT_FALSE(results.at(run).Start || results.at(run).End);
    EXPECT_FALSE(fs::exists(Dir / fs::path(run).replace_extension(".log"))) << run;
  }
  // No manager or engine of the batch is left behind.
  std::vector<std::string> left = ProcessesIn(Dir);
  for (int i = 0; i < 100 && !left.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    left = ProcessesIn(Dir);
  }
  EXPECT_EQ(left, std::vector<std::string>{});
}

TEST_F(BatchTest, UsageErrorsExitWithTwoAndRunNothing) {
  Document("present.vmgr", 1, 2, 0);
  std::ofstream(Dir / "empty.vmgr") << "; no models\n";
  const struct {
    std::vector<std::string> Args;
    std::string Message;
  } cases[] = {
      {{"--headless", "--jobs", "0", "present.vmgr"}, "--jobs needs a number from 1 to 9999"},
      {{"--headless", "--jobs", "two", "present.vmgr"}, "--jobs needs a number from 1 to 9999"},
      {{"--headless", "--jobs"}, "--jobs needs a value"},
      {{"--jobs", "2", "present.vmgr"}, "--jobs goes with --headless"},
      {{"--results", "r.csv", "present.vmgr"}, "--results goes with --headless or --slurm-script"},
      {{"--headless", "--jobs", "2"}, "--headless needs a value"},
      {{"--slurm-script"}, "--slurm-script needs a document"},
      {{"--headless", "--slurm-script", "present.vmgr"}, "--headless and --slurm-script do not go together"},
      {{"--headless", "--jobs", "2", "present.vmgr", "missing.vmgr"}, "no document at \"missing.vmgr\""},
      {{"--slurm-script", "present.vmgr", "missing.vmgr"}, "cannot read the document \"missing.vmgr\""},
      {{"--headless", "present.vmgr", "empty.vmgr"}, "\"empty.vmgr\" has no models; there is nothing to run"},
      {{"--slurm-script", "empty.vmgr"}, "\"empty.vmgr\" has no models; there is nothing to run"},
      // Both runs would write the same log and engine files at once.
      {{"--headless", "present.vmgr", "./present.vmgr"},
       "\"./present.vmgr\" is the same document as \"present.vmgr\"; name each document once"},
      {{"--slurm-script", "present.vmgr", Dir.string() + "/present.vmgr"},
       "\"" + Dir.string() + "/present.vmgr\" is the same document as \"present.vmgr\"; name each document once"},
  };
  for (const auto& c : cases) {
    TProgram program(Dir, Args(c.Args), Env);
    EXPECT_EQ(program.Wait(), 2) << c.Message;
    EXPECT_NE(program.Err.find("velmar-manager: " + c.Message), std::string::npos) << program.Err;
    EXPECT_EQ(program.Out, "") << c.Message;
  }
  EXPECT_FALSE(fs::exists(Dir / "present.log"));
  EXPECT_FALSE(fs::exists(Dir / "r.csv"));
}

TEST_F(BatchTest, WithoutJobsAsManyRunAsTheProcessorsHoldTheLargestDocument) {
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  const int processors = CPU_COUNT(&set);
  TProgram batch(Dir, Args({"--headless", Document("small.vmgr", 1, 2, 0), Document("large.vmgr", 3, 2, 0)}), Env);
  EXPECT_EQ(batch.Wait(), 0) << batch.Out << batch.Err;
  const std::vector<std::string> out = Lines(batch.Out);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out[0], "Running 2 documents, at most " + std::to_string(std::max(1, processors / 3)) + " at once");
  EXPECT_TRUE(out.back().ends_with(" s: 2 completed, 0 failed, 0 cancelled, 0 not started")) << out.back();
}

TEST_F(BatchTest, OneHeadlessRunAppendsItsRowUnderOneHeader) {
  Document("good.vmgr", 2, 5, 0);
  Document("bad.vmgr", 1, 5, 0, "exit_at_step = 2");
  const struct {
    const char* Document;
    int Status;
  } runs[] = {{"good.vmgr", 0}, {"bad.vmgr", 1}, {"good.vmgr", 0}};
  for (const auto& run : runs) {
    TProgram program(Dir, Args({"--headless", run.Document, "--results", "rows.csv"}), Env);
    EXPECT_EQ(program.Wait(), run.Status) << run.Document << program.Err;
  }
  const std::vector<std::string> lines = Lines(ReadText(Dir / "rows.csv"));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0] + "\n", RESULTS_HEADER);
  const std::regex row(R"((\w+\.vmgr),(\w+),[-0-9]{10} [:0-9]{8}\.\d{3},[-0-9]{10} [:0-9]{8}\.\d{3},\d+\.\d{3},(\d+),(\d+),(\w+\.log),([0-9a-f]{32}),([^,]+\.states\.csv)\r)");
  const char* const expected[3][5] = {{"good.vmgr", "completed", "5", "2", "good.log"},
                                      {"bad.vmgr", "failed", "1", "1", "bad.log"},
                                      {"good.vmgr", "completed", "5", "2", "good.log"}};
  std::string fingerprints[3];
  for (size_t i = 0; i < 3; ++i) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[i + 1], m, row)) << lines[i + 1];
    for (size_t k = 0; k < 5; ++k) EXPECT_EQ(m[k + 1], expected[i][k]) << lines[i + 1];
    fingerprints[i] = m[6];
    EXPECT_TRUE(fs::exists(Dir / m[7].str()) || fs::exists(m[7].str())) << lines[i + 1];
  }
  // The same document run again reports the same states.
  EXPECT_EQ(fingerprints[0], fingerprints[2]);
  EXPECT_NE(fingerprints[0], fingerprints[1]);
}

TEST_F(BatchTest, TheSlurmScriptRunsEachDocumentAsATaskOfTheArray) {
  Document("study 1.vmgr", 2, 3, 0);
  Document("it's.vmgr", 1, 3, 0);
  TProgram program(Dir, Args({"--results", "all.csv", "--slurm-script", "study 1.vmgr", "it's.vmgr"}), Env);
  ASSERT_EQ(program.Wait(), 0) << program.Err;
  const std::string dir = Dir.string();
  const std::string manager = fs::canonical(ToolPaths::Program("velmar-manager")).string();
  EXPECT_EQ(program.Out,
            "#!/bin/bash\n"
            "# 2 Velmar Manager documents as a Slurm job array, one document per task.\n"
            "# Submit with: sbatch THIS_FILE. Each task appends its row to the results\n"
            "# file named below; its log lines go to velmar-JOB_TASK.out.\n"
            "#SBATCH --job-name=velmar\n"
            "#SBATCH --array=0-1\n"
            "#SBATCH --ntasks=1\n"
            "# One processor per engine of the largest document.\n"
            "#SBATCH --cpus-per-task=2\n"
            "#SBATCH --output=velmar-%A_%a.out\n"
            "set -eu\n"
            "documents=(\n"
            "  '" + dir + "/study 1.vmgr'  # 2 engines\n"
            "  '" + dir + "/it'\\''s.vmgr'  # 1 engine\n"
            ")\n"
            "results='" + dir + "/all.csv'\n"
            ": \"${SLURM_ARRAY_TASK_ID:?is not set: submit this script with sbatch}\"\n"
            "document=${documents[$SLURM_ARRAY_TASK_ID]}\n"
            "# A pipe of the task's own, so that tasks sharing a node never meet: without a\n"
            "# namespace the manager draws one nobody can guess; a given one is extended.\n"
            "if [ -n \"${VELMAR_PIPE_NAMESPACE:-}\" ]; then\n"
            "  export VELMAR_PIPE_NAMESPACE=\"${VELMAR_PIPE_NAMESPACE}slurm-${SLURM_ARRAY_JOB_ID}-${SLURM_ARRAY_TASK_ID}-\"\n"
            "fi\n"
            "exec '" + manager + "' --settings '" + dir + "/settings.ini' --headless \"$document\" --results \"$results\"\n");

  // Each task as Slurm would start it, here without Slurm; run by hand,
  // the script says what is missing and runs nothing.
  std::ofstream(Dir / "job.sh") << program.Out;
  const std::string byHand = "cd / && env -u SLURM_ARRAY_TASK_ID bash '" + dir +
                             "/job.sh' 2>&1 | grep -q 'SLURM_ARRAY_TASK_ID: is not set: submit this script with sbatch'";
  EXPECT_EQ(std::system(byHand.c_str()), 0);
  EXPECT_FALSE(fs::exists(Dir / "all.csv"));
  for (const char* task : {"1", "0"}) {
    const std::string command = "cd / && env " + Env[0] + " SLURM_ARRAY_JOB_ID=77 SLURM_ARRAY_TASK_ID=" + task +
                                " bash '" + dir + "/job.sh' > /dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0) << task;
  }
  size_t rows = 0;
  const auto results = ReadResultsFile(Dir / "all.csv", rows);
  EXPECT_EQ(rows, 2u);
  for (const auto& [name, engines] : std::map<std::string, uint32_t>{{"study 1", 2}, {"it's", 1}}) {
    const std::string document = dir + "/" + name + ".vmgr";
    ASSERT_TRUE(results.count(document)) << document;
    EXPECT_EQ(results.at(document).Outcome, "completed");
    EXPECT_EQ(results.at(document).Steps, 3u);
    EXPECT_EQ(results.at(document).Engines, engines);
    EXPECT_EQ(results.at(document).LogFile, dir + "/" + name + ".log");
  }

  // Without --results the rows go beside where sbatch was run, by job.
  TProgram plain(Dir, Args({"--slurm-script", "it's.vmgr"}), Env);
  ASSERT_EQ(plain.Wait(), 0) << plain.Err;
  EXPECT_NE(plain.Out.find("\nresults=\"${SLURM_SUBMIT_DIR:-$PWD}/velmar-results-${SLURM_ARRAY_JOB_ID}.csv\"\n"),
            std::string::npos)
      << plain.Out;
  std::ofstream(Dir / "plain.sh") << plain.Out;
  // No namespace given: the manager draws its own.
  const std::string command = "env -u VELMAR_PIPE_NAMESPACE SLURM_SUBMIT_DIR='" + dir +
                              "' SLURM_ARRAY_JOB_ID=78 SLURM_ARRAY_TASK_ID=0 bash '" + dir + "/plain.sh' > /dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadResultsFile(Dir / "velmar-results-78.csv", rows).count(dir + "/it's.vmgr"), 1u);
}

// A stopped run ends its engines as the Stop command does: one that still
// calls ends on the false replies; one that no longer calls is sent SIGTERM
// after the time-step time-out and its reply time-out, and SIGKILL when it
// takes no notice. The manager exits only once they have gone, whichever
// signal stopped it.
TEST_F(BatchTest, ASignalEndsTheEnginesBeforeTheManagerExits) {
  // Engine 1 ignores SIGTERM (an ignored signal stays ignored across exec).
  const fs::path engine = Dir / "engine.sh";
  std::ofstream(engine) << "#!/bin/sh\ncase \"$*\" in *-m1.vm*) trap '' TERM;; esac\nexec '"
                        << ToolPaths::Program("velmar-refengine") << "' \"$@\"\n";
  fs::permissions(engine, fs::perms::owner_all);
  WriteSettings(engine.string(), 1);
  // Each engine sits in its first step for ten minutes, calling nothing.
  const std::string doc = (Dir / Document("hung.vmgr", 2, 3, 600000)).string();
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    TProgram run(Dir, Args({"--headless", doc}), Env);
    ASSERT_TRUE(run.ReadUntil([](const std::string& out) {
      return out.find("Velmar #0 starting time step #0") != std::string::npos &&
             out.find("Velmar #1 starting time step #0") != std::string::npos;
    })) << run.Out << run.Err;
    const auto signalled = std::chrono::steady_clock::now();
    run.Signal(sig);
    EXPECT_EQ(run.Wait(), 1) << run.Out << run.Err;
    // Gone with the manager, not after it.
    EXPECT_EQ(ProcessesIn(Dir), std::vector<std::string>{});
    // The time-out (1 s), the reply time-out (2 s), then 2 s of grace.
    EXPECT_GE(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(5));
    size_t at = 0;
    for (const char* line : {"Info: Cancelled simulation", "Log: Asked Velmar process #0 to end (SIGTERM)",
                             "Log: Asked Velmar process #1 to end (SIGTERM)", "Log: Velmar #0 exited",
                             "Log: Killed Velmar process #1", "Info: Elapsed simulation time"}) {
      at = run.Out.find(line, at);
      EXPECT_NE(at, std::string::npos) << line << "\n" << run.Out;
    }
  }
}

// The window, asked to end by a signal during a run, stops the run, ends
// its engines as above and closes.
TEST_F(BatchTest, TheWindowEndsItsEnginesBeforeItClosesOnASignal) {
  WriteSettings(ToolPaths::Program("velmar-refengine"), 1);
  const std::string doc = (Dir / Document("window.vmgr", 1, 3, 600000)).string();
  std::vector<std::string> env = Env;
  env.push_back("QT_QPA_PLATFORM=offscreen");
  TProgram window(Dir, Args({doc, "/r"}), env);
  ASSERT_TRUE(window.ReadUntil([&](const std::string&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return ReadText(Dir / "window.log").find("Velmar #0 starting time step #0") != std::string::npos;
  })) << window.Err;
  window.Signal(SIGTERM);
  EXPECT_EQ(window.Wait(), 0) << window.Err;
  EXPECT_EQ(ProcessesIn(Dir), std::vector<std::string>{});
  const std::string log = ReadText(Dir / "window.log");
  size_t at = 0;
  for (const char* line : {"Info: Closing on a signal, once the run has stopped and its engines have gone",
                           "Info: Cancelled simulation", "Log: Asked Velmar process #0 to end (SIGTERM)",
                           "Log: Velmar #0 exited"}) {
    at = log.find(line, at);
    EXPECT_NE(at, std::string::npos) << line << "\n" << log;
  }
}

// The runs of a batch that is killed notice it, stop as on SIGTERM, and
// their rows are in the results file; nothing is left in the temporary
// folder, and no process keeps running.
TEST_F(BatchTest, TheRunsOfAKilledBatchStopAndKeepTheirRows) {
  fs::create_directories(Dir / "tmp");
  std::vector<std::string> env = Env;
  env.push_back("TMPDIR=" + (Dir / "tmp").string());
  const std::vector<std::string> docs = {(Dir / Document("a.vmgr", 1, 1000, 50)).string(),
                                         (Dir / Document("b.vmgr", 1, 1000, 50)).string()};
  TProgram batch(Dir, Args({"--headless", "--jobs", "2", "--results", "results.csv", docs[0], docs[1]}), env);
  for (const std::string run : {"a", "b"})
    ASSERT_TRUE(batch.ReadUntil([&](const std::string&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return RunSupport::ReadResults((Dir / (ModelStem(run, 0) + ".results.csv")).string()).Total.size() > 3;
    })) << run;
  batch.Signal(SIGKILL);
  EXPECT_EQ(batch.Wait(), -1);
  std::vector<std::string> left = ProcessesIn(Dir);
  for (int i = 0; i < 200 && !left.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    left = ProcessesIn(Dir);
  }
  EXPECT_EQ(left, std::vector<std::string>{});
  size_t rows = 0;
  const auto results = ReadResultsFile(Dir / "results.csv", rows);
  EXPECT_EQ(rows, 2u);
  for (const std::string& doc : docs) {
    ASSERT_TRUE(results.count(doc)) << doc;
    EXPECT_EQ(results.at(doc).Outcome, "cancelled");
    EXPECT_LT(results.at(doc).Steps, 1000u);
  }
  EXPECT_TRUE(fs::is_empty(Dir / "tmp"));
}

// A results file that cannot take rows is found out before anything runs:
// not after every run, with the rows lost.
TEST_F(BatchTest, AResultsFileThatCannotTakeRowsIsRefusedBeforeAnyRun) {
  Document("a.vmgr", 1, 2, 0);
  Document("b.vmgr", 1, 2, 0);
  for (const std::string results : {"/dev/full", "no-such-folder/r.csv"}) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--headless", "--jobs", "2", "--results", results, "a.vmgr", "b.vmgr"},
          std::vector<std::string>{"--headless", "a.vmgr", "--results", results}}) {
      TProgram program(Dir, Args(args), Env);
      EXPECT_EQ(program.Wait(), 2) << results << program.Out;
      EXPECT_TRUE(program.Err.starts_with("velmar-manager: cannot write the results file \"" + results + "\": "))
          << program.Err;
      EXPECT_TRUE(program.Err.ends_with("; nothing is run\n")) << program.Err;
      EXPECT_EQ(program.Out, "");
      EXPECT_FALSE(fs::exists(Dir / "a.log"));
    }
  }
}

// A row that cannot be written when its run ends makes the exit status 1,
// also when every run completed. The file takes no more than it holds (the
// file-size limit is its size), so the check before the runs passes.
TEST_F(BatchTest, ARowThatCannotBeWrittenMakesTheBatchFail) {
  Document("a.vmgr", 1, 2, 0);
  std::string full = RESULTS_HEADER;
  full.resize(1022, ' ');
  full += "\r\n";
  std::ofstream(Dir / "results.csv", std::ios::binary) << full;
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit small = before;
  small.rlim_cur = full.size();
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  TProgram batch(Dir, Args({"--headless", "--jobs", "1", "--results", "results.csv", "a.vmgr"}), Env);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
  EXPECT_EQ(batch.Wait(), 1) << batch.Out << batch.Err;
  EXPECT_NE(batch.Err.find("velmar-manager: could not write to \"results.csv\": File too large"), std::string::npos)
      << batch.Err;
  EXPECT_NE(batch.Out.find("1 run in "), std::string::npos) << batch.Out;
  EXPECT_NE(batch.Out.find(": 1 completed, 0 failed"), std::string::npos) << batch.Out;
  EXPECT_EQ(ReadText(Dir / "results.csv"), full);
}

// A last row without its line end gets one before the next row.
TEST_F(BatchTest, ARowIsNeverGluedOntoALastLineWithoutItsEnd) {
  Document("a.vmgr", 1, 2, 0);
  const std::string before = std::string(RESULTS_HEADER) + "x.vmgr,completed,,,1.000,2,1,x.log,,";
  std::ofstream(Dir / "rows.csv", std::ios::binary) << before;
  TProgram run(Dir, Args({"--headless", "a.vmgr", "--results", "rows.csv"}), Env);
  ASSERT_EQ(run.Wait(), 0) << run.Err;
  const std::string after = ReadText(Dir / "rows.csv");
  EXPECT_EQ(after.substr(0, before.size() + 2), before + "\r\n");
  EXPECT_TRUE(after.substr(before.size() + 2).starts_with("a.vmgr,completed,")) << after;
  size_t rows = 0;
  EXPECT_EQ(ReadResultsFile(Dir / "rows.csv", rows).size(), 2u);
  EXPECT_EQ(rows, 2u);
}

// A model file that is not there (a typo) fails the start before any
// engine is launched: the last run's files stay as they were.
TEST_F(BatchTest, AModelThatCannotBeReadFailsTheStartBeforeAnythingIsLaunched) {
  Document("doc.vmgr", 2, 3, 0);
  TProgram first(Dir, Args({"--headless", "doc.vmgr"}), Env);
  ASSERT_EQ(first.Wait(), 0) << first.Out << first.Err;
  fs::rename(Dir / "doc-m1.vm", Dir / "elsewhere.vm");
  std::map<std::string, std::pair<std::string, fs::file_time_type>> files;
  for (const auto& entry : fs::directory_iterator(Dir))
    if (entry.path().filename() != "doc.log")
      files[entry.path().filename().string()] = {ReadText(entry.path()), fs::last_write_time(entry.path())};
  TProgram second(Dir, Args({"--headless", "doc.vmgr"}), Env);
  EXPECT_EQ(second.Wait(), 1) << second.Out << second.Err;
  EXPECT_NE(second.Out.find("Could not read model #1 \"" + (Dir / "doc-m1.vm").string() +
                            "\": No such file or directory; nothing was started"),
            std::string::npos)
      << second.Out;
  EXPECT_EQ(second.Out.find("Velmar #0 started"), std::string::npos) << second.Out;
  for (const auto& entry : fs::directory_iterator(Dir)) {
    const std::string name = entry.path().filename().string();
    if (name == "doc.log") continue;
    ASSERT_TRUE(files.count(name)) << name << " is new";
    EXPECT_EQ(ReadText(entry.path()), files[name].first) << name;
    EXPECT_EQ(fs::last_write_time(entry.path()), files[name].second) << name;
  }
}

// A trace that cannot be written whole: an Error line names the file, and
// the run that completed exits with 1. The file-size limit stands in for
// a full disk.
TEST_F(BatchTest, ATraceThatCannotBeWrittenIsAnErrorOfTheRun) {
  Document("traced.vmgr", 2, 200, 0);
  rlimit before{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit small = before;
  small.rlim_cur = 16 * 1024;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  TProgram run(Dir, Args({"--trace", "run.trace", "--headless", "traced.vmgr"}), Env);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
  EXPECT_EQ(run.Wait(), 1) << run.Out << run.Err;
  EXPECT_NE(run.Out.find("Info: Simulation complete"), std::string::npos) << run.Out;
  EXPECT_NE(run.Out.find("Error: Could not write to the trace file \"run.trace\": File too large; the trace stops here"),
            std::string::npos)
      << run.Out;
  EXPECT_LE(fs::file_size(Dir / "run.trace"), small.rlim_cur);
}

// Another user's process that holds the pipe name is named as such; with
// no namespace given, the manager uses one of this user's own, which no
// one else can take first, and hands it to its engines.
TEST_F(BatchTest, APipeNameHeldByAnotherUserIsSaidSoAndTheDefaultNamespaceIsOurOwn) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to bind a name as another user";
  const std::string ns = Env[0].substr(Env[0].find('=') + 1);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  // Squats both the test's name and the name with no namespace at all.
  const pid_t squatter = fork();
  if (squatter == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(1);
    for (const std::string& name : {ns + "VelmarManager", std::string("VelmarManager")}) {
      const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::memcpy(addr.sun_path + 1, name.data(), name.size());
      if (bind(fd, reinterpret_cast<sockaddr*>(&addr), static_cast<socklen_t>(sizeof(sa_family_t) + 1 + name.size())) != 0 ||
          listen(fd, 8) != 0)
        _exit(2);
    }
    (void)!write(ready[1], "r", 1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  close(ready[0]);
  Document("doc.vmgr", 1, 2, 0);

  TProgram squatted(Dir, Args({"--headless", "doc.vmgr"}), Env);
  EXPECT_EQ(squatted.Wait(), 1);
  EXPECT_NE(squatted.Err.find("Pipe \"VelmarManager\" is already in use by a process of another user (user id 65534)"),
            std::string::npos)
      << squatted.Err;

  // The engine writes down the namespace it was given, then runs.
  const fs::path engine = Dir / "engine.sh";
  std::ofstream(engine) << "#!/bin/sh\nprintf '%s' \"$VELMAR_PIPE_NAMESPACE\" > '" << (Dir / "namespace").string()
                        << "'\nexec '" << ToolPaths::Program("velmar-refengine") << "' \"$@\"\n";
  fs::permissions(engine, fs::perms::owner_all);
  WriteSettings(engine.string(), 30);
  ASSERT_EQ(getenv("VELMAR_PIPE_NAMESPACE"), nullptr);
  TProgram own(Dir, Args({"--headless", "doc.vmgr"}));
  EXPECT_EQ(own.Wait(), 0) << own.Out << own.Err;
  EXPECT_TRUE(std::regex_match(ReadText(Dir / "namespace"), std::regex("u0-[0-9a-f]{16}-"))) << ReadText(Dir / "namespace");
  kill(squatter, SIGKILL);
  waitpid(squatter, nullptr, 0);
}

// The progress line on a terminal: drawn when it changes, cleared before
// every line of the output and at the end.
TEST_F(BatchTest, TheProgressLineFollowsTheRuns) {
  Document("first.vmgr", 1, 3, 0);
  Document("second.vmgr", 1, 3, 0, "exit_at_step = 2");
  std::ostringstream out, err;
  setenv("VELMAR_PIPE_NAMESPACE", Env[0].substr(Env[0].find('=') + 1).c_str(), 1);
  {
    TBatchOptions options;
    options.Documents = {(Dir / "first.vmgr").string(), (Dir / "second.vmgr").string()};
    options.Jobs = 1;
    options.SettingsFile = (Dir / "settings.ini").string();
    options.ManagerProgram = ToolPaths::Program("velmar-manager");
    options.ProgressLine = true;
    TBatchRun batch(options, out, err);
    EXPECT_EQ(batch.Run(), TBatchRun::EXIT_FAILED);
    ASSERT_EQ(batch.Records().size(), 2u);
    EXPECT_EQ(batch.Records()[0].Outcome, "completed");
    EXPECT_EQ(batch.Records()[1].Outcome, "failed");
  }
  unsetenv("VELMAR_PIPE_NAMESPACE");
  EXPECT_EQ(err.str(),
            "\r0 of 2 done, 1 running, 0 failed\033[K\r\033[K"
            "\r1 of 2 done, 1 running, 0 failed\033[K\r\033[K"
            "\r2 of 2 done, 0 running, 1 failed\033[K\r\033[K");
  EXPECT_EQ(Lines(out.str()).size(), 1u + 2 + 2 + 2 + 1) << out.str();
}

}  // namespace
