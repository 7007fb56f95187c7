#include "RefEngine.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Events.h"
#include "platform/LocalSocket.h"
#include "platform/Process.h"
#include "tools/ToolPaths.h"

using namespace RefEngine;
using nlohmann::json;
namespace fs = std::filesystem;

namespace {

const char* const kTwoPopulations = R"(# two populations
years = 50
seed = 42     # any number
[population North]
initial = 100
capacity = 1000
growth = 0.3
variation = 0.1

[Population  South ]
Initial=50
capacity = 400
growth = -0.2
variation = 0.2
)";

std::vector<std::vector<uint32_t>> Trajectory(const TModel& model) {
  TSimulation sim(model);
  std::vector<std::vector<uint32_t>> years{sim.Abundances()};
  for (uint32_t y = 0; y < model.Years; ++y) {
    sim.Step();
    years.push_back(sim.Abundances());
  }
  return years;
}

std::string Message(const std::string& what, const std::string& text) {
  try {
    ParseModel(text);
  } catch (const EModelError& e) {
    return e.what();
  }
  return what + ": accepted";
}

}  // namespace

TEST(RefEngineArguments, ReadsTheManagersCommandLine) {
  const auto args = Platform::SplitCommandLine(
      R"("/opt/velmar/velmar-refengine" -q /RUN=YES /RPC=VelmarManager /RPCID=3 "/models/my model.vm" /RpcResponseTimeout=62)");
  const TOptions o = ParseArguments(std::vector<std::string>(args.begin() + 1, args.end()));
  EXPECT_TRUE(o.Run);
  EXPECT_EQ("VelmarManager", o.PipeName);
  EXPECT_EQ(3u, o.ClientId);
  EXPECT_EQ("/models/my model.vm", o.ModelPath);
  EXPECT_EQ(62u, o.ResponseTimeout);

  const TOptions lower = ParseArguments({"/rpc=P", "/rpcid=4", "m.vm", "/X=1", "--verbose"});
  EXPECT_EQ("P", lower.PipeName);
  EXPECT_EQ(4u, lower.ClientId);
  EXPECT_FALSE(lower.Run);
  EXPECT_EQ(60u, lower.ResponseTimeout);

  // A path from the root is no option, even without a second slash.
  EXPECT_EQ("/m.vm", ParseArguments({"/RPC=P", "/m.vm"}).ModelPath);
  EXPECT_THROW(ParseArguments({"/RPC=P"}), EModelError);
  EXPECT_THROW(ParseArguments({"a.vm", "b.vm"}), EModelError);
  EXPECT_THROW(ParseArguments({"a.vm", "/RPCID=-1"}), EModelError);
  EXPECT_THROW(ParseArguments({"a.vm", "/RPCID=99999999999"}), EModelError);
}

TEST(RefEngineModel, ReadsSettingsAndPopulations) {
  const TModel m = ParseModel(kTwoPopulations);
  EXPECT_EQ(50u, m.Years);
  EXPECT_EQ(42u, m.Seed);
  EXPECT_EQ(0u, m.DelayMs);
  EXPECT_EQ(0u, m.ExitAtStep);
  EXPECT_FALSE(m.NeverInitialize);
  ASSERT_EQ(2u, m.Populations.size());
  EXPECT_EQ("North", m.Populations[0].Name);
  EXPECT_EQ(100u, m.Populations[0].Initial);
  EXPECT_EQ(1000u, m.Populations[0].Capacity);
  EXPECT_DOUBLE_EQ(0.3, m.Populations[0].Growth);
  EXPECT_DOUBLE_EQ(0.1, m.Populations[0].Variation);
  EXPECT_EQ("South", m.Populations[1].Name);
  EXPECT_EQ(50u, m.Populations[1].Initial);
  EXPECT_DOUBLE_EQ(-0.2, m.Populations[1].Growth);

  const TModel knobs = ParseModel("years=3\ndelay_ms=20\nexit_at_step=2\nnever_initialize=yes\n[population A]\ncapacity=5\n");
  EXPECT_EQ(20u, knobs.DelayMs);
  EXPECT_EQ(2u, knobs.ExitAtStep);
  EXPECT_TRUE(knobs.NeverInitialize);
  EXPECT_EQ(0u, knobs.Populations[0].Initial);
}

