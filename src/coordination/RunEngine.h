#pragma once
// One engine of a run as the manager keeps it besides its slot in the client
// table (TVelmarProcess, the record its calls change): its row in the
// monitor, its reports for the run's fingerprint, its place in the order of
// a processor run's calls, and the states it reported. The simulation keeps
// one per model of the run, made afresh as the run starts; each part
// belongs to the module that reads and changes it (TRunRows,
// TRunFingerprint, TCallOrder, TStateRecord).
#include <cstddef>
#include <string>
#include <vector>

#include "coordination/CallOrder.h"
#include "coordination/RunFingerprint.h"
#include "coordination/StateRecord.h"

// What an engine's monitor row keeps that its slot does not hold.
struct TEngineRow {
  // Its model file in this run: its slot holds the file only once its turn
  // in the launch has come (until then, the previous run's).
  std::string ModelFile;
  // The file its standard output and error go to; empty when they go to
  // the manager's standard error.
  std::string OutputFile;
  // The manager terminated its process.
  bool Killed = false;
  // The last lines of its output file, read when it failed.
  std::vector<std::string> OutputTail;
};

struct TRunEngine {
  TEngineRow Row;
  TFingerprintPart Fingerprint;
  TCallOrderPart Calls;
  TStatePart States;
};

// A module that covers the first count engines makes sure there are as
// many; the parts of the others are left as they are.
inline void CoverEngines(std::vector<TRunEngine>& engines, size_t count) {
  if (engines.size() < count) engines.resize(count);
}
