#pragma once
// Start-up and shut-down of the modules below the window, in their order;
// shared by the window and the headless run.
#include <string>

#include "coordination/Simulation.h"
#include "ui/RunControl.h"

// The program's simulation module.
TSimulation& SimulationModule();

// Start-up before any window: the list-separator check, the settings store
// (settingsFile, when not empty, instead of the per-user file), then the
// simulation module, which is installed as the run control's simulator.
void StartupModules(const std::string& settingsFile);
// Shut-down after the window has gone from the message loop: the simulation
// module, then the logger. The settings store stays usable.
void ShutdownModules();

// The program's file version ("unknown" when it carries none).
std::string ProgramVersion();
