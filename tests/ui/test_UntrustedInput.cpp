// The manager program given hostile or odd input: files planted beside the
// document, paths that try to pass for engine options, documents with
// nothing to run, a file-size limit. Run as the user would run it.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace fs = std::filesystem;

namespace {

std::string BinDir() {
  const char* bin = std::getenv("VELMAR_BIN_DIR");
  return bin ? bin : "bin";
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

class UntrustedInput : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("velmar-untrusted-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    Engine(BinDir() + "/velmar-refengine");
  }
  void TearDown() override { fs::remove_all(Dir); }

  void Engine(const std::string& program) {
    std::ofstream(Dir / "settings.ini") << "[Velmar]\nFilename=" << program
                                        << "\nStartTimeout=20\nTimeStepTimeout=20\n[ExternalProcessor]\nUseExternalProcessor=0\n";
  }
  std::string Model(int i, int years) {
    const fs::path path = Dir / ("m" + std::to_string(i) + ".vm");
    std::ofstream(path) << "years = " << years << "\nseed = " << 3 + i << "\n[population P" << i
                        << "]\ninitial = 100\ncapacity = 1000\ngrowth = 0.2\n";
    return path.string();
  }
  void Document(const std::vector<std::string>& models) {
    std::ofstream doc(Dir / "doc.vmgr");
    for (size_t i = 0; i < models.size(); ++i) doc << "[Model" << i << "]\nFilename=" << models[i] << "\n";
  }
  // Runs the document headless; `prefix` is shell text put before the
  // program (a ulimit, say). Status -1 when the program did not exit by
  // itself (a signal ended it).
  int Run(const std::string& prefix = "") {
    const std::string command = prefix + "VELMAR_PIPE_NAMESPACE=" + Quoted("untrusted-" + std::to_string(getpid()) + "-") +
                                " exec timeout -s KILL 120 " + Quoted(BinDir() + "/velmar-manager") + " --settings " +
                                Quoted((Dir / "settings.ini").string()) + Options + " --headless " +
                                Quoted((Dir / "doc.vmgr").string()) + " 2>&1";
    Output.clear();
    FILE* pipe = popen(("sh -c " + Quoted(command)).c_str(), "r");
    if (!pipe) return -2;
    std::array<char, 4096> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) Output.append(buffer.data(), n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool Printed(const std::string& text) const { return Output.find(text) != std::string::npos; }

  fs::path Dir;
  std::string Output;
  std::string Options;  // shell text of options before --headless
};

TEST_F(UntrustedInput, ADocumentWithoutModelsIsRefused) {
  const std::string path = (Dir / "doc.vmgr").string();
  const std::string none = "velmar-manager: \"" + path + "\" has no models; there is nothing to run";
  const std::string notText = "velmar-manager: \"" + path + "\" is not a Velmar Manager document: it holds bytes that are not text";
  const std::string noModel = "velmar-manager: \"" + path +
                              "\" is not a Velmar Manager document: none of its sections is a model ([Model0], [Model1], ...)";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {std::string("\x8f\x01\xff random \0 bytes\n\x13", 20), notText},
      {"[Model1]\nFilename=m1.vm\n", none},
      {"", none},
      {"years = 10\n[population north]\ninitial = 100\n", noModel},
  };
  for (const auto& [content, message] : cases) {
    std::ofstream(path, std::ios::binary) << content;
    EXPECT_EQ(Run(), 2) << Output;
    EXPECT_TRUE(Printed(message)) << Output;
    EXPECT_FALSE(Printed("Simulation complete")) << Output;
  }
}

// A link planted where the log or an engine's output file goes would have
// the run empty or write into the file it points at.
TEST_F(UntrustedInput, LinksBesideTheDocumentAreNotFollowed) {
  const bool root = ::geteuid() == 0;
  Document({Model(0, 5)});
  std::ofstream(Dir / "victim-a") << "keep a\n";
  std::ofstream(Dir / "victim-b") << "keep b\n";
  fs::create_symlink(Dir / "victim-a", Dir / "doc.log");
  fs::create_symlink(Dir / "victim-b", Dir / "doc.engine0.log");
  if (root) {
    // As another user would have planted them.
    ASSERT_EQ(::lchown((Dir / "doc.log").c_str(), 65534, 65534), 0);
    ASSERT_EQ(::lchown((Dir / "doc.engine0.log").c_str(), 65534, 65534), 0);
  }
  EXPECT_EQ(Run(), 0) << Output;
  EXPECT_EQ(ReadAll(Dir / "victim-a"), "keep a\n");
  EXPECT_EQ(ReadAll(Dir / "victim-b"), "keep b\n");
  EXPECT_TRUE(fs::is_symlink(Dir / "doc.log"));
  EXPECT_TRUE(Printed("Could not create \"" + (Dir / "doc.engine0.log").string() +
                      "\" for the output of Velmar #0: it is a symbolic link, which is not followed"))
      << Output;
  EXPECT_TRUE(Printed("Could not write to log file \"" + (Dir / "doc.log").string() + "\"")) << Output;
  EXPECT_TRUE(Printed("it is a symbolic link, which is not followed)")) << Output;
  EXPECT_TRUE(Printed("Simulation complete")) << Output;
}

// Each path reaches the engine as exactly one argument, whatever it holds.
TEST_F(UntrustedInput, PathsArriveWholeAtTheEngine) {
  const fs::path engine = Dir / "eng \"ine\\.sh";
  std::ofstream(engine) << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > \"" << (Dir / "args.txt").string()
                        << "\"\nexit 3\n";
  fs::permissions(engine, fs::perms::owner_all);
  Engine(engine.string());
  const std::string model = (Dir / "victim.vm\" /RPCID=1 /X=\"").string();
  const std::string trailing = (Dir / "ends in a backslash\\").string();
  for (const std::string& path : {model, trailing}) {
    // The manager checks that it can be read (the slashes make folders).
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << "years = 1\n";
    Document({path});
    EXPECT_EQ(Run(), 1) << Output;
    // It ended by itself: there was nothing to kill, and no claim that
    // killing it failed.
    EXPECT_TRUE(Printed("Velmar exited before initializing (exit status 3)")) << Output;
    EXPECT_FALSE(Printed("Could not kill")) << Output;
    EXPECT_EQ(ReadAll(Dir / "args.txt"), engine.string() + "\n/RUN=YES\n/RPC=VelmarManager\n/RPCID=0\n" + path +
                                             "\n/RpcResponseTimeout=22\n");
  }
}

// A settings file that is there but cannot be read is said to be so, not
// silently replaced by the defaults.
TEST_F(UntrustedInput, AnUnreadableSettingsFileIsReported) {
  Document({Model(0, 3)});
  fs::remove(Dir / "settings.ini");
  fs::create_directory(Dir / "settings.ini");
  Run();
  EXPECT_TRUE(Printed("Could not read the settings file \"" + (Dir / "settings.ini").string() +
                      "\": Is a directory; the defaults are used"))
      << Output;
}

// Past the file-size limit a write fails as on a full disk; the program
// goes on and says so instead of dying of SIGXFSZ.
TEST_F(UntrustedInput, AFileSizeLimitIsAWriteErrorNotTheEnd) {
  // Short runs: the engines' own files must stay within the limit.
  Document({Model(0, 30), Model(1, 30)});
  EXPECT_EQ(Run("ulimit -f 8; "), 0) << Output.substr(0, 2000);
  EXPECT_TRUE(Printed("Simulation complete"));
  EXPECT_TRUE(Printed("File too large")) << Output.substr(0, 2000);
  EXPECT_LE(fs::file_size(Dir / "doc.log"), 8u * 1024);
}

// A FIFO where the program opens a file by name would block that open for
// good (and a process that nobody can stop but SIGKILL): each is refused as
// a link is, and the run goes on or ends with a clear error.
TEST_F(UntrustedInput, AFifoWhereAFileIsOpenedIsRefusedWithoutHanging) {
  Document({Model(0, 3)});
  const fs::path log = Dir / "doc.log", engineLog = Dir / "doc.engine0.log", trace = Dir / "trace.json";
  for (const fs::path& fifo : {log, engineLog, trace}) ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  Options = " --trace " + Quoted(trace.string());
  // The run completes; the trace it was asked for is missing, which makes
  // the headless run's exit status 1.
  EXPECT_EQ(Run(), 1) << Output;
  EXPECT_TRUE(Printed("Simulation complete")) << Output;
  const std::string notRegular = "it is not a regular file (a FIFO, a device or a folder), which is not opened";
  EXPECT_TRUE(Printed("Could not write to log file \"" + log.string() + "\"")) << Output;
  EXPECT_TRUE(Printed("Could not create \"" + engineLog.string() + "\" for the output of Velmar #0: " + notRegular))
      << Output;
  EXPECT_TRUE(Printed("Could not create the trace file \"" + trace.string() + "\": " + notRegular)) << Output;

  // The document itself, and the settings file.
  fs::remove(log);
  fs::remove(Dir / "doc.vmgr");
  ASSERT_EQ(::mkfifo((Dir / "doc.vmgr").c_str(), 0644), 0);
  Options.clear();
  EXPECT_EQ(Run(), 2) << Output;
  EXPECT_TRUE(Printed("velmar-manager: \"" + (Dir / "doc.vmgr").string() +
                      "\" is not a regular file (a FIFO, a device or a folder); it is not opened"))
      << Output;
  fs::remove(Dir / "doc.vmgr");
  Document({Model(0, 3)});
  const fs::path settings = Dir / "fifo-settings";
  ASSERT_EQ(::mkfifo(settings.c_str(), 0644), 0);
  Options = " --settings " + Quoted(settings.string());
  Run();
  EXPECT_TRUE(Printed("Could not read the settings file \"" + settings.string() + "\": Not a regular file")) << Output;
}

// A model path cut on reading would run another file: a usage error that
// names the model, before anything is started.
TEST_F(UntrustedInput, ACutModelPathIsAnErrorNotAnotherModel) {
  // Folders of 200 characters, as a name may be at most 255 long.
  std::string cut = Dir.string();
  while (cut.size() + 1 + 200 + 1 + 20 < 2047) {
    cut += "/" + std::string(200, 'd');
    fs::create_directory(cut);
  }
  cut += "/" + std::string(2047 - cut.size() - 1, 'm');
  const std::string whole = cut + "-its-whole-name.vm";
  ASSERT_EQ(whole.size(), 2065u);
  // A model at the cut path, which would run.
  std::ofstream(cut) << "years = 3\nseed = 3\n[population P]\ninitial = 100\ncapacity = 1000\ngrowth = 0.2\n";
  Document({Model(0, 3), whole});
  EXPECT_EQ(Run(), 2) << Output;
  EXPECT_TRUE(Printed("velmar-manager: Model 2: its file name in \"" + (Dir / "doc.vmgr").string() +
                      "\" is 2065 characters long; only 2047 are read, which would name another file"))
      << Output;
  EXPECT_FALSE(Printed("Simulation complete")) << Output;
  EXPECT_FALSE(fs::exists(Dir / "doc.engine0.log"));
}

// Settings as other editors leave them: UTF-16 with its byte-order mark,
// CR-only line ends. Both are read, and a write keeps the file's form.
TEST_F(UntrustedInput, SettingsInUtf16OrWithCrOnlyLineEndsAreRead) {
  Document({Model(0, 3)});
  const std::string text = "[Velmar]\r\nFilename=" + BinDir() + "/velmar-refengine\r\nStartTimeout=20\r\n"
                           "TimeStepTimeout=20\r\n[ExternalProcessor]\r\nUseExternalProcessor=0\r\n";
  std::string utf16 = "\xFF\xFE";
  for (const char c : text) utf16 += std::string{c, '\0'};
  std::ofstream(Dir / "settings.ini", std::ios::binary | std::ios::trunc) << utf16;
  EXPECT_EQ(Run(), 0) << Output;
  EXPECT_TRUE(Printed("Simulation complete")) << Output;
  EXPECT_EQ(ReadAll(Dir / "settings.ini"), utf16);

  std::string cr = text;
  std::erase(cr, '\n');
  std::ofstream(Dir / "settings.ini", std::ios::binary | std::ios::trunc) << cr;
  EXPECT_EQ(Run(), 0) << Output;
  EXPECT_TRUE(Printed("Simulation complete")) << Output;
  EXPECT_EQ(ReadAll(Dir / "settings.ini"), cr);
}

// A mistyped --settings path: the defaults are used, and the user is told
// where the settings will go.
TEST_F(UntrustedInput, AMissingSettingsFileIsSaidToBeMissing) {
  Document({Model(0, 3)});
  const std::string typo = (Dir / "setings.ini").string();
  Options = " --settings " + Quoted(typo);
  Run();
  EXPECT_TRUE(Printed("The settings file \"" + typo +
                      "\" does not exist; the defaults are used, and a setting that changes is written to it"))
      << Output;
}

}  // namespace
