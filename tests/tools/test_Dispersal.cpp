#include "Dispersal.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "platform/Events.h"
#include "platform/Process.h"
#include "tools/ToolPaths.h"

using namespace Dispersal;
using nlohmann::json;

namespace {

std::string Call(const std::string& method, const json& params, int id) {
  return json{{"jsonrpc", "2.0"}, {"method", method}, {"params", params}, {"id", id}}.dump();
}

json Stop(uint32_t client, const TAbundances& abund, int id) {
  return json::parse(Call("StopTimeStep", {{"ClientID", client}, {"VelmarStateVarsPop", {{"Abund", abund}}}}, id));
}

}  // namespace

TEST(Disperse, WorkedExampleSharesEachMoveAmongTheOthers) {
  // 100 sends 50: 17, 17, 16; 50 sends 25: 9, 8, 8; 10 sends 5: 2, 2, 1.
  const std::map<uint32_t, TAbundances> before{{0, {{100}, {50}}}, {1, {{10}, {0}}}};
  const auto after = Disperse(before, 0.5);
  EXPECT_EQ((TAbundances{{60}, {43}}), after.at(0));
  EXPECT_EQ((TAbundances{{31}, {26}}), after.at(1));
}

TEST(Disperse, KeepsEveryStageTotalExactly) {
  std::mt19937 random(12345);
  for (int trial = 0; trial < 300; ++trial) {
    std::map<uint32_t, TAbundances> before;
    const int engines = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < engines; ++e) {
      TAbundances rows(1 + random() % 4);
      for (auto& row : rows) {
        row.resize(1 + random() % 3);  // ragged on purpose
        for (auto& n : row) n = random() % 100000;
      }
      before[static_cast<uint32_t>(e * 3)] = rows;
    }
    const double fraction = (random() % 1001) / 1000.0;
    const auto after = Disperse(before, fraction);
    ASSERT_EQ(Total(before), Total(after)) << "trial " << trial;
    // Same shape, so every engine can take its rows back.
    for (const auto& [client, rows] : before) {
      ASSERT_EQ(rows.size(), after.at(client).size());
      for (size_t p = 0; p < rows.size(); ++p) ASSERT_EQ(rows[p].size(), after.at(client)[p].size());
    }
  }
}

TEST(Disperse, LeavesAloneWhatCannotMove) {
  const std::map<uint32_t, TAbundances> one{{0, {{500, 7}}}};
  EXPECT_EQ(one, Disperse(one, 0.5));  // no other population
  const std::map<uint32_t, TAbundances> two{{0, {{500}}}, {1, {{300, 9}}}};
  const auto after = Disperse(two, 0.0);
  EXPECT_EQ(two, after);
  // Stage 1 exists only once: it stays; stage 0 moves.
  const auto moved = Disperse(two, 0.1);
  EXPECT_EQ((TAbundances{{500 - 50 + 30}}), moved.at(0));
  EXPECT_EQ((TAbundances{{300 - 30 + 50, 9}}), moved.at(1));
  // Out-of-range fractions are held to 0..1 rather than inventing animals.
  EXPECT_EQ(Total(two), Total(Disperse(two, 7.0)));
  EXPECT_EQ(two, Disperse(two, -1.0));
  // A total no single population could hold is not moved at all.
  const std::map<uint32_t, TAbundances> huge{{0, {{4000000000u}}}, {1, {{4000000000u}}}};
  EXPECT_EQ(huge, Disperse(huge, 0.5));
}

