#pragma once
// Start-up and shut-down of the modules below the window, in their order;
// shared by the window and the headless run.
#include <string>

#include "ui/RunControl.h"

// The simulation module as the program drives it: the run operations, and
// the life of the JSON-RPC server that engines call.
class ISimulationModule : public ISimulator {
 public:
  // The transport's module state, then the JSON-RPC server on the pipe
  // "VelmarManager", listening before anything else can happen. Raises when
  // the pipe name is taken (another manager is running).
  virtual void Startup() = 0;
  // The server goes (its pipe server waits for its threads), then the
  // transport's module state. Engines still running are left alone.
  virtual void Shutdown() = 0;
};

// The program's simulation module.
ISimulationModule& SimulationModule();

// Start-up before any window: the list-separator check, the settings store
// (settingsFile, when not empty, instead of the per-user file), then the
// simulation module, which is installed as the run control's simulator.
void StartupModules(const std::string& settingsFile);
// Shut-down after the window has gone from the message loop: the simulation
// module, then the logger. The settings store stays usable.
void ShutdownModules();
