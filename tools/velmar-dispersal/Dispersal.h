#pragma once
// The example external processor: sees every engine call of a run, answers
// each with one reply line, and between time steps moves a fraction of
// every population to the other populations of the run.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace Dispersal {

// Abundances of one engine: populations × stages.
using TAbundances = std::vector<std::vector<uint32_t>>;

// Moves `fraction` (0..1) of every cell out of it, shared evenly among the
// cells of the same stage in every other population of every engine (the
// remainder of the division goes to the next cells in turn, so the total of
// each stage is kept exactly). Cells are keyed by engine client id.
std::map<uint32_t, TAbundances> Disperse(const std::map<uint32_t, TAbundances>& before, double fraction);

// Sum of every cell.
uint64_t Total(const std::map<uint32_t, TAbundances>& all);

class TProcessor {
 public:
  explicit TProcessor(double fraction) : FFraction(fraction) {}

  // The reply line (without its line end) to one request line.
  std::string HandleRequest(const std::string& line);

  // One line per dispersal round: "round <t>: before=<n> after=<n>".
  const std::vector<std::string>& Rounds() const { return FRounds; }

 private:
  nlohmann::json StartTimeStep(uint32_t client);
  void StopTimeStep(uint32_t client, const nlohmann::json& pop);

  double FFraction;
  // Step each engine last completed, and its abundances then, by round.
  std::map<uint32_t, uint32_t> FLastStop;
  std::map<uint32_t, std::map<uint32_t, TAbundances>> FStops;
  std::map<uint32_t, std::map<uint32_t, TAbundances>> FResults;
  std::vector<std::string> FRounds;
};

}  // namespace Dispersal
