#include "platform/Process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/Events.h"
#include "platform/ProcessTestChild.h"

using namespace Platform;
namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FDir = fs::temp_directory_path() / ("velmar-process-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(FDir);
    FOut = (FDir / "out.txt").string();
  }
  void TearDown() override { fs::remove_all(FDir); }

  // The environment for a child that runs `mode` and reports to FOut.
  std::vector<std::string> ChildEnv(const std::string& mode) const {
    return {"VELMAR_TEST_CHILD=" + mode, "VELMAR_TEST_CHILD_OUT=" + FOut, "PATH=/usr/bin:/bin"};
  }

  TProcessInformation Start(const std::string& commandLine, const std::string& mode, int in = -1, int out = -1) {
    TSpawnRequest r;
    r.CommandLine = commandLine;
    r.UseEnvironment = true;
    r.Environment = ChildEnv(mode);
    r.StdInput = in;
    r.StdOutput = out;
    TProcessInformation info;
    EXPECT_EQ(0, SpawnProcess(r, info));
    return info;
  }

  // Waits for the child to end and returns its exit code.
  static uint32_t Finish(TProcessInformation& info) {
    EXPECT_EQ(WAIT_OBJECT_0, WaitForProcess(info.hProcess, 20000));
    uint32_t code = 0;
    EXPECT_TRUE(GetExitCodeProcess(info.hProcess, code));
    CloseProcessHandle(info.hProcess);
    return code;
  }

  Args Report() const {
    std::ifstream f(FOut);
    Args lines;
    for (std::string line; std::getline(f, line);) lines.push_back(line);
    return lines;
  }

  static std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

  fs::path FDir;
  std::string FOut;
};

// Whether a process with this pid exists in any state (a zombie included).
bool PidExists(uint32_t pid) { return fs::exists("/proc/" + std::to_string(pid)); }

