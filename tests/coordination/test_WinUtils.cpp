#include "coordination/WinUtils.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

#include "platform/DebugOut.h"
#include "platform/Events.h"
#include "platform/ProcessTestChild.h"

using namespace WinUtils;
namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

Lines CurrentEnvironment() {
  Lines env;
  for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
  return env;
}

// Replaces the whole environment (restored by the fixture).
void SetEnvironment(const Lines& entries) {
  ::clearenv();
  for (const auto& e : entries) {
    const size_t eq = e.find('=', 1);
    ::setenv(e.substr(0, eq).c_str(), eq == std::string::npos ? "" : e.substr(eq + 1).c_str(), 1);
  }
}

class WinUtilsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FSavedEnv = CurrentEnvironment();
    FDir = fs::temp_directory_path() / ("velmar-winutils-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(FDir / "with spaces");
    FProgram = (FDir / "with spaces" / "child prog").string();
    fs::create_symlink(ProcessTestChild::SelfPath(), FProgram);
    FOut = (FDir / "out.txt").string();
  }
  void TearDown() override {
    SetEnvironment(FSavedEnv);
    Platform::SetDebugSink(nullptr);
    fs::remove_all(FDir);
  }

  // The child's job comes through the environment we pass on.
  void ChildMode(const std::string& mode) {
    ::setenv("VELMAR_TEST_CHILD", mode.c_str(), 1);
    ::setenv("VELMAR_TEST_CHILD_OUT", FOut.c_str(), 1);
  }

  Lines Report() const {
    std::ifstream f(FOut);
    Lines lines;
    for (std::string line; std::getline(f, line);) lines.push_back(line);
    return lines;
  }

  static uint32_t Finish(TProcessInformation& info) {
    EXPECT_EQ(Platform::WAIT_OBJECT_0, Platform::WaitForProcess(info.hProcess, 20000));
    uint32_t code = 0;
    EXPECT_TRUE(Platform::GetExitCodeProcess(info.hProcess, code));
    Platform::CloseProcessHandle(info.hProcess);
    return code;
  }

  // Reads one line (up to and including LF) from a pipe.
  static std::string ReadLine(int fd) {
    std::string line;
    while (line.empty() || line.back() != '\n') {
      char c;
      size_t n = 0;
      if (Platform::ReadPipe(fd, &c, 1, n) != 0) break;
      line += c;
    }
    return line;
  }

  static void Send(int fd, const std::string& text) {
    size_t written = 0;
    ASSERT_EQ(0, Platform::WritePipe(fd, text.data(), text.size(), written));
  }

  Lines FSavedEnv;
  fs::path FDir;
  std::string FProgram, FOut;
};

}  // namespace

TEST(WinUtilsText, CommandLineQuotesOnlyThePath) {
  EXPECT_EQ("\"/opt/my tools/velmar\" -q /RUN=YES \"m.vm\"", QuotedCommandLine("/opt/my tools/velmar", "-q /RUN=YES \"m.vm\""));
  EXPECT_EQ("\"/opt/velmar\" ", QuotedCommandLine("/opt/velmar", ""));
}

TEST(WinUtilsText, FilePathKeepsItsSlash) {
  EXPECT_EQ("/opt/my tools/", ExtractFilePath("/opt/my tools/velmar"));
  EXPECT_EQ("/", ExtractFilePath("/velmar"));
  EXPECT_EQ("", ExtractFilePath("velmar"));
}

TEST(WinUtilsText, EnvironmentBlockTakesNonEmptyLinesAsTheyAre) {
  const Lines expected{"A=1", "B=2", "X=5"};
  EXPECT_EQ(expected, MakeEnvironmentStringsBlock("A=1\r\nB=2\r\nX=5\r\n\r\n"));
  EXPECT_EQ(expected, MakeEnvironmentStringsBlock("A=1\nB=2\n\nX=5"));
  EXPECT_EQ(expected, MakeEnvironmentStringsBlock("A=1\rB=2\r\rX=5\r"));
  // Nothing checked, nothing merged or sorted.
  EXPECT_EQ((Lines{"B=2", "no sign", "B=3", " A = 1 "}), MakeEnvironmentStringsBlock("B=2\nno sign\r\nB=3\n A = 1 "));
  EXPECT_TRUE(MakeEnvironmentStringsBlock("").empty());
  EXPECT_TRUE(MakeEnvironmentStringsBlock("\r\n\n\r").empty());
}

TEST_F(WinUtilsTest, EnvironmentTextEndsEveryEntryWithCrLf) {
  SetEnvironment({"A=1", "B=2"});
  EXPECT_EQ("A=1\r\nB=2\r\n", GetEnvironmentStrings());
  // The round trip used for the processor: current entries, then additions.
  EXPECT_EQ((Lines{"A=1", "B=2", "X=5"}), MakeEnvironmentStringsBlock(GetEnvironmentStrings() + "X=5\r\n\r\n"));
  ::clearenv();
  EXPECT_EQ("", GetEnvironmentStrings());
}

