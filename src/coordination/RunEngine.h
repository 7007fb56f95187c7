#pragma once
// One engine of a run as the manager keeps it besides its slot in the client
// table (TVelmarProcess, the record its calls change): what its row in the
// monitor shows that the slot does not hold. The simulation keeps one per
// model of the run, sized as the run starts.
#include <string>
#include <vector>

struct TRunEngine {
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
