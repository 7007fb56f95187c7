// The program's command line, run as the user would run it.
#include <sys/wait.h>

#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "../tools/ToolPaths.h"
#include "documents/SettingsUnit.h"

namespace {

struct TResult {
  int Status = -1;
  std::string Output;  // standard output and error
};

TResult RunManager(const std::string& arguments) {
  const char* bin = std::getenv("VELMAR_BIN_DIR");
  const std::string program = std::string(bin ? bin : "bin") + "/velmar-manager";
  const std::string command = "QT_QPA_PLATFORM=offscreen '" + program + "' " + arguments + " 2>&1";
  TResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return result;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) result.Output.append(buffer.data(), n);
  const int status = pclose(pipe);
  result.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST(CommandLineTest, HelpAndVersionPrintAndSucceed) {
  const TResult help = RunManager("--help");
  EXPECT_EQ(help.Status, 0);
  EXPECT_NE(help.Output.find("--headless DOC"), std::string::npos);
  EXPECT_NE(help.Output.find("--settings FILE"), std::string::npos);
  // Where the file formats are written down.
  EXPECT_NE(help.Output.find("man 5 velmar-manager, or docs/files.md"), std::string::npos);

  const TResult version = RunManager("--version");
  EXPECT_EQ(version.Status, 0);
  EXPECT_EQ(version.Output.rfind("velmar-manager ", 0), 0u);
  EXPECT_EQ(version.Output.find("unknown"), std::string::npos);
}

TEST(CommandLineTest, ShortFormsOfHelpAndVersionAreNotTakenForADocument) {
  // Taken as a document they would open the window instead of printing.
  for (const auto& [arguments, expected] : std::vector<std::pair<std::string, std::string>>{
           {"-h", "--headless DOC"}, {"-v", "velmar-manager "}, {"-h --settings x", "--settings FILE"}}) {
    const TResult result = RunManager(arguments);
    EXPECT_EQ(result.Status, 0) << arguments << ": " << result.Output;
    EXPECT_NE(result.Output.find(expected), std::string::npos) << arguments << ": " << result.Output;
  }
  EXPECT_EQ(RunManager("-v").Output, RunManager("--version").Output);
  EXPECT_EQ(RunManager("-h").Output, RunManager("--help").Output);
}

// A whole headless run whose engine gives up before "Initialize", with the
// example processor attached: standard output carries the log, with the
// engine's last words; standard error carries nothing unless debugger
// output is asked for.
TEST(CommandLineTest, AFailedHeadlessRunPrintsTheEnginesLastLinesAndNothingOnStandardError) {
  char folderTemplate[] = "/tmp/velmar-cmdline-XXXXXX";
  ASSERT_NE(mkdtemp(folderTemplate), nullptr);
  const std::string folder = folderTemplate;
  auto write = [](const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; };
  auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string settings = folder + "/VelmarManager.settings";
  TSettings::SetSettingsPathname(settings);
  TSettings::SetVelmarFilename(ToolPaths::Program("ui_scripted_engine"));
  TSettings::SetVelmarStartTimeout(20);
  TSettings::SetUseExternalProcessor(true);
  TSettings::SetExternalProcessorFilename(ToolPaths::Program("velmar-dispersal"));
  TSettings::SetSettingsPathname("");
  write(folder + "/e0.script", "say checking north.vm\nsay cannot read the model file north.vm\nexit 5\n");
  write(folder + "/run.vmgr", "[Model0]\nFilename=" + folder + "/e0.script\n");

  struct TCase {
    const char* Environment;
    bool DebugOutput;
  };
  for (const TCase& c : {TCase{"", false}, TCase{"VELMAR_DEBUG_OUTPUT=0 ", false}, TCase{"VELMAR_DEBUG_OUTPUT=1 ", true}}) {
    SCOPED_TRACE(c.Environment);
    const std::string command = std::string("VELMAR_PIPE_NAMESPACE=velmar-cmdline-") + std::to_string(getpid()) + "- " +
                                c.Environment + "'" + ToolPaths::Program("velmar-manager") + "' --settings '" + settings +
                                "' --headless '" + folder + "/run.vmgr' >'" + folder + "/out' 2>'" + folder + "/err'";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string out = read(folder + "/out");
    const std::string err = read(folder + "/err");
    EXPECT_NE(out.find(" - Error: Velmar #0 output: checking north.vm\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" - Error: Velmar #0 output: cannot read the model file north.vm\n"), std::string::npos) << out;
    EXPECT_LT(out.find("output: cannot read"), out.find("Simulation failed"));
    EXPECT_NE(read(folder + "/run.log").find(" - Error: Velmar #0 output: cannot read the model file north.vm\r\n"),
              std::string::npos);
    if (c.DebugOutput) {
      EXPECT_NE(err.find("childStdInPipeRead="), std::string::npos) << err;
      EXPECT_NE(err.find("startupInfo.hStdInput="), std::string::npos) << err;
    } else {
      EXPECT_EQ(err, "");
    }
  }
  std::filesystem::remove_all(folder);
}

TEST(CommandLineTest, UsageErrorsExitWithTwo) {
  for (const char* arguments : {"--bogus", "--headless", "--settings", "--headless /no/such.vmgr",
                                "--headless a.vmgr b.vmgr"}) {
    const TResult result = RunManager(arguments);
    EXPECT_EQ(result.Status, 2) << arguments << ": " << result.Output;
    EXPECT_NE(result.Output.find("velmar-manager: "), std::string::npos) << arguments;
  }
}

// One trace file is for one run at a time: not for the runs of a batch.
TEST(CommandLineTest, TraceTakesAFileAndGoesWithOneDocumentOnly) {
  struct TCase {
    const char* Arguments;
    const char* Message;
  };
  for (const TCase& c : {TCase{"--trace", "--trace needs a value"},
                         TCase{"--trace ''", "--trace needs a file name"},
                         TCase{"--trace t.json --slurm-script a.vmgr", "--trace goes with one document"},
                         TCase{"--trace t.json --headless --jobs 2 a.vmgr", "--trace goes with one document"}}) {
    const TResult result = RunManager(c.Arguments);
    EXPECT_EQ(result.Status, 2) << c.Arguments << ": " << result.Output;
    EXPECT_NE(result.Output.find(std::string("velmar-manager: ") + c.Message), std::string::npos)
        << c.Arguments << ": " << result.Output;
  }
  const TResult help = RunManager("--help");
  EXPECT_NE(help.Output.find("[--trace FILE] --headless DOCUMENT"), std::string::npos) << help.Output;
  EXPECT_NE(help.Output.find("  --trace FILE      write each run as a trace"), std::string::npos) << help.Output;
}

}  // namespace
