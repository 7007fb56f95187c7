#pragma once
// Whole headless runs of the manager program in a folder of the test's own:
// reference engines on model files, a document of them, a settings file
// (optionally with the example dispersal processor behind a tee that keeps
// its input), and what the run printed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "../tools/ToolPaths.h"
#include "RunSupport.h"

namespace HeadlessRunSupport {

namespace fs = std::filesystem;

inline std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteAll(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// A results file without its two time columns.
inline std::string Years(const fs::path& path) {
  std::istringstream in(ReadAll(path));
  std::string line, out;
  while (std::getline(in, line)) {
    for (int cut = 0; cut < 2 && line.rfind(',') != std::string::npos; ++cut) line.erase(line.rfind(','));
    out += line + "\n";
  }
  return out;
}

struct TRun {
  int Status = -1;
  std::string Out;
  double Seconds = 0;
  std::string Fingerprint() const {
    std::smatch m;
    static const std::regex line("Info: Run fingerprint: ([0-9a-f]{32}) \\(([0-9]+) steps\\)");
    return std::regex_search(Out, m, line) ? m[1].str() + " " + m[2].str() : std::string();
  }
};

class THeadlessRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() / ("velmar-repro-" + std::to_string(getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    fs::create_directories(Dir);
    if (!fs::exists(ToolPaths::Program("velmar-manager"))) GTEST_SKIP() << "the manager program was not built";
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(Dir);
  }

  fs::path Model(int i, int years, int seed, const std::string& extra) {
    const fs::path path = Dir / ("m" + std::to_string(i) + ".vm");
    WriteAll(path, "years = " + std::to_string(years) + "\nseed = " + std::to_string(seed) + "\n" + extra +
                       "\n[population P]\ninitial = " + std::to_string(100 + 40 * i) +
                       "\ncapacity = 1000\ngrowth = 0.3\nvariation = 0.2\n");
    return path;
  }
  void Document(const std::vector<fs::path>& models) {
    std::string doc;
    for (size_t i = 0; i < models.size(); ++i)
      doc += "[Model" + std::to_string(i) + "]\nFilename=" + models[i].string() + "\n";
    WriteAll(Dir / "run.vmgr", doc);
  }
  // The processor: the example dispersal unless processorCommand names
  // another (a shell command line), behind a tee that keeps its input.
  void Settings(bool processor, const std::string& program = ToolPaths::Program("velmar-refengine"),
                int timeStepTimeout = 20, int startTimeout = 20, const std::string& processorCommand = "",
                const std::string& moreSettings = "") {
    const fs::path wrapper = Dir / "recording-processor.sh";
    const std::string command =
        processorCommand.empty() ? "'" + ToolPaths::Program("velmar-dispersal") + "' 0.05" : processorCommand;
    WriteAll(wrapper, "#!/bin/sh\ntee \"" + (Dir / "processor-input.txt").string() + "\" | exec " + command + "\n");
    fs::permissions(wrapper, fs::perms::owner_all);
    WriteAll(Dir / "settings.ini", "[Velmar]\nFilename=" + program + "\nStartTimeout=" + std::to_string(startTimeout) +
                                       "\nTimeStepTimeout=" + std::to_string(timeStepTimeout) +
                                       "\n[ExternalProcessor]\nUseExternalProcessor=" + (processor ? "1" : "0") +
                                       "\nFilename=" + wrapper.string() + "\nParameters=\nCloseCommand=QUIT\n" + moreSettings);
  }
  TRun Run(const std::string& moreArguments = "") {
    TRun run;
    const fs::path out = Dir / "out.txt";
    fs::remove(Dir / "processor-input.txt");
    const std::string command = "VELMAR_PIPE_NAMESPACE=velmar-repro-" + std::to_string(getpid()) + "- '" +
                                ToolPaths::Program("velmar-manager") + "' --settings '" + (Dir / "settings.ini").string() +
                                "' " + moreArguments + " --headless '" + (Dir / "run.vmgr").string() + "' > '" + out.string() + "' 2>&1";
    const auto began = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    run.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    run.Status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    run.Out = ReadAll(out);
    return run;
  }
  // The processor's input, once the tee has passed on the close command.
  std::string ProcessorInput() {
    const fs::path path = Dir / "processor-input.txt";
    std::string text;
    for (int i = 0; i < 500; ++i) {
      text = ReadAll(path);
      if (text.size() >= 6 && text.compare(text.size() - 6, 6, "QUIT\r\n") == 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return text;
  }

  fs::path Dir;
};

}  // namespace HeadlessRunSupport