TEST_F(WinUtilsTest, EngineFormStartsInItsOwnFolderWithParametersSplitAsWindowsWould) {
  ChildMode("args");
  TProcessInformation info;
  ASSERT_TRUE(ExecNoWait(FProgram, R"(-q /RUN=YES /RPCID=3 "/models/my model.vm" a\\\"b /RpcResponseTimeout=62)", info));
  EXPECT_GE(info.hProcess, 0);
  EXPECT_EQ(0u, Finish(info));
  EXPECT_EQ((Lines{"-q", "/RUN=YES", "/RPCID=3", "/models/my model.vm", R"(a\"b)", "/RpcResponseTimeout=62",
                   "cwd=" + (FDir / "with spaces").string()}),
            Report());

  ChildMode("args");
  ASSERT_TRUE(ExecNoWait(FProgram, "", info));
  EXPECT_EQ(0u, Finish(info));
  EXPECT_EQ((Lines{"cwd=" + (FDir / "with spaces").string()}), Report());

  ChildMode("sid");
  ASSERT_TRUE(ExecNoWait(FProgram, "", info));
  EXPECT_EQ(0u, Finish(info));
  EXPECT_EQ((Lines{"leader"}), Report());
}

TEST_F(WinUtilsTest, EngineFormFailsForAMissingProgram) {
  TProcessInformation info;
  const TExecResult exec = ExecNoWait((FDir / "nothing here").string(), "", info);
  EXPECT_FALSE(exec);
  EXPECT_EQ(TExecFailure::Launch, exec.Failure);
  EXPECT_EQ(ENOENT, exec.Error);
  EXPECT_EQ(-1, info.hProcess);
}

TEST_F(WinUtilsTest, ProcessorFormTalksOverPipesAndLogsItsHandles) {
  Lines debug;
  Platform::SetDebugSink([&](const std::string& line) { debug.push_back(line); });
  ChildMode("echo");
  ::unsetenv("VELMAR_TEST_CHILD_OUT");
  TProcessInformation info;
  int readPipe = -1, writePipe = -1;
  ASSERT_TRUE(ExecNoWait(FProgram, "", info, readPipe, writePipe, ""));
  Platform::SetDebugSink(nullptr);
  ASSERT_EQ(3u, debug.size());
  std::smatch in, out, startup;
  ASSERT_TRUE(std::regex_match(debug[0], in, std::regex(R"( *childStdInPipeRead=(\d+), childStdInPipeWrite=(\d+))")));
  ASSERT_TRUE(std::regex_match(debug[1], out, std::regex(R"( *childStdOutPipeRead=(\d+), childStdOutPipeWrite=(\d+))")));
  ASSERT_TRUE(std::regex_match(
      debug[2], startup,
      std::regex(R"( *startupInfo.hStdInput=(\d+), startupInfo.hStdOutput=(\d+), startupInfo.hStdError=(-?\d+))")));
  EXPECT_EQ(std::to_string(writePipe), in[2]);
  EXPECT_EQ(std::to_string(readPipe), out[1]);
  EXPECT_EQ(in[1], startup[1]);
  EXPECT_EQ(out[2], startup[2]);
  EXPECT_EQ("2", startup[3]);

  Send(writePipe, "{\"method\":\"Echo\"}\r\n");
  EXPECT_EQ(0, Platform::FlushPipe(writePipe, 20000));
  EXPECT_EQ("{\"method\":\"Echo\"}\r\n", ReadLine(readPipe));

  // Closing our write end is end of input for the processor.
  Platform::CloseHandleClear(writePipe);
  EXPECT_EQ(0u, Finish(info));
  Platform::CloseHandleClear(readPipe);
}

TEST_F(WinUtilsTest, ProcessorEnvironmentIsOursThenTheAdditions) {
  SetEnvironment({"A=1", "B=2"});
  ChildMode("env");
  const Lines ours = CurrentEnvironment();
  TProcessInformation info;
  int readPipe = -1, writePipe = -1;
  ASSERT_TRUE(ExecNoWait(FProgram, "", info, readPipe, writePipe, "X=5\r\n\r\nA=9\n"));
  EXPECT_EQ(0u, Finish(info));
  Lines expected = ours;
  expected.push_back("X=5");
  expected.push_back("A=9");  // a repeated name occurs twice, ours first
  EXPECT_EQ(expected, Report());
  Platform::CloseHandleClear(readPipe);
  Platform::CloseHandleClear(writePipe);

  // No additions: exactly our environment.
  ASSERT_TRUE(ExecNoWait(FProgram, "", info, readPipe, writePipe, ""));
  EXPECT_EQ(0u, Finish(info));
  EXPECT_EQ(ours, Report());
  Platform::CloseHandleClear(readPipe);
  Platform::CloseHandleClear(writePipe);
}

TEST_F(WinUtilsTest, ProcessorEnvironmentKeepsValuesWithLineBreaksWhole) {
  ChildMode("env");
  ::setenv("VELMAR_MULTILINE", "first\nsecond", 1);
  TProcessInformation info;
  int readPipe = -1, writePipe = -1;
  ASSERT_TRUE(ExecNoWait(FProgram, "", info, readPipe, writePipe, "X=5"));
  EXPECT_EQ(0u, Finish(info));
  const Lines env = Report();
  const auto at = std::find(env.begin(), env.end(), "VELMAR_MULTILINE=first");
  ASSERT_NE(env.end(), at);
  ASSERT_NE(env.end(), at + 1);
  EXPECT_EQ("second", *(at + 1));
  EXPECT_EQ("X=5", env.back());
  Platform::CloseHandleClear(readPipe);
  Platform::CloseHandleClear(writePipe);
}

