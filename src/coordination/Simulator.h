#pragma once
// The pieces of simulation coordination that TSimulation (Simulation.h)
// puts together: one engine's slot in the client table, the module's
// constants, and the lines and parameters every run writes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Shared/JSON.h"
#include "Shared/JSON_RPC.h"
#include "diagnostics/Logging.h"
#include "diagnostics/TextUtils.h"
#include "platform/Clock.h"
#include "platform/Process.h"

// The pipe the engines connect to.
inline constexpr const char* VELMAR_PIPE_NAME = "VelmarManager";
// The engine's own wait for its "Initialize" before StartSimulation gives up.
inline constexpr uint32_t START_SIMULATION_WAIT_SECONDS = 60;
// A pass of every wait: handle what is waiting, else sleep this long at most.
inline constexpr uint32_t WAIT_PASS_MS = 100;
// The pause of the processor reader when nothing has arrived.
inline constexpr uint32_t PROCESSOR_POLL_MS = 250;
// The real wait behind each poll pause when a simulated clock keeps the time.
inline constexpr uint32_t SIMULATED_POLL_REAL_MS = 10;

class TSimulation;

// One client slot: one engine of the running document.
struct TVelmarProcess {
  std::string Filename;
  std::string Params;
  bool Started = false;
  Platform::TLocalDateTime StartTime;
  Platform::TProcessInformation ProcInfo;
  uint32_t ClientID = 0;
  bool Initialized = false;
  bool Finalized = false;
  bool Simulating = false;
  bool SimulationStopped = false;  // "StopSimulation" was called
  uint32_t Replication = 0;
  uint32_t TimeStep = 0;
  // The engine's process has ended; ExitStatus holds its status (128 + the
  // signal for a killed one). A slot whose engine is gone holds nobody.
  bool Exited = false;
  uint32_t ExitStatus = 0;

  void Clear();
  bool Initialize();
  void Finalize();
  bool IsRunning() const;
  // The slot's own part of the calls; cancelled: the run is being cancelled.
  // StartSimulation waits, running simulation's messages, until the slot
  // has initialised; the slot may not be used after it (it is looked up
  // again in simulation's table).
  static bool StartSimulation(TSimulation& simulation, uint32_t id);
  IJsonValue StartTimeStep(bool cancelled);
  // The log line of StartTimeStep alone, for a step whose reply is not the
  // manager's (a processor run's).
  void NoteTimeStepStarting() const;
  bool StopSimulation();
  bool StopTimeStep(bool cancelled);
};

extern const TVelmarProcess EmptyProcess;

// A debug line, written only while no external processor is in use.
void InternalDebugMessage(const std::string& msg);
// Whether InternalDebugMessage would write a line at all.
bool InternalDebugWanted();
template <class A0, class... A>
void InternalDebugMessage(std::string_view fmt, const A0& a0, const A&... args) {
  // Formatted only when the line is going to be written.
  if (InternalDebugWanted()) Logger().Debug(TextUtils::SafeFormat(fmt, a0, args...));
}

// Whole seconds on the clock since startTicks: the time-outs are counted in
// whole seconds, as the settings give them.
inline uint64_t WholeSecondsSince(uint64_t startTicks) { return (Platform::GetTickCount64() - startTicks) / 1000; }

struct TRunSettings;
// The engine's parameters for client clientID running modelPath in a run
// with these settings.
std::string VelmarParameters(const TRunSettings& settings, uint32_t clientID, const std::string& modelPath);

// Logs the program's path, version and date (the first lines of a run).
void LogProgramInfo();
// Says why a program could not be started (error: the errno of the launch);
// running out of descriptors is named as such, since nothing else about the
// failure points at it. Returns the reason ("\"program\": reason"), empty
// when the system gave none.
std::string LogExecFailure(const std::string& program, int error);
