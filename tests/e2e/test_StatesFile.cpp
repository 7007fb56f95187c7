// What the run did, read back from whole headless runs: the states file
// beside the document holds exactly the numbers the engines reported and
// the processor handed them, a run killed half way keeps its rows, the
// [Record] Variables filter and the bound per call hold, and the trace's
// abundance counters equal the engines' totals.
#include <signal.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "HeadlessRunSupport.h"

namespace {

using namespace HeadlessRunSupport;
using StatesFile = THeadlessRunTest;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The rows a reference engine's results file says it reported: Abund and K
// of its one population, and the year, step by step (K is the capacity).
std::multiset<std::string> StateRows(const fs::path& model, uint32_t engine, int capacity) {
  std::multiset<std::string> rows;
  const auto results = RunSupport::ReadResults(fs::path(model).replace_extension(".results.csv"));
  const std::string name = model.filename().string();
  for (size_t year = 1; year < results.Total.size(); ++year) {
    const std::string head = std::to_string(year - 1) + "," + std::to_string(engine) + "," + name + ",state,";
    rows.insert(head + "Abund[0][0]," + std::to_string(results.Total[year]) + "\r");
    rows.insert(head + "K[0]," + std::to_string(capacity) + "\r");
    rows.insert(head + "Timestep," + std::to_string(year) + "\r");
  }
  return rows;
}

// A processor that hands every engine 7.50 individuals at every step (and a
// K under a flag that is not set), and answers everything else true.
const char* const MODIFYING_PROCESSOR = R"(import json, sys
for line in sys.stdin:
    line = line.strip()
    if line == "QUIT":
        break
    request = json.loads(line)
    if request.get("method") == "StartTimeStep":
        result = ('{"modifier":{"Abund":[[7.50]],"ChangeAbund":true,"K":[99],"ChangeK":false,"Vital":[],'
                  '"ChangeVital":false,"Disp":[],"ChangeDisp":false,"Active":true,"Complete":true,"Timestep":0},'
                  '"result":true}')
    else:
        result = "true"
    sys.stdout.write('{"jsonrpc":"2.0","id":%s,"result":%s}\n' % (json.dumps(request.get("id")), result))
    sys.stdout.flush()
)";

TEST_F(StatesFile, HoldsExactlyTheReportedStatesAndTheHandedModifiers) {
  const std::vector<fs::path> models = {Model(0, 4, 1, ""), Model(1, 3, 2, "")};
  Document(models);
  WriteAll(Dir / "modify.py", MODIFYING_PROCESSOR);
  Settings(true, ToolPaths::Program("velmar-refengine"), 20, 20, "python3 '" + (Dir / "modify.py").string() + "'");
  const TRun r = Run();
  ASSERT_EQ(r.Status, 0) << r.Out;
  const std::vector<std::string> lines = Lines(ReadAll(Dir / "run.states.csv"));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "step,engine,model,source,variable,value\r");
  const std::multiset<std::string> rows(lines.begin() + 1, lines.end());
  std::multiset<std::string> expected;
  for (uint32_t e = 0; e < 2; ++e) {
    const std::string name = models[e].filename().string();
    for (const std::string& row : StateRows(models[e], e, 1000)) expected.insert(row);
    // The numbers of its start, and the processor's modifier as it wrote it.
    expected.insert("," + std::to_string(e) + "," + name + ",global,Years," + (e ? "3" : "4") + "\r");
    expected.insert("," + std::to_string(e) + "," + name + ",global,Seed," + std::to_string(e + 1) + "\r");
    for (int step = 0; step < (e ? 3 : 4); ++step)
      expected.insert(std::to_string(step) + "," + std::to_string(e) + "," + name + ",modifier,Abund[0][0],7.50\r");
  }
  EXPECT_EQ(rows, expected);
  // The run's end tells each engine's abundance.
  const auto last = RunSupport::ReadResults(fs::path(models[1]).replace_extension(".results.csv"));
  EXPECT_NE(r.Out.find("Info: Velmar #1 (m1.vm): step 2, abundance " + std::to_string(last.Total[3]) + "; lowest "),
            std::string::npos)
      << r.Out;
}

// Engines report each step in whatever order they get to it; the file
// holds the start's numbers and then every step in engine order, so the same
// document run twice writes the same bytes. Engine 0 is the slow one here:
// the others' reports of a step reach the manager before its own.
TEST_F(StatesFile, RowsComeInStepAndEngineOrderSoTwoRunsWriteTheSameFile) {
  const std::vector<fs::path> models = {Model(0, 6, 1, "delay_ms = 40"), Model(1, 6, 2, ""), Model(2, 6, 3, "")};
  Document(models);
  Settings(false);
  std::string first;
  for (int run = 0; run < 2; ++run) {
    const TRun r = Run();
    ASSERT_EQ(r.Status, 0) << r.Out;
    const std::string text = ReadAll(Dir / "run.states.csv");
    if (run == 0) first = text;
    else EXPECT_EQ(text, first);
  }
  // (step, engine) of every row, in file order: the start (step -1) first.
  std::vector<std::pair<int, int>> order;
  const std::vector<std::string> lines = Lines(first);
  for (size_t i = 1; i < lines.size(); ++i) {
    const size_t comma = lines[i].find(',');
    const int step = comma == 0 ? -1 : std::stoi(lines[i].substr(0, comma));
    order.emplace_back(step, std::stoi(lines[i].substr(comma + 1)));
  }
  ASSERT_EQ(order.size(), 3u * (2 + 6 * 3));  // Years and Seed, then Abund, K and Timestep a step
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(order.front(), std::make_pair(-1, 0));
  EXPECT_EQ(order.back(), std::make_pair(5, 2));
}