// Polls until the pid is gone; the reaper works on its own thread.
bool PidGoneWithin(uint32_t pid, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (PidExists(pid)) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace

TEST(SplitCommandLine, FollowsTheWindowsRuntimeRules) {
  struct Case {
    std::string line;
    Args args;
  } cases[] = {
      {R"("C:\Program Files\x.exe" a b)", {R"(C:\Program Files\x.exe)", "a", "b"}},
      {R"(p "abc" d e)", {"p", "abc", "d", "e"}},
      {R"(p a\\b d"e f"g h)", {"p", R"(a\\b)", "de fg", "h"}},
      {R"(p a\\\"b c d)", {"p", R"(a\"b)", "c", "d"}},
      {R"(p a\\\\"b c" d e)", {"p", R"(a\\b c)", "d", "e"}},
      {R"(p a"b"" c d)", {"p", R"(ab" c d)"}},
      {"p \"\" x", {"p", "", "x"}},
      {"p\t a \t b  ", {"p", "a", "b"}},
      // The program name takes backslashes as they are and drops quotes.
      {R"("a\"b c)", {R"(a\b)", "c"}},
      {"\"/opt/my tool/run\" ", {"/opt/my tool/run"}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.args, SplitCommandLine(c.line)) << c.line;
  EXPECT_TRUE(SplitCommandLine("").empty());
}

TEST_F(ProcessTest, ChildSeesArgumentsAsAWindowsChildWould) {
  const fs::path dir = FDir / "with spaces";
  fs::create_directories(dir);
  const fs::path program = dir / "child prog";
  fs::create_symlink(ProcessTestChild::SelfPath(), program);
  TSpawnRequest r;
  r.CommandLine = Quoted(program.string()) + R"( one "two three" a\\\"b "" end)";
  r.UseEnvironment = true;
  r.Environment = ChildEnv("args");
  r.WorkingDirectory = dir.string();
  TProcessInformation info;
  ASSERT_EQ(0, SpawnProcess(r, info));
  EXPECT_GE(info.hProcess, 0);
  EXPECT_EQ(-1, info.hThread);
  EXPECT_NE(0u, info.dwProcessId);
  EXPECT_EQ(0u, Finish(info));
  EXPECT_EQ((Args{"one", "two three", R"(a\"b)", "", "end", "cwd=" + dir.string()}), Report());
}

TEST_F(ProcessTest, RelativeProgramPathIsTakenFromTheCallersFolder) {
  const fs::path sub = FDir / "bin";
  fs::create_directories(sub);
  fs::create_symlink(ProcessTestChild::SelfPath(), sub / "child");
  const fs::path before = fs::current_path();
  fs::current_path(FDir);
  TSpawnRequest r;
  r.CommandLine = "bin/child x";
  r.UseEnvironment = true;
  r.Environment = ChildEnv("args");
  r.WorkingDirectory = "/";
  TProcessInformation info;
  const int rc = SpawnProcess(r, info);
  fs::current_path(before);
  ASSERT_EQ(0, rc);
  EXPECT_EQ(0u, Finish(info));
  EXPECT_EQ((Args{"x", "cwd=/"}), Report());
}

TEST_F(ProcessTest, EnvironmentIsExactlyTheGivenEntriesInOrder) {
  TSpawnRequest r;
  r.CommandLine = Quoted(ProcessTestChild::SelfPath());
  r.UseEnvironment = true;
  r.Environment = ChildEnv("env");
  r.Environment.push_back("A=1");
  r.Environment.push_back("A=2");
  r.Environment.push_back("=C:=odd");
  TProcessInformation info;
  ASSERT_EQ(0, SpawnProcess(r, info));
  EXPECT_EQ(0u, Finish(info));
  EXPECT_EQ(r.Environment, Report());
}

TEST_F(ProcessTest, InheritsTheCallersEnvironmentWhenNoneIsGiven) {
  ::setenv("VELMAR_TEST_CHILD", "env", 1);
  ::setenv("VELMAR_TEST_CHILD_OUT", FOut.c_str(), 1);
  ::setenv("VELMAR_INHERIT_PROBE", "yes", 1);
  TSpawnRequest r;
  r.CommandLine = Quoted(ProcessTestChild::SelfPath());
  TProcessInformation info;
  const int rc = SpawnProcess(r, info);
  ::unsetenv("VELMAR_TEST_CHILD");
  ::unsetenv("VELMAR_TEST_CHILD_OUT");
  ::unsetenv("VELMAR_INHERIT_PROBE");
  ASSERT_EQ(0, rc);
  EXPECT_EQ(0u, Finish(info));
  const Args env = Report();
  EXPECT_NE(env.end(), std::find(env.begin(), env.end(), "VELMAR_INHERIT_PROBE=yes"));
}

TEST_F(ProcessTest, ChildGetsOnlyTheStandardDescriptorsAndDefaultSigpipe) {
  int leakR = -1, leakW = -1;
  int plain[2];
  ASSERT_EQ(0, ::pipe(plain));  // inheritable on purpose
  ASSERT_EQ(0, CreatePipe(leakR, leakW));
  TProcessInformation info = Start(Quoted(ProcessTestChild::SelfPath()), "fds");
  EXPECT_EQ(0u, Finish(info));
  EXPECT_EQ((Args{"0", "1", "2"}), Report());
  ::close(plain[0]);
  ::close(plain[1]);
  CloseHandleClear(leakR);
  CloseHandleClear(leakW);

  info = Start(Quoted(ProcessTestChild::SelfPath()), "sigpipe");
  EXPECT_EQ(0u, Finish(info));
  EXPECT_EQ((Args{"default"}), Report());
}

TEST_F(ProcessTest, NewSessionMakesTheChildASessionLeader) {
  TSpawnRequest r;
  r.CommandLine = Quoted(ProcessTestChild::SelfPath());
  r.UseEnvironment = true;
  r.Environment = ChildEnv("sid");
  TProcessInformation info;
  ASSERT_EQ(0, SpawnProcess(r, info));
  Finish(info);
  EXPECT_EQ((Args{"member"}), Report());
  r.NewSession = true;
  ASSERT_EQ(0, SpawnProcess(r, info));
  Finish(info);
  EXPECT_EQ((Args{"leader"}), Report());
}

TEST_F(ProcessTest, MissingOrNonExecutableProgramFails) {
  TSpawnRequest r;
  r.CommandLine = Quoted((FDir / "no such program").string()) + " a";
  TProcessInformation info;
  info.hProcess = 1234;
  EXPECT_EQ(ENOENT, SpawnProcess(r, info));
  EXPECT_EQ(-1, info.hProcess);
  EXPECT_EQ(0u, info.dwProcessId);

  const fs::path text = FDir / "plain.txt";
  std::ofstream(text) << "not a program\n";
  r.CommandLine = Quoted(text.string());
  EXPECT_EQ(EACCES, SpawnProcess(r, info));

  r.CommandLine = Quoted(ProcessTestChild::SelfPath());
  r.WorkingDirectory = (FDir / "missing folder").string();
  EXPECT_NE(0, SpawnProcess(r, info));
  EXPECT_EQ(-1, info.hProcess);
}

TEST_F(ProcessTest, ExitCodeAndTermination) {
  TProcessInformation info = Start(Quoted(ProcessTestChild::SelfPath()), "exit:7");
  EXPECT_EQ(7u, Finish(info));

  info = Start(Quoted(ProcessTestChild::SelfPath()), "sleep");
  uint32_t code = 0;
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, code));
  EXPECT_EQ(STILL_ACTIVE, code);
  EXPECT_EQ(WAIT_TIMEOUT, WaitForProcess(info.hProcess, 0));
  EXPECT_TRUE(TerminateProcess(info.hProcess));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForProcess(info.hProcess, 20000));
  ASSERT_TRUE(GetExitCodeProcess(info.hProcess, code));
  EXPECT_EQ(128u + SIGKILL, code);
  // Gone and reaped: the handle no longer reaches any process.
  EXPECT_FALSE(TerminateProcess(info.hProcess));
  CloseProcessHandle(info.hProcess);
  EXPECT_EQ(-1, info.hProcess);

  EXPECT_FALSE(TerminateProcess(-1));
  EXPECT_FALSE(GetExitCodeProcess(-1, code));
  EXPECT_EQ(WAIT_FAILED, WaitForProcess(-1, 0));
}

