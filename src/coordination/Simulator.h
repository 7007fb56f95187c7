#pragma once
// Simulation coordination: the engines' calls and the client table, the
// time-step barrier, the bridge to the external processor, and starting,
// watching and cancelling a run. Everything here runs on the main thread;
// the waits keep that thread's messages flowing, so other engines' calls,
// timers and the Stop command are handled nested inside a waiting call.
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

class TDocument;
class TModel;

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
  bool StartSimulation();
  IJsonValue StartTimeStep();
  bool StopSimulation();
  bool StopTimeStep();
};

// The client table, indexed by client id; sized when a run starts.
extern std::vector<TVelmarProcess> Processes;
extern const TVelmarProcess EmptyProcess;
// The run is being cancelled: every engine call is answered false.
extern bool Cancel;
// A run is in progress.
extern bool InProcess;

// External processor state.
extern Platform::TProcessInformation ExternalProcessorProcInfo;
extern bool ExternalProcessorRunning;
extern int ExternalProcessorWritePipe;
extern int ExternalProcessorReadPipe;

class TRpcHandler {
 public:
  // The handler of a parsed engine call (direct mode, and the bookkeeping
  // half of the processor mode).
  static TVariant OnRPC(uint32_t pipe, const std::string& method, const IJsonValue& params);
  // Processor mode: bookkeeping through OnRPC, then the request goes to the
  // processor as one line and its answer line is the reply.
  static std::string OnRPCRaw(uint32_t pipe, std::string_view rpc);
  // Whether a client may start timestep: every simulating slot has
  // completed the step before it. whyNot names the first that has not.
  static bool CanStartTimestep(uint32_t clientID, uint32_t timestep, std::string& whyNot);
};

// A debug line, written only while no external processor is in use.
void InternalDebugMessage(const std::string& msg);
// Whether InternalDebugMessage would write a line at all.
bool InternalDebugWanted();
template <class A0, class... A>
void InternalDebugMessage(std::string_view fmt, const A0& a0, const A&... args) {
  // Formatted only when the line is going to be written.
  if (InternalDebugWanted()) Logger().Debug(TextUtils::SafeFormat(fmt, a0, args...));
}

// The engine's parameters for client clientID running modelPath.
std::string VelmarParameters(uint32_t clientID, const std::string& modelPath);

// Run control.
void StartSimulation(TDocument& document);
bool IsSimulationDone();
// Whether the run that IsSimulationDone last found finished had been
// cancelled (time-out, Stop, an engine or the processor failing).
bool LastRunCancelled();
void CancelSimulation(TDocument* document = nullptr);
bool AnyVelmarProcessRunning();
void StartProcess(const TModel& model, TVelmarProcess& slot);
void StartExternalProcessor();
void StopExternalProcess();
void LogProgramInfo();

// Answers the "StartTimeStep" calls held at the barrier whose barrier has
// opened, whose time-out has passed, or whose run was cancelled. Runs after
// every call, in every wait pass and in IsSimulationDone.
void ServeParkedCalls();
// The number of calls held at the barrier.
size_t ParkedCallCount();

// Notices engines (and the processor) that have ended; part of every wait
// pass and of IsSimulationDone.
void CheckChildProcesses();
// One pass of a wait: runs one waiting message, else sleeps up to
// WAIT_PASS_MS for the next; then looks at the child processes and the
// held calls.
void WaitPass();

// The JSON-RPC server the engines talk to.
TJsonRpcServer& JsonRpcServer();
bool HasJsonRpcServer();
// Module start-up: the server on the pipe VELMAR_PIPE_NAME, listening at
// once with no handler installed.
void InitializeSimulator();
// Installs a server made elsewhere (tests drive one without a pipe).
void SetJsonRpcServer(std::unique_ptr<TJsonRpcServer> server);
// Module shut-down: destroys the server and empties the table. Engines and
// the processor are left running.
void FinalizeSimulator();