TEST(Processor, HandsEachEngineItsShareAfterEveryEngineReported) {
  TProcessor p(0.5);
  // Before any report there is nothing to hand out.
  json r = json::parse(p.HandleRequest(Call("StartTimeStep", {{"ClientID", 0}}, 1)));
  EXPECT_EQ(1, r["id"]);
  EXPECT_EQ(true, r["result"]["result"]);
  EXPECT_EQ(false, r["result"]["modifier"]["ChangeAbund"]);
  EXPECT_EQ(json::array(), r["result"]["modifier"]["Abund"]);
  EXPECT_EQ(11u, r["result"]["modifier"].size());

  EXPECT_EQ(true, json::parse(p.HandleRequest(Stop(0, {{100}, {50}}, 2).dump()))["result"]);
  EXPECT_EQ(true, json::parse(p.HandleRequest(Stop(1, {{10}, {0}}, 3).dump()))["result"]);
  r = json::parse(p.HandleRequest(Call("StartTimeStep", {{"ClientID", 1}}, 4)));
  EXPECT_EQ(true, r["result"]["modifier"]["ChangeAbund"]);
  EXPECT_EQ(2, r["result"]["modifier"]["Timestep"]);
  EXPECT_EQ((json{{31}, {26}}), r["result"]["modifier"]["Abund"]);

  // Engine 1 runs ahead and reports step 2 before engine 0 starts step 2:
  // engine 0 still gets its share of round 1.
  p.HandleRequest(Stop(1, {{1}, {1}}, 5).dump());
  r = json::parse(p.HandleRequest(Call("StartTimeStep", {{"ClientID", 0}}, 6)));
  EXPECT_EQ((json{{60}, {43}}), r["result"]["modifier"]["Abund"]);
  ASSERT_EQ(1u, p.Rounds().size());
  EXPECT_EQ("round 1: before=160 after=160", p.Rounds()[0]);
}

TEST(Processor, AnswersTheOtherCallsAsTheManagerWould) {
  TProcessor p(0.1);
  auto reply = [&](const std::string& line) { return json::parse(p.HandleRequest(line)); };
  EXPECT_EQ(true, reply(Call("Initialize", {{"ClientID", 0}}, 1))["result"]);
  EXPECT_EQ(false, reply(Call("StartSimulation", {{"ClientID", 0}}, 2))["result"]);
  EXPECT_EQ(true, reply(Call("StartSimulation", {{"ClientID", 0}, {"VelmarStateVarsGlobal", {{"Years", 5}}}}, 3))["result"]);
  EXPECT_EQ(false, reply(Call("StopTimeStep", {{"ClientID", 0}}, 4))["result"]);
  EXPECT_EQ((json{{"a", 1}}), reply(Call("Echo", {{"ClientID", 0}, {"Value", {{"a", 1}}}}, 5))["result"]);
  EXPECT_EQ(true, reply(Call("Finalize", {{"ClientID", 0}}, 6))["result"]);

  json r = reply(R"({"jsonrpc":"2.0","method":"Bogus","id":"x7"})");
  EXPECT_EQ("x7", r["id"]);
  EXPECT_EQ(-32601, r["error"]["code"]);
  r = reply(R"({"jsonrpc":"2.0","id":3})");
  EXPECT_EQ(-32600, r["error"]["code"]);
  for (const std::string& bad : std::vector<std::string>{"", "not json", "[1,2]", std::string(100000, '['), "{\"method\":\"Initialize\""}) {
    r = reply(bad);
    EXPECT_EQ(-32700, r["error"]["code"]) << bad.substr(0, 20);
    EXPECT_TRUE(r["id"].is_null());
  }
  // Replies are one line of plain ASCII whatever the request holds.
  const std::string text = p.HandleRequest(Call("Echo", {{"ClientID", 0}, {"Value", "line\nbreak \xC3\xA9"}}, 9));
  EXPECT_EQ(std::string::npos, text.find('\n'));
  for (unsigned char c : text) EXPECT_LT(c, 0x80);
}