// The exit count tells callers when asking their processes is worth it: it
// moves once a waited-for process has ended, and on its own a moment after an
// unwatched one ends, and stays put while nothing ends.
TEST_F(ProcessTest, ExitCountMovesWhenAProcessEnds) {
  TProcessInformation waited = Start(Quoted(ProcessTestChild::SelfPath()), "sleep");
  const uint64_t before = ProcessExitsSeen();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(before, ProcessExitsSeen());
  ASSERT_TRUE(TerminateProcess(waited.hProcess));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForProcess(waited.hProcess, 20000));
  const uint64_t afterWait = ProcessExitsSeen();
  EXPECT_GT(afterWait, before);
  CloseProcessHandle(waited.hProcess);

  TProcessInformation unwatched = Start(Quoted(ProcessTestChild::SelfPath()), "exit:0");
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ProcessExitsSeen() == afterWait && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  EXPECT_GT(ProcessExitsSeen(), afterWait);
  uint32_t code = STILL_ACTIVE;
  EXPECT_TRUE(GetExitCodeProcess(unwatched.hProcess, code));
  EXPECT_EQ(0u, code);
  CloseProcessHandle(unwatched.hProcess);
}

TEST_F(ProcessTest, NoZombieWhetherOrNotTheStatusIsAskedFor) {
  // Asked for: reaped by the time the code is known.
  TProcessInformation asked = Start(Quoted(ProcessTestChild::SelfPath()), "exit:0");
  const uint32_t askedPid = asked.dwProcessId;
  EXPECT_EQ(0u, Finish(asked));
  EXPECT_FALSE(PidExists(askedPid));

  // Handle closed while the child still runs; it exits later.
  int inR = -1, inW = -1;
  ASSERT_EQ(0, CreatePipe(inR, inW));
  TProcessInformation orphan = Start(Quoted(ProcessTestChild::SelfPath()), "echo", inR);
  CloseHandleClear(inR);
  const uint32_t orphanPid = orphan.dwProcessId;
  CloseProcessHandle(orphan.hProcess);
  EXPECT_TRUE(PidExists(orphanPid));
  CloseHandleClear(inW);  // end of input: the child exits
  EXPECT_TRUE(PidGoneWithin(orphanPid, std::chrono::seconds(20)));

  // Never asked, never closed: still reaped.
  TProcessInformation ignored = Start(Quoted(ProcessTestChild::SelfPath()), "exit:3");
  ASSERT_EQ(WAIT_OBJECT_0, WaitForProcess(ignored.hProcess, 20000));
  EXPECT_TRUE(PidGoneWithin(ignored.dwProcessId, std::chrono::seconds(20)));
  uint32_t code = 0;
  EXPECT_TRUE(GetExitCodeProcess(ignored.hProcess, code));
  EXPECT_EQ(3u, code);
  CloseProcessHandle(ignored.hProcess);
}

