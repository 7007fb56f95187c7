// The run's fingerprint (see RunFingerprint.h).
#include "coordination/RunFingerprint.h"

#include <xxhash.h>

#include <algorithm>

#include "coordination/RunEngine.h"

struct TRunFingerprint::TState {
  XXH3_state_t* Hash = XXH3_createState();
  ~TState() { XXH3_freeState(Hash); }
};

namespace {

std::string Hex(const XXH128_hash_t& hash) {
  XXH128_canonical_t c;
  XXH128_canonicalFromHash(&c, hash);
  static constexpr char DIGITS[] = "0123456789abcdef";
  std::string out;
  out.reserve(32);
  for (unsigned char b : c.digest) {
    out += DIGITS[b >> 4];
    out += DIGITS[b & 15];
  }
  return out;
}

void PutLe32(unsigned char* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<unsigned char>(v >> (8 * i));
}

}  // namespace

std::string Xxh128Hex(std::string_view text) { return Hex(XXH3_128bits(text.data(), text.size())); }

TRunFingerprint::TRunFingerprint(std::vector<TRunEngine>& engines)
    : FState(std::make_unique<TState>()), FEngines(engines) {
  Reset(0);
}

TRunFingerprint::~TRunFingerprint() = default;

void TRunFingerprint::Reset(size_t engines) {
  XXH3_128bits_reset(FState->Hash);
  CoverEngines(FEngines, engines);
  FCount = engines;
  for (size_t i = 0; i < FCount; ++i) Part(i) = TFingerprintPart{};
  FNextStep = 0;
  FSteps = 0;
  FAny = false;
}

TFingerprintPart& TRunFingerprint::Part(size_t id) const { return FEngines[id].Fingerprint; }

void TRunFingerprint::Report(uint32_t id, uint32_t step, std::string_view state) {
  if (id >= FCount) return;
  XXH128_canonical_t c;
  XXH128_canonicalFromHash(&c, XXH3_128bits(state.data(), state.size()));
  TFingerprintPart::TReport r{step, {}};
  std::copy(std::begin(c.digest), std::end(c.digest), r.Digest.begin());
  Part(id).Held.push_back(r);
  FAny = true;
  Fold(false);
}

void TRunFingerprint::EngineEnded(uint32_t id) {
  if (id >= FCount || Part(id).Ended) return;
  Part(id).Ended = true;
  Fold(false);
}

void TRunFingerprint::Take(uint32_t step, uint32_t id, const TDigest& digest) {
  unsigned char record[8 + 16];
  PutLe32(record, step);
  PutLe32(record + 4, id);
  std::copy(digest.begin(), digest.end(), record + 8);
  XXH3_128bits_update(FState->Hash, record, sizeof record);
  FSteps = std::max(FSteps, step + 1);
}

void TRunFingerprint::Fold(bool all) {
  for (;;) {
    // The step to take in next: the lowest any engine holds (an engine
    // reports its steps in order, so that is at the front).
    bool held = false;
    uint32_t step = UINT32_MAX;
    for (size_t i = 0; i < FCount; ++i)
      if (const auto& q = Part(i).Held; !q.empty()) {
        held = true;
        step = std::min(step, q.front().Step);
      }
    if (!held) return;
    step = std::max(step, FNextStep);
    // Every engine still running must have reported it first.
    if (!all)
      for (size_t i = 0; i < FCount; ++i)
        if (Part(i).Held.empty() && !Part(i).Ended) return;
    for (size_t i = 0; i < FCount; ++i) {
      auto& q = Part(i).Held;
      // A report older than the step being taken (an engine that reported
      // after it had ended) is taken in here, in client order.
      if (!q.empty() && q.front().Step <= step) {
        Take(step, static_cast<uint32_t>(i), q.front().Digest);
        q.pop_front();
      }
    }
    FNextStep = step + 1;
  }
}

std::string TRunFingerprint::Finish(uint32_t& steps) {
  Fold(true);
  steps = FSteps;
  return Hex(XXH3_128bits_digest(FState->Hash));
}