TEST(RefEngineModel, RefusesWhatItCannotRunAndSaysWhere) {
  const std::string pop = "[population A]\ncapacity = 10\n";
  EXPECT_EQ("line 2: unknown setting \"colour\"", Message("colour", "years=5\ncolour = red\n" + pop));
  EXPECT_EQ("line 1 (years): \"ten\" is not a whole number", Message("years", "years = ten\n" + pop));
  EXPECT_EQ("line 4 (growth): \"fast\" is not a number", Message("growth", "years=1\n" + pop + "growth = fast\n"));
  EXPECT_EQ("line 4 (initial): \"-5\" is not a whole number", Message("initial", "years=1\n" + pop + "initial = -5\n"));
  EXPECT_EQ("line 4 (variation): must lie between 0 and 10", Message("variation", "years=1\n" + pop + "variation=-1\n"));
  EXPECT_EQ("years must be given and more than 0", Message("years", pop));
  EXPECT_EQ("years must be given and more than 0", Message("years", "years = 0\n" + pop));
  EXPECT_EQ("no [population NAME] section", Message("populations", "years = 3\n"));
  EXPECT_EQ("population \"B\" has no capacity", Message("capacity", "years=3\n" + pop + "[population B]\n"));
  EXPECT_EQ("line 4: population \"A\" given twice", Message("twice", "years=3\n" + pop + "[population A]\n"));
  EXPECT_EQ("line 1: a population needs a name without commas or quotes", Message("name", "[population a,b]\n"));
  EXPECT_EQ("line 2: unknown section [Models]", Message("section", "years=3\n[Models]\n"));
  EXPECT_EQ("line 1: expected name = value", Message("syntax", "years 3\n"));
  EXPECT_THROW(LoadModel("/nonexistent/model.vm"), EModelError);
}

TEST(RefEngineSimulation, SameSeedSameYearsOtherSeedOtherYears) {
  const TModel m = ParseModel(kTwoPopulations);
  const auto first = Trajectory(m);
  EXPECT_EQ(first, Trajectory(m));
  TModel other = m;
  other.Seed = 43;
  EXPECT_NE(first, Trajectory(other));

  // Each population draws its own numbers in a fixed order: changing one
  // population leaves the other's years as they were.
  TModel changed = m;
  changed.Populations[1].Initial = 399;
  const auto second = Trajectory(changed);
  for (size_t y = 0; y < first.size(); ++y) EXPECT_EQ(first[y][0], second[y][0]) << "year " << y;
}

TEST(RefEngineSimulation, GrowsTowardsCapacityAndDeclinesWithNegativeGrowth) {
  TModel m = ParseModel("years=200\n[population Up]\ninitial=10\ncapacity=5000\ngrowth=0.5\n"
                        "[population Down]\ninitial=3000\ncapacity=5000\ngrowth=-0.5\n");
  const auto years = Trajectory(m);
  EXPECT_NEAR(5000.0, years.back()[0], 50.0);
  EXPECT_EQ(0u, years.back()[1]);
  // Without growth or noise a population stays exactly as it is.
  m = ParseModel("years=30\n[population Still]\ninitial=777\ncapacity=10\n");
  for (const auto& y : Trajectory(m)) EXPECT_EQ(777u, y[0]);
}

TEST(RefEngineSimulation, AppliesOnlyWhatTheModifierFlags) {
  TSimulation sim(ParseModel(kTwoPopulations));
  const json full = {{"ChangeAbund", false}, {"ChangeVital", false}, {"ChangeK", false}, {"ChangeDisp", false},
                     {"Abund", {{1}, {2}}},  {"K", {7, 8}},          {"Vital", {{{9.0}}}}, {"Disp", {1.0, 1.0}}};
  sim.ApplyModifier(full);
  EXPECT_EQ((std::vector<uint32_t>{100, 50}), sim.Abundances());
  EXPECT_EQ((std::vector<uint32_t>{1000, 400}), sim.Capacities());

  json m = full;
  m["ChangeAbund"] = true;
  m["Abund"] = {{30, 4}, {9}, {12345}};  // stages summed; the extra row ignored
  sim.ApplyModifier(m);
  EXPECT_EQ((std::vector<uint32_t>{34, 9}), sim.Abundances());

  m = full;
  m["ChangeK"] = true;
  m["K"] = {70, "bad"};
  sim.ApplyModifier(m);
  EXPECT_EQ((std::vector<uint32_t>{70, 400}), sim.Capacities());

  m = full;
  m["ChangeDisp"] = true;
  m["Disp"] = {0.5, 0.0};
  sim.ApplyModifier(m);
  EXPECT_EQ((std::vector<uint32_t>{17, 26}), sim.Abundances());

  // Vital: growth 0 and no noise keep the population where it is.
  m = full;
  m["ChangeVital"] = true;
  m["Vital"] = {{{0.0, 0.0}}, {{0.0, 0.0}}};
  sim.ApplyModifier(m);
  sim.Step();
  EXPECT_EQ((std::vector<uint32_t>{17, 26}), sim.Abundances());

  sim.ApplyModifier("not an object");
  sim.ApplyModifier({{"ChangeAbund", true}, {"Abund", "oops"}});
  EXPECT_EQ((std::vector<uint32_t>{17, 26}), sim.Abundances());

  const json pop = sim.StateVarsPop();
  EXPECT_EQ(1, pop["Timestep"]);
  EXPECT_EQ((json{{17}, {26}}), pop["Abund"]);
  EXPECT_EQ((json{70, 400}), pop["K"]);
  const json global = sim.StateVarsGlobal("/m/x.vm");
  EXPECT_EQ((json{"North", "South"}), global["Populations"]);
  EXPECT_EQ(50, global["Years"]);
}