TEST_F(ProcessTest, PipesCarryLinesBothWays) {
  int inR = -1, inW = -1, outR = -1, outW = -1;
  ASSERT_EQ(0, CreatePipe(inR, inW));
  ASSERT_EQ(0, CreatePipe(outR, outW));
  TProcessInformation info = Start(Quoted(ProcessTestChild::SelfPath()), "echo", inR, outW);
  CloseHandleClear(inR);
  CloseHandleClear(outW);

  const std::string line = "hello there\r\n";
  size_t written = 0;
  ASSERT_EQ(0, WritePipe(inW, line.data(), line.size(), written));
  EXPECT_EQ(line.size(), written);
  EXPECT_EQ(0, FlushPipe(inW, 20000));

  std::string got;
  while (got.find('\n') == std::string::npos) {
    ASSERT_EQ(WAIT_OBJECT_0, WaitForAnyFd(std::span<const int>(&outR, 1), 20000));
    uint32_t waiting = 0;
    ASSERT_EQ(0, PeekPipe(outR, waiting));
    char buf[64];
    size_t n = 0;
    ASSERT_EQ(0, ReadPipe(outR, buf, sizeof buf, n));
    EXPECT_LE(n, std::max<size_t>(waiting, 1) + 64);
    got.append(buf, n);
  }
  EXPECT_EQ(line, got);

  ASSERT_EQ(0, WritePipe(inW, "quit\n", 5, written));
  EXPECT_EQ(0u, Finish(info));
  // The child wrote its last line and went: the rest reads, then end of file.
  std::string rest;
  for (;;) {
    char buf[64];
    size_t n = 0;
    const int rc = ReadPipe(outR, buf, sizeof buf, n);
    if (rc) {
      EXPECT_EQ(EPIPE, rc);
      EXPECT_EQ(0u, n);
      break;
    }
    rest.append(buf, n);
  }
  EXPECT_EQ("quit\n", rest);
  uint32_t waiting = 7;
  EXPECT_EQ(EPIPE, PeekPipe(outR, waiting));
  EXPECT_EQ(0u, waiting);
  CloseHandleClear(outR);

  // The reader is gone: a write reports EPIPE instead of ending this program.
  EXPECT_EQ(EPIPE, WritePipe(inW, "x\n", 2, written));
  CloseHandleClear(inW);
}

TEST(Pipe, PeekCountsWaitingBytesWithoutRemovingThem) {
  int r = -1, w = -1;
  ASSERT_EQ(0, CreatePipe(r, w));
  uint32_t waiting = 99;
  EXPECT_EQ(0, PeekPipe(r, waiting));
  EXPECT_EQ(0u, waiting);
  size_t written = 0;
  ASSERT_EQ(0, WritePipe(w, "abc", 3, written));
  EXPECT_EQ(0, PeekPipe(r, waiting));
  EXPECT_EQ(3u, waiting);
  EXPECT_EQ(0, PeekPipe(r, waiting));
  EXPECT_EQ(3u, waiting);
  char c = 0;
  size_t n = 0;
  ASSERT_EQ(0, ReadPipe(r, &c, 1, n));
  EXPECT_EQ('a', c);
  EXPECT_EQ(0, PeekPipe(r, waiting));
  EXPECT_EQ(2u, waiting);
  // Bytes still waiting after the writer left are still read, not an error.
  CloseHandleClear(w);
  EXPECT_EQ(0, PeekPipe(r, waiting));
  EXPECT_EQ(2u, waiting);
  CloseHandleClear(r);
}

TEST(Pipe, FlushWaitsForTheReader) {
  int r = -1, w = -1;
  ASSERT_EQ(0, CreatePipe(r, w));
  EXPECT_EQ(0, FlushPipe(w, 0));  // nothing written: nothing to wait for
  size_t written = 0;
  ASSERT_EQ(0, WritePipe(w, "line\r\n", 6, written));
  EXPECT_EQ(ETIMEDOUT, FlushPipe(w, 30));

  std::thread reader([r] {
    char buf[6];
    size_t n = 0, total = 0;
    while (total < sizeof buf && ReadPipe(r, buf + total, sizeof buf - total, n) == 0) total += n;
  });
  EXPECT_EQ(0, FlushPipe(w, 20000));
  reader.join();

  ASSERT_EQ(0, WritePipe(w, "more", 4, written));
  CloseHandleClear(r);
  EXPECT_EQ(EPIPE, FlushPipe(w, 20000));
  CloseHandleClear(w);
}