TEST_F(StatesFile, AKilledRunKeepsItsRowsSoFar) {
  Document({Model(0, 200, 1, "delay_ms = 20"), Model(1, 200, 2, "delay_ms = 20")});
  Settings(false);
  const std::string command = "VELMAR_PIPE_NAMESPACE=velmar-states-" + std::to_string(getpid()) + "- '" +
                              ToolPaths::Program("velmar-manager") + "' --settings '" + (Dir / "settings.ini").string() +
                              "' --headless '" + (Dir / "run.vmgr").string() + "' > /dev/null 2>&1 & echo $! > '" +
                              (Dir / "pid").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const pid_t pid = std::stoi(ReadAll(Dir / "pid"));
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::vector<std::string> lines = Lines(ReadAll(Dir / "run.states.csv"));
  std::set<std::string> steps;
  for (size_t i = 1; i < lines.size(); ++i) {
    // Whole rows only: six fields and the line end.
    EXPECT_EQ(std::count(lines[i].begin(), lines[i].end(), ','), 5) << lines[i];
    EXPECT_EQ(lines[i].back(), '\r') << lines[i];
    if (lines[i].find(",state,") != std::string::npos) steps.insert(lines[i].substr(0, lines[i].find(',')));
  }
  EXPECT_GE(steps.size(), 5u);
  EXPECT_LT(steps.size(), 200u);
}

TEST_F(StatesFile, KeepsOnlyTheChosenVariablesAndAtMostTenThousandNumbersACall) {
  // 5,001 populations: their Abund and K make 10,002 numbers a step.
  std::string populations;
  for (int p = 0; p < 5001; ++p) populations += "[population P" + std::to_string(p) + "]\ninitial = 10\ncapacity = 100\n";
  WriteAll(Dir / "big.vm", "years = 2\nseed = 3\n" + populations);
  Document({Model(0, 3, 1, ""), Dir / "big.vm"});
  Settings(false, ToolPaths::Program("velmar-refengine"), 20, 20, "", "[Record]\nVariables=K, Timestep\n");
  TRun r = Run();
  ASSERT_EQ(r.Status, 0) << r.Out;
  std::vector<std::string> lines = Lines(ReadAll(Dir / "run.states.csv"));
  size_t kept = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].find("Abund"), std::string::npos) << lines[i];
    if (lines[i].rfind("0,0,m0.vm,state,", 0) == 0) ++kept;
  }
  EXPECT_EQ(kept, 2u);  // K[0] and Timestep of step 0
  EXPECT_EQ(r.Out.find("Warn: A call of Velmar"), std::string::npos);

  Settings(false);
  r = Run();
  ASSERT_EQ(r.Status, 0) << r.Out;
  lines = Lines(ReadAll(Dir / "run.states.csv"));
  std::map<std::string, size_t> perStep;
  for (size_t i = 1; i < lines.size(); ++i)
    if (lines[i].find(",1,big.vm,state,") != std::string::npos) ++perStep[lines[i].substr(0, lines[i].find(','))];
  EXPECT_EQ(perStep, (std::map<std::string, size_t>{{"0", 10000}, {"1", 10000}}));
  const size_t warn = r.Out.find("Warn: A call of Velmar #1 held more than 10000 numbers");
  EXPECT_NE(warn, std::string::npos) << r.Out.substr(0, 2000);
  EXPECT_EQ(r.Out.find("Warn: A call of Velmar", warn + 1), std::string::npos) << "more than one Warn line";
}

TEST_F(StatesFile, TheTracesCountersAreTheEnginesTotals) {
  const std::vector<fs::path> models = {Model(0, 6, 1, ""), Model(1, 6, 2, "")};
  Document(models);
  Settings(false);
  const TRun r = Run("--trace '" + (Dir / "run.trace.json").string() + "'");
  ASSERT_EQ(r.Status, 0) << r.Out;
  const nlohmann::json trace = nlohmann::json::parse(ReadAll(Dir / "run.trace.json"));
  std::vector<std::vector<int64_t>> counters(2);
  for (const auto& event : trace)
    if (event["ph"] == "C") counters.at(event["tid"].get<size_t>() - 1).push_back(event["args"]["value"].get<int64_t>());
  for (size_t e = 0; e < 2; ++e) {
    const auto results = RunSupport::ReadResults(fs::path(models[e]).replace_extension(".results.csv"));
    EXPECT_EQ(counters[e], std::vector<int64_t>(results.Total.begin() + 1, results.Total.end())) << "engine " << e;
  }
}

}  // namespace
