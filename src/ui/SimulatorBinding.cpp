// The program's simulation module: the coordination code behind the run
// control's interface.
#include "Shared/Componen/ThreadSync.h"
#include "coordination/RunProgress.h"
#include "coordination/Simulator.h"
#include "ui/Startup.h"

namespace {

class TCoordinationModule : public ISimulationModule {
 public:
  void Startup() override {
    InitializeThreadSync();
    InitializeSimulator();
  }
  void Shutdown() override {
    FinalizeSimulator();
    FinalizeThreadSync();
  }

  void StartSimulation(TDocument& document) override { ::StartSimulation(document); }
  bool IsSimulationDone(bool& cancelled) override {
    const bool done = ::IsSimulationDone();
    cancelled = done && LastRunCancelled();
    return done;
  }
  void CancelSimulation(TDocument& document) override { ::CancelSimulation(&document); }
  uint64_t ProgressGeneration() override { return ::ProgressGeneration(); }
  TRunProgress Progress() override { return RunProgress(); }
};

}  // namespace

ISimulationModule& SimulationModule() {
  static TCoordinationModule module;
  return module;
}