// Reads everything from the pipe until the writer has gone.
std::string ReadAll(int r) {
  std::string text;
  char buf[65536];
  size_t n = 0;
  while (ReadPipe(r, buf, sizeof buf, n) == 0 && n > 0) text.append(buf, n);
  return text;
}

std::string Pattern(size_t size, unsigned seed) {
  std::string text(size, '\0');
  for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + seed) % 26);
  return text;
}

// With a non-blocking write end, a full pipe ends the wait after the
// time-out; what went in is counted.
TEST(Pipe, WritesToAFullPipeTimeOut) {
  const std::string text = Pattern(1 << 20, 5);
  {
    int r = -1, w = -1;
    ASSERT_EQ(0, CreatePipe(r, w));
    ASSERT_EQ(0, SetPipeNonBlocking(w));
    const int capacity = ::fcntl(w, F_GETPIPE_SZ);
    size_t written = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ETIMEDOUT, WritePipe(w, text.data(), text.size(), written, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_GT(written, 0u);
    EXPECT_LE(written, static_cast<size_t>(capacity));
    // Room again: the rest goes.
    std::string got;
    std::thread reader([&] { got = ReadAll(r); });
    size_t more = 0;
    EXPECT_EQ(0, WritePipe(w, text.data() + written, text.size() - written, more, 20000));
    CloseHandleClear(w);
    reader.join();
    CloseHandleClear(r);
    EXPECT_TRUE(got == text);
  }
}

TEST(Pipe, CapacityGrowsAndNeverShrinks) {
  int r = -1, w = -1;
  ASSERT_EQ(0, CreatePipe(r, w));
  ASSERT_EQ(0, SetPipeCapacity(w, 256 * 1024));
  EXPECT_GE(::fcntl(w, F_GETPIPE_SZ), 256 * 1024);
  ASSERT_EQ(0, SetPipeCapacity(w, 4096));
  EXPECT_GE(::fcntl(w, F_GETPIPE_SZ), 256 * 1024);
  CloseHandleClear(r);
  CloseHandleClear(w);
  EXPECT_NE(0, SetPipeCapacity(w, 4096));  // no descriptor
}

// An answer ends the wait only once the pipe has been drained: an answer
// already waiting (or one given before reading) does not count.
TEST(Pipe, FlushWithAnAnswerPipeStillWaitsForTheReader) {
  int r = -1, w = -1, answerR = -1, answerW = -1;
  ASSERT_EQ(0, CreatePipe(r, w));
  ASSERT_EQ(0, CreatePipe(answerR, answerW));
  size_t written = 0;
  ASSERT_EQ(0, WritePipe(answerW, "old\n", 4, written));
  ASSERT_EQ(0, WritePipe(w, "line\r\n", 6, written));
  EXPECT_EQ(ETIMEDOUT, FlushPipe(w, 50, answerR));

  std::thread reader([r, answerW] {
    char buf[6];
    size_t n = 0, total = 0, sent = 0;
    while (total < sizeof buf && ReadPipe(r, buf + total, sizeof buf - total, n) == 0) total += n;
    (void)WritePipe(answerW, "ok\n", 3, sent);
  });
  EXPECT_EQ(0, FlushPipe(w, 20000, answerR));
  reader.join();
  uint32_t waiting = 0;
  EXPECT_EQ(0, PeekPipe(answerR, waiting));
  EXPECT_EQ(7u, waiting);  // the answers are left for their reader
  for (int* fd : {&r, &w, &answerR, &answerW}) CloseHandleClear(*fd);
}

TEST(Pipe, InheritanceFlagCanBeSwitched) {
  int r = -1, w = -1;
  ASSERT_EQ(0, CreatePipe(r, w));
  EXPECT_TRUE(::fcntl(r, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(0, SetHandleInheritable(r, true));
  EXPECT_FALSE(::fcntl(r, F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(0, SetHandleInheritable(r, false));
  EXPECT_TRUE(::fcntl(r, F_GETFD) & FD_CLOEXEC);
  CloseHandleClear(r);
  CloseHandleClear(w);
  EXPECT_EQ(EBADF, SetHandleInheritable(r, false));
}
