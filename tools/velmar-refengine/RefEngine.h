#pragma once
// The stand-in engine's own parts: its command line, its model file, the
// population model and its results file. The conversation with the manager
// is in main.cpp.
#include <cstdint>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace RefEngine {

// A model file or command line that cannot be used; the text says why.
class EModelError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TOptions {
  bool Run = false;             // /RUN=YES
  std::string PipeName;         // /RPC=; empty: run alone, without a manager
  uint32_t ClientId = 0;        // /RPCID=
  uint32_t ResponseTimeout = 60;  // /RpcResponseTimeout=, seconds
  std::string ModelPath;        // the one argument that is not an option
};

// Reads the arguments after the program name. Option names are matched
// without regard to case; options it does not know (-q, /X) are ignored.
TOptions ParseArguments(const std::vector<std::string>& args);

struct TPopulation {
  std::string Name;
  uint32_t Initial = 0;
  uint32_t Capacity = 0;
  double Growth = 0.0;     // r of the Ricker model
  double Variation = 0.0;  // standard deviation of the yearly noise on r
};

struct TModel {
  uint32_t Years = 0;
  uint64_t Seed = 1;
  uint32_t DelayMs = 0;     // pause in every step (tests)
  uint32_t JitterMs = 0;    // up to this much more, drawn from the system's randomness, not the seed (tests)
  uint32_t Echoes = 0;      // "Echo" calls after every step's end (tests)
  uint32_t ExitAtStep = 0;  // exit, without finishing, as this step begins (tests); 0: never
  bool NeverInitialize = false;  // connect and then wait without calling Initialize (tests)
  std::vector<TPopulation> Populations;
};

TModel ParseModel(const std::string& text);
TModel LoadModel(const std::string& path);

// The yearly population model. Each year, population p of size N becomes
//   N * exp(r * (1 - N / K) + v * z),  z ~ N(0, 1),
// rounded up or down at random in proportion to the fraction. The random
// numbers are drawn in a fixed order from one seeded generator, so a seed
// always gives the same years.
class TSimulation {
 public:
  explicit TSimulation(const TModel& model);

  const std::vector<uint32_t>& Abundances() const { return FAbund; }
  const std::vector<uint32_t>& Capacities() const { return FK; }
  uint32_t Year() const { return FYear; }
  void Step();

  // Applies what a modifier's set flags carry (see docs/refengine.md);
  // entries beyond the model's populations are ignored.
  void ApplyModifier(const nlohmann::json& modifier);

  nlohmann::json StateVarsGlobal(const std::string& modelPath) const;
  nlohmann::json StateVarsPop() const;

 private:
  double Uniform();
  double Normal();

  TModel FModel;
  std::vector<uint32_t> FAbund, FK;
  std::vector<double> FGrowth, FVariation;
  std::mt19937_64 FRandom;
  uint32_t FYear = 0;
};

// The results file beside the model: "north.vm" → "north.results.csv".
std::string ResultsPath(const std::string& modelPath);

// The results file: a header, then one row per year; StartNs and StopNs are
// the monotonic clock (ns) when the step was allowed to start and when its
// end was reported, so runs of several engines can be checked for lockstep.
class TResultsWriter {
 public:
  TResultsWriter(const std::string& path, const TModel& model);
  void Row(const TSimulation& sim, uint64_t startNs, uint64_t stopNs);

 private:
  std::string FPath;
  std::ofstream FFile;
};

uint64_t MonotonicNs();

}  // namespace RefEngine