TEST_F(WinUtilsTest, ProcessorFormThatFailsStillHandsOverOurEnds) {
  TProcessInformation info;
  info.hProcess = 77;
  int readPipe = -1, writePipe = -1;
  const TExecResult exec = ExecNoWait((FDir / "nothing here").string(), "x", info, readPipe, writePipe, "X=5");
  EXPECT_EQ(TExecFailure::Launch, exec.Failure);
  EXPECT_EQ(ENOENT, exec.Error);
  EXPECT_EQ(-1, info.hProcess);
  ASSERT_GE(readPipe, 0);
  ASSERT_GE(writePipe, 0);
  // The child's ends are closed: nobody writes to our read end, nobody
  // reads from our write end.
  char c;
  size_t n = 0;
  EXPECT_EQ(EPIPE, Platform::ReadPipe(readPipe, &c, 1, n));
  EXPECT_EQ(EPIPE, Platform::WritePipe(writePipe, "x", 1, n));
  Platform::CloseHandleClear(readPipe);
  Platform::CloseHandleClear(writePipe);
}

TEST_F(WinUtilsTest, EnginesDoNotHoldTheProcessorsPipes) {
  ChildMode("echo");
  ::unsetenv("VELMAR_TEST_CHILD_OUT");
  TProcessInformation processor;
  int readPipe = -1, writePipe = -1;
  ASSERT_TRUE(ExecNoWait(FProgram, "", processor, readPipe, writePipe, ""));
  ChildMode("sleep");
  TProcessInformation engine;
  ASSERT_TRUE(ExecNoWait(FProgram, "", engine));

  // With the engine still alive, closing our end still ends the processor.
  Platform::CloseHandleClear(writePipe);
  EXPECT_EQ(Platform::WAIT_OBJECT_0, Platform::WaitForProcess(processor.hProcess, 20000));
  Platform::CloseProcessHandle(processor.hProcess);
  Platform::CloseHandleClear(readPipe);

  EXPECT_TRUE(Platform::TerminateProcess(engine.hProcess));
  EXPECT_EQ(128u + SIGKILL, Finish(engine));
}

TEST_F(WinUtilsTest, OutputFilesReachOnlyTheChildTheyAreFor) {
  auto linkOf = [](const TProcessInformation& info, int fd) {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(info.dwProcessId) + "/fd/" + std::to_string(fd), ec).string();
  };
  const std::string processorLog = (FDir / "run.processor.log").string();
  const std::string engineLog = (FDir / "run.engine0.log").string();
  std::ofstream(engineLog) << "a previous run's output\n";
  ChildMode("sleep");

  // The processor: standard error to its file, standard output to our pipe.
  int errorOutput = -1;
  ASSERT_EQ(0, Platform::CreateOutputFile(processorLog, errorOutput));
  TProcessInformation processor;
  int readPipe = -1, writePipe = -1;
  ASSERT_TRUE(ExecNoWait(FProgram, "", processor, readPipe, writePipe, "", errorOutput));
  Platform::CloseHandleClear(errorOutput);
  EXPECT_EQ(processorLog, linkOf(processor, 2));
  EXPECT_EQ(0u, linkOf(processor, 1).rfind("pipe:", 0));

  // An engine: both streams to its file, emptied; nothing of the processor's.
  int output = -1;
  ASSERT_EQ(0, Platform::CreateOutputFile(engineLog, output));
  EXPECT_EQ(0u, fs::file_size(engineLog));
  TProcessInformation engine;
  ASSERT_TRUE(ExecNoWait(FProgram, "", engine, output));
  Platform::CloseHandleClear(output);
  EXPECT_EQ(engineLog, linkOf(engine, 1));
  EXPECT_EQ(engineLog, linkOf(engine, 2));
  // A descriptor can close between the listing and the look at it (the
  // child's own start-up, under a sanitizer's runtime, opens and closes some).
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(engine.dwProcessId) + "/fd")) {
    std::error_code ec;
    const std::string target = fs::read_symlink(fd.path(), ec).string();
    if (ec) continue;
    EXPECT_NE(processorLog, target) << fd.path();
  }

  // A file that cannot be created is reported, with no descriptor.
  int bad = 7;
  EXPECT_EQ(ENOENT, Platform::CreateOutputFile((FDir / "no such folder" / "x.log").string(), bad));
  EXPECT_EQ(-1, bad);

  for (TProcessInformation* child : {&processor, &engine}) {
    EXPECT_TRUE(Platform::TerminateProcess(child->hProcess));
    EXPECT_EQ(128u + SIGKILL, Finish(*child));
  }
  Platform::CloseHandleClear(readPipe);
  Platform::CloseHandleClear(writePipe);
}
