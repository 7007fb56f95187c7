#include "Dispersal.h"

#include <algorithm>
#include <cmath>

namespace Dispersal {
namespace {

using nlohmann::json;

// Deeper nesting than any engine call has is refused before parsing, as
// the parser recurses once per level.
constexpr int MAX_NESTING = 256;

bool NestingWithin(const std::string& text, int limit) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

json Reply(const json& id, json result) { return {{"jsonrpc", "2.0"}, {"result", std::move(result)}, {"id", id}}; }

json ErrorReply(const json& id, int code, const char* message) {
  return {{"jsonrpc", "2.0"}, {"error", {{"code", code}, {"message", message}}}, {"id", id}};
}

json Modifier(bool changeAbund, uint32_t timestep, const TAbundances& abund) {
  return {{"ChangeAbund", changeAbund}, {"ChangeVital", false}, {"ChangeK", false}, {"ChangeDisp", false},
          {"Timestep", timestep},      {"Complete", changeAbund}, {"Active", changeAbund}, {"Abund", abund},
          {"Vital", json::array()},    {"K", json::array()},      {"Disp", json::array()}};
}

bool IsCount(const json& v) {
  if (v.is_number_unsigned()) return v.get<uint64_t>() <= UINT32_MAX;
  return v.is_number_integer() && v.get<int64_t>() >= 0 && v.get<int64_t>() <= INT64_C(4294967295);
}

// Abundances as an engine reports them: rows of stages, or one number per
// population. False when the member is missing or malformed.
bool ReadAbundances(const json& pop, TAbundances& abund) {
  if (!pop.is_object() || !pop.contains("Abund") || !pop["Abund"].is_array()) return false;
  abund.clear();
  for (const auto& row : pop["Abund"]) {
    std::vector<uint32_t> cells;
    if (IsCount(row)) {
      cells.push_back(row.get<uint32_t>());
    } else if (row.is_array()) {
      for (const auto& cell : row) {
        if (!IsCount(cell)) return false;
        cells.push_back(cell.get<uint32_t>());
      }
    } else {
      return false;
    }
    abund.push_back(std::move(cells));
  }
  return true;
}

}  // namespace

uint64_t Total(const std::map<uint32_t, TAbundances>& all) {
  uint64_t total = 0;
  for (const auto& [client, rows] : all)
    for (const auto& row : rows)
      for (uint32_t n : row) total += n;
  return total;
}

std::map<uint32_t, TAbundances> Disperse(const std::map<uint32_t, TAbundances>& before, double fraction) {
  fraction = std::clamp(std::isfinite(fraction) ? fraction : 0.0, 0.0, 1.0);
  std::map<uint32_t, TAbundances> after = before;
  size_t stages = 0;
  for (const auto& [client, rows] : before)
    for (const auto& row : rows) stages = std::max(stages, row.size());

  for (size_t s = 0; s < stages; ++s) {
    // Every population that has this stage, in a fixed order.
    std::vector<uint32_t*> cells;
    std::vector<uint32_t> start;
    for (auto& [client, rows] : after)
      for (auto& row : rows)
        if (s < row.size()) {
          cells.push_back(&row[s]);
          start.push_back(row[s]);
        }
    const size_t m = cells.size();
    uint64_t stageTotal = 0;
    for (uint32_t n : start) stageTotal += n;
    // Too few to move between, or a total one cell could not hold.
    if (m < 2 || stageTotal > UINT32_MAX) continue;
    for (size_t i = 0; i < m; ++i) {
      const uint32_t leaving = static_cast<uint32_t>(std::floor(start[i] * fraction));
      if (!leaving) continue;
      *cells[i] -= leaving;
      const uint32_t share = static_cast<uint32_t>(leaving / (m - 1));
      uint32_t rest = static_cast<uint32_t>(leaving % (m - 1));
      // Shares go to the others starting after i, the remainder one each.
      for (size_t k = 1; k < m; ++k) {
        uint32_t& target = *cells[(i + k) % m];
        target += share;
        if (rest) {
          ++target;
          --rest;
        }
      }
    }
  }
  return after;
}

void TProcessor::StopTimeStep(uint32_t client, const json& pop) {
  const uint32_t round = ++FLastStop[client];
  TAbundances abund;
  if (ReadAbundances(pop, abund)) FStops[round][client] = std::move(abund);
}

json TProcessor::StartTimeStep(uint32_t client) {
  const auto last = FLastStop.find(client);
  const uint32_t round = last == FLastStop.end() ? 0 : last->second;
  if (round && !FResults.count(round) && FStops.count(round)) {
    // The first engine to start round+1 finds every engine's report of
    // `round` in, as the manager holds it until all have completed it.
    const auto& before = FStops[round];
    FResults[round] = Disperse(before, FFraction);
    FRounds.push_back("round " + std::to_string(round) + ": before=" + std::to_string(Total(before)) +
                      " after=" + std::to_string(Total(FResults[round])));
    while (!FStops.empty() && FStops.begin()->first + 1 < round) FStops.erase(FStops.begin());
    while (!FResults.empty() && FResults.begin()->first + 1 < round) FResults.erase(FResults.begin());
  }
  const auto result = FResults.find(round);
  if (result != FResults.end()) {
    const auto mine = result->second.find(client);
    if (mine != result->second.end()) return {{"modifier", Modifier(true, round + 1, mine->second)}, {"result", true}};
  }
  return {{"modifier", Modifier(false, 0, {})}, {"result", true}};
}

std::string TProcessor::HandleRequest(const std::string& line) {
  json request;
  if (NestingWithin(line, MAX_NESTING)) request = json::parse(line, nullptr, false);
  if (!request.is_object()) return ErrorReply(nullptr, -32700, "Parse error").dump(-1, ' ', true);
  const json id = request.contains("id") ? request["id"] : json();
  if (!request.contains("method") || !request["method"].is_string())
    return ErrorReply(id, -32600, "Invalid Request").dump(-1, ' ', true);
  const std::string method = request["method"].get<std::string>();
  const json params = request.contains("params") && request["params"].is_object() ? request["params"] : json::object();
  const bool hasClient = params.contains("ClientID") && params["ClientID"].is_number_unsigned();
  const uint32_t client = hasClient ? params["ClientID"].get<uint32_t>() : 0;

  json result;
  if (method == "Initialize" || method == "StopSimulation" || method == "Finalize") {
    result = true;
  } else if (method == "StartSimulation") {
    result = params.contains("VelmarStateVarsGlobal");
  } else if (method == "StopTimeStep") {
    result = hasClient && params.contains("VelmarStateVarsPop");
    if (result.get<bool>()) StopTimeStep(client, params["VelmarStateVarsPop"]);
  } else if (method == "StartTimeStep") {
    result = hasClient ? StartTimeStep(client) : json{{"modifier", Modifier(false, 0, {})}, {"result", false}};
  } else if (method == "Echo") {
    result = params.contains("Value") ? params["Value"] : json();
  } else {
    return ErrorReply(id, -32601, "Method not found").dump(-1, ' ', true);
  }
  return Reply(id, std::move(result)).dump(-1, ' ', true);
}

}  // namespace Dispersal