TEST(RefEngineResults, FileSitsBesideTheModel) {
  EXPECT_EQ("/m/north.results.csv", ResultsPath("/m/north.vm"));
  EXPECT_EQ("/m.d/north.results.csv", ResultsPath("/m.d/north"));
  EXPECT_EQ("/m/.hidden.results.csv", ResultsPath("/m/.hidden"));
}

namespace {

class RefEngineProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    FDir = fs::temp_directory_path() / ("velmar-refengine-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(FDir);
    FModel = (FDir / "my model.vm").string();
  }
  void TearDown() override { fs::remove_all(FDir); }

  void WriteModel(const std::string& text) { std::ofstream(FModel) << text; }

  Platform::TProcessInformation Start(const std::string& params) {
    Platform::TSpawnRequest r;
    r.CommandLine = "\"" + ToolPaths::Program("velmar-refengine") + "\" " + params;
    Platform::TProcessInformation info;
    EXPECT_EQ(0, Platform::SpawnProcess(r, info));
    return info;
  }

  static uint32_t Finish(Platform::TProcessInformation& info) {
    EXPECT_EQ(Platform::WAIT_OBJECT_0, Platform::WaitForProcess(info.hProcess, 60000));
    uint32_t code = 0;
    EXPECT_TRUE(Platform::GetExitCodeProcess(info.hProcess, code));
    Platform::CloseProcessHandle(info.hProcess);
    return code;
  }

  // The results file without the two timing columns.
  std::vector<std::string> Results() const {
    std::ifstream f((FDir / "my model.results.csv").string());
    std::vector<std::string> rows;
    for (std::string line; std::getline(f, line);) {
      for (int i = 0; i < 2; ++i) line.resize(line.rfind(','));
      rows.push_back(line);
    }
    return rows;
  }

  fs::path FDir;
  std::string FModel;
};

}  // namespace

TEST_F(RefEngineProgram, AloneWritesTheSameResultsForTheSameSeed) {
  WriteModel(kTwoPopulations);
  auto info = Start("-q \"" + FModel + "\"");
  EXPECT_EQ(0u, Finish(info));
  const auto first = Results();
  ASSERT_EQ(52u, first.size());
  EXPECT_EQ("Year,North,South,Total", first[0]);
  EXPECT_EQ("0,100,50,150", first[1]);
  info = Start("\"" + FModel + "\"");
  EXPECT_EQ(0u, Finish(info));
  EXPECT_EQ(first, Results());
}

TEST_F(RefEngineProgram, ExitsAtTheGivenStepAndRefusesABadModel) {
  WriteModel("years = 10\nexit_at_step = 4\n[population A]\ninitial = 5\ncapacity = 50\n");
  auto info = Start("\"" + FModel + "\"");
  EXPECT_EQ(3u, Finish(info));
  EXPECT_EQ(5u, Results().size());  // header, year 0 and years 1 to 3

  WriteModel("years = 10\n");
  info = Start("\"" + FModel + "\"");
  EXPECT_EQ(2u, Finish(info));
  info = Start("");
  EXPECT_EQ(2u, Finish(info));
}

namespace {

// A manager stand-in on a listening name: answers each call as told.
class ScriptedManager {
 public:
  ScriptedManager() {
    ::setenv("VELMAR_PIPE_NAMESPACE", ("refengine-test-" + std::to_string(::getpid()) + "-").c_str(), 1);
    EXPECT_EQ(0, FListener.Listen("VelmarManager"));
  }
  ~ScriptedManager() { ::unsetenv("VELMAR_PIPE_NAMESPACE"); }

  void Accept() {
    const int fd = FListener.Fd();
    ASSERT_EQ(Platform::WAIT_OBJECT_0, Platform::WaitForAnyFd(std::span<const int>(&fd, 1), 30000));
    ASSERT_TRUE(FListener.Accept(FConnection).Done());
  }