namespace {

// The program with its standard input and output on pipes.
class DispersalProgram {
 public:
  explicit DispersalProgram(const std::string& params) {
    int childIn = -1, childOut = -1;
    EXPECT_EQ(0, Platform::CreatePipe(childIn, FWrite));
    EXPECT_EQ(0, Platform::CreatePipe(FRead, childOut));
    Platform::TSpawnRequest r;
    r.CommandLine = "\"" + ToolPaths::Program("velmar-dispersal") + "\" " + params;
    r.StdInput = childIn;
    r.StdOutput = childOut;
    EXPECT_EQ(0, Platform::SpawnProcess(r, FInfo));
    Platform::CloseHandleClear(childIn);
    Platform::CloseHandleClear(childOut);
  }
  ~DispersalProgram() {
    Platform::TerminateProcess(FInfo.hProcess);
    Platform::CloseProcessHandle(FInfo.hProcess);
    Platform::CloseHandleClear(FRead);
    Platform::CloseHandleClear(FWrite);
  }
  void Write(const std::string& text) {
    size_t n = 0;
    EXPECT_EQ(0, Platform::WritePipe(FWrite, text.data(), text.size(), n));
  }
  void CloseInput() { Platform::CloseHandleClear(FWrite); }
  // Everything the program writes until it closes its output.
  std::string ReadToEnd() {
    std::string all;
    char buf[4096];
    size_t n = 0;
    while (Platform::ReadPipe(FRead, buf, sizeof buf, n) == 0) all.append(buf, n);
    return all;
  }
  uint32_t ExitCode() {
    EXPECT_EQ(Platform::WAIT_OBJECT_0, Platform::WaitForProcess(FInfo.hProcess, 20000));
    uint32_t code = 0;
    EXPECT_TRUE(Platform::GetExitCodeProcess(FInfo.hProcess, code));
    return code;
  }

 private:
  Platform::TProcessInformation FInfo;
  int FRead = -1, FWrite = -1;
};

size_t CountLines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

}  // namespace

TEST(DispersalProgram, OneReplyLinePerRequestLineThenEndsAtTheCloseCommand) {
  DispersalProgram program("--close=STOP 0.25");
  std::string batch;
  for (int i = 0; i < 20; ++i) batch += Call("Echo", {{"ClientID", 0}, {"Value", i}}, i) + "\r\n";
  batch += "\r\n";           // a blank line still gets its (error) reply
  batch += "not json\r\n";
  program.Write(batch);
  program.Write("STOP\r\n");
  // Our write end stays open: only the close command can end it.
  const std::string out = program.ReadToEnd();
  EXPECT_EQ(0u, program.ExitCode());
  ASSERT_EQ(22u, CountLines(out));
  std::istringstream lines(out);
  std::string line;
  for (int i = 0; i < 20; ++i) {
    std::getline(lines, line);
    EXPECT_EQ(i, json::parse(line)["result"]) << line;
  }
}

TEST(DispersalProgram, EndsAtEndOfInputAndConservesWhatItMoves) {
  DispersalProgram program("--fraction=0.3");
  program.Write(Stop(0, {{1000}, {20}}, 1).dump() + "\r\n" + Stop(1, {{5}}, 2).dump() + "\r\n" +
                Call("StartTimeStep", {{"ClientID", 0}}, 3) + "\r\n" + Call("StartTimeStep", {{"ClientID", 1}}, 4) +
                "\r\n");
  program.CloseInput();
  const std::string out = program.ReadToEnd();
  EXPECT_EQ(0u, program.ExitCode());
  ASSERT_EQ(4u, CountLines(out));
  std::istringstream lines(out);
  std::string line;
  uint64_t total = 0;
  for (int i = 0; i < 4; ++i) {
    std::getline(lines, line);
    const json r = json::parse(line);
    if (i < 2) continue;
    for (const auto& row : r["result"]["modifier"]["Abund"])
      for (const auto& n : row) total += n.get<uint64_t>();
  }
  EXPECT_EQ(1025u, total);
}

TEST(DispersalProgram, RefusesABadFraction) {
  DispersalProgram program("1.5");
  program.CloseInput();
  EXPECT_EQ("", program.ReadToEnd());
  EXPECT_EQ(2u, program.ExitCode());
}
