#include "coordination/Simulation.h"

#include "Shared/Componen/ThreadSync.h"
#include "coordination/RunInsight.h"
#include "coordination/RunProgress.h"
#include "coordination/Simulator.h"

void TSimulation::Startup() {
  InitializeThreadSync();
  InitializeSimulator();
}

void TSimulation::Shutdown() {
  FinalizeSimulator();
  FinalizeThreadSync();
}

void TSimulation::StartSimulation(TDocument& document) { ::StartSimulation(document); }

bool TSimulation::IsSimulationDone(bool& cancelled) {
  const bool done = ::IsSimulationDone();
  cancelled = done && LastRunCancelled();
  return done;
}

void TSimulation::CancelSimulation(TDocument& document) { ::CancelSimulation(&document); }

uint64_t TSimulation::ProgressGeneration() { return ::ProgressGeneration(); }

TRunProgress TSimulation::Progress() { return RunProgress(); }

size_t TSimulation::ComputingPerStep(uint32_t engine, size_t from, std::vector<float>& out) {
  return RunInsight().Timings().ComputingSeries(engine, from, out);
}

void TSimulation::SetTraceFile(const std::string& path) { RunInsight().SetTraceFile(path); }
