#pragma once
// The run's fingerprint: one hash of every state the engines reported at
// the ends of their steps, taken in (step, client id) order whatever order
// the reports arrived in. Two runs whose engines reported the same states
// have the same fingerprint, on any machine and at any load.
//
// Each report (the "VelmarStateVarsPop" of a "StopTimeStep", as this
// program's JSON writer lays it out) is hashed with XXH3-128; the
// fingerprint is XXH3-128 over, for every step from 0 and within it every
// engine that reported it in client order, the step and the client id (4
// bytes each, little-endian) followed by the report's 16-byte canonical
// (big-endian) digest. It is written as the 32 hexadecimal digits of the
// canonical form.
#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct TRunEngine;

// An engine's part: the digests of its reports not taken in yet (the oldest
// first), and whether it reports no more.
struct TFingerprintPart {
  using TDigest = std::array<unsigned char, 16>;
  struct TReport {
    uint32_t Step;
    TDigest Digest;
  };
  std::deque<TReport> Held;
  bool Ended = false;
};

class TRunFingerprint {
 public:
  // Each engine's part is kept in the run's engine.
  explicit TRunFingerprint(std::vector<TRunEngine>& engines);
  ~TRunFingerprint();
  TRunFingerprint(const TRunFingerprint&) = delete;
  TRunFingerprint& operator=(const TRunFingerprint&) = delete;

  // A new run of engines engines: the first engines of the run's.
  void Reset(size_t engines);
  // Engine id's state after completing step step (counting from 0).
  void Report(uint32_t id, uint32_t step, std::string_view state);
  // The engine reports no more steps (it stopped simulating or ended).
  void EngineEnded(uint32_t id);
  // Whether any engine has reported a step in this run.
  bool Any() const { return FAny; }
  // Takes in every report still held and gives the fingerprint, with the
  // number of steps it covers. The run's reports end here.
  std::string Finish(uint32_t& steps);

 private:
  using TDigest = TFingerprintPart::TDigest;
  TFingerprintPart& Part(size_t id) const;
  // Takes in the steps every engine has reported or will never report;
  // all: everything held, as at the run's end.
  void Fold(bool all);
  void Take(uint32_t step, uint32_t id, const TDigest& digest);

  struct TState;
  std::unique_ptr<TState> FState;
  std::vector<TRunEngine>& FEngines;
  size_t FCount = 0;  // the engines of the run
  uint32_t FNextStep = 0;
  uint32_t FSteps = 0;
  bool FAny = false;
};

// The digest of text as 32 lower-case hexadecimal digits (XXH3-128,
// canonical form).
std::string Xxh128Hex(std::string_view text);