  // The next request, or null when the engine has gone.
  json Next() {
    const int fd = FConnection.Fd();
    for (;;) {
      if (Platform::WaitForAnyFd(std::span<const int>(&fd, 1), 30000) != Platform::WAIT_OBJECT_0) return json();
      std::vector<uint8_t> buf(65536);
      size_t n = 0;
      const Platform::TIo rc = FConnection.ReadMessage(buf, n).Status;
      if (rc == Platform::TIo::WouldBlock) continue;
      if (rc != Platform::TIo::Done) return json();
      return json::parse(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
    }
  }

  void Reply(const json& request, const json& result) {
    const std::string text = json{{"jsonrpc", "2.0"}, {"result", result}, {"id", request["id"]}}.dump();
    EXPECT_TRUE(FConnection.Write(text.data(), text.size()).Done());
  }

 private:
  Platform::TLocalListener FListener;
  Platform::TLocalSocket FConnection;
};

json StartTimeStepResult(bool goOn, const json& abund = json()) {
  const bool change = !abund.is_null();
  return {{"modifier",
           {{"ChangeAbund", change}, {"ChangeVital", false}, {"ChangeK", false}, {"ChangeDisp", false},
            {"Timestep", 0}, {"Complete", false}, {"Active", false}, {"Abund", change ? abund : json::array()},
            {"Vital", json::array()}, {"K", json::array()}, {"Disp", json::array()}}},
          {"result", goOn}};
}

}  // namespace

TEST_F(RefEngineProgram, TalksToTheManagerInTheContractsOrderAndAppliesModifiers) {
  WriteModel("years = 3\nseed = 5\n[population A]\ninitial = 10\ncapacity = 100\n[population B]\ninitial = 20\ncapacity = 100\n");
  ScriptedManager manager;
  auto info = Start("-q /RUN=YES /RPC=VelmarManager /RPCID=2 \"" + FModel + "\" /RpcResponseTimeout=30");
  manager.Accept();
  std::vector<std::string> methods;
  for (json r = manager.Next(); !r.is_null(); r = manager.Next()) {
    const std::string method = r["method"];
    methods.push_back(method);
    EXPECT_EQ(2, r["params"]["ClientID"]) << method;
    if (method == "StartSimulation") {
      EXPECT_EQ(3, r["params"]["VelmarStateVarsGlobal"]["Years"]);
      EXPECT_EQ(FModel, r["params"]["VelmarStateVarsGlobal"]["Model"]);
    }
    if (method == "StopTimeStep") {
      const json& pop = r["params"]["VelmarStateVarsPop"];
      // No growth: what the modifier of step 2 set is what step 2 reports.
      if (pop["Timestep"] == 1) {
        EXPECT_EQ((json{{10}, {20}}), pop["Abund"]);
      } else if (pop["Timestep"] == 2) {
        EXPECT_EQ((json{{777}, {5}}), pop["Abund"]);
      }
    }
    const size_t steps = static_cast<size_t>(std::count(methods.begin(), methods.end(), "StartTimeStep"));
    if (method == "StartTimeStep")
      manager.Reply(r, StartTimeStepResult(true, steps == 2 ? json{{777}, {5}} : json()));
    else
      manager.Reply(r, true);
  }
  EXPECT_EQ(0u, Finish(info));
  EXPECT_EQ((std::vector<std::string>{"Initialize", "StartSimulation", "StartTimeStep", "StopTimeStep", "StartTimeStep",
                                      "StopTimeStep", "StartTimeStep", "StopTimeStep", "StopSimulation", "Finalize"}),
            methods);
  EXPECT_EQ((std::vector<std::string>{"Year,A,B,Total", "0,10,20,30", "1,10,20,30", "2,777,5,782", "3,777,5,782"}),
            Results());
}

TEST_F(RefEngineProgram, StopsAtAFalseReply) {
  WriteModel("years = 10\n[population A]\ninitial = 10\ncapacity = 100\n");
  ScriptedManager manager;
  auto info = Start("/RUN=YES /RPC=VelmarManager /RPCID=0 \"" + FModel + "\" /RpcResponseTimeout=30");
  manager.Accept();
  std::vector<std::string> methods;
  for (json r = manager.Next(); !r.is_null(); r = manager.Next()) {
    methods.push_back(r["method"]);
    const bool cancelled = std::count(methods.begin(), methods.end(), "StartTimeStep") >= 3;
    if (r["method"] == "StartTimeStep")
      manager.Reply(r, StartTimeStepResult(!cancelled));
    else
      manager.Reply(r, !cancelled);
  }
  EXPECT_EQ(1u, Finish(info));
  EXPECT_EQ((std::vector<std::string>{"Initialize", "StartSimulation", "StartTimeStep", "StopTimeStep", "StartTimeStep",
                                      "StopTimeStep", "StartTimeStep", "StopSimulation", "Finalize"}),
            methods);
  EXPECT_EQ(4u, Results().size());  // header, year 0, years 1 and 2
}
