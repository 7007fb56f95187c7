// The program's command line, run as the user would run it.
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

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

TEST(CommandLineTest, UsageErrorsExitWithTwo) {
  for (const char* arguments : {"--bogus", "--headless", "--settings", "--headless /no/such.vmgr",
                                "--headless a.vmgr b.vmgr"}) {
    const TResult result = RunManager(arguments);
    EXPECT_EQ(result.Status, 2) << arguments << ": " << result.Output;
    EXPECT_NE(result.Output.find("velmar-manager: "), std::string::npos) << arguments;
  }
}

}  // namespace
