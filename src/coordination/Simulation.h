#pragma once
// The simulation module as one object: the program owns one, and the run
// control reaches it through ISimulator.
#include <cstdint>

#include "coordination/ISimulator.h"

class TSimulation : public ISimulator {
 public:
  // The transport's module state, then the JSON-RPC server on the pipe
  // "VelmarManager", listening before anything else can happen. Raises when
  // the pipe name is taken (another manager is running).
  void Startup();
  // The server goes (its pipe server waits for its threads), then the
  // transport's module state. Engines still running are left alone.
  void Shutdown();

  void StartSimulation(TDocument& document) override;
  bool IsSimulationDone(bool& cancelled) override;
  void CancelSimulation(TDocument& document) override;
  uint64_t ProgressGeneration() override;
  TRunProgress Progress() override;
  size_t ComputingPerStep(uint32_t engine, size_t from, std::vector<float>& out) override;
  void SetTraceFile(const std::string& path) override;
};
