// The engines' calls, the client table and the time-step barrier.
#include <algorithm>
#include <cctype>

#include "coordination/RpcVelmarModifier.h"
#include "coordination/Simulator.h"
#include "diagnostics/Logging.h"
#include "documents/SettingsUnit.h"
#include "platform/Messages.h"

std::vector<TVelmarProcess> Processes;
const TVelmarProcess EmptyProcess{};
bool Cancel = false;

namespace {

uint64_t WholeSecondsSince(uint64_t startTicks) { return (Platform::GetTickCount64() - startTicks) / 1000; }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string ParamsText(const IJsonValue& params) { return params ? JsonSerialize(params) : std::string("null"); }

}  // namespace

void InternalDebugMessage(const std::string& msg) {
  if (!TSettings::GetUseExternalProcessor()) Logger().Debug(msg);
}

void WaitPass() {
  // One message at a time: a waiting call re-checks its condition after
  // every call handled inside it, so it returns as soon as it was freed.
  // Handling further calls first could nest a newer wait (an engine that
  // has moved a step on) above it, which would then wait for the very
  // client this call holds back, until the time-out.
  if (!Platform::ProcessOneMessage()) {
    // Nothing queued: the toolkit's own events (timers, Stop), then a sleep
    // until the next message.
    if (!Platform::ProcessMessages()) Platform::WaitMessage(WAIT_PASS_MS);
  }
  CheckChildProcesses();
}

void TVelmarProcess::Clear() { *this = EmptyProcess; }

bool TVelmarProcess::Initialize() {
  Logger().Log("Velmar #%d initializing", ClientID);
  Initialized = true;
  return true;
}

void TVelmarProcess::Finalize() {
  Logger().Log("Velmar #%d finalized", ClientID);
  Finalized = true;
}

bool TVelmarProcess::IsRunning() const { return Initialized && !Finalized && !Exited; }

bool TVelmarProcess::StartSimulation() {
  // The slot is looked up again after every pass: a nested call may not
  // move it, but the table must never be touched through a stale reference.
  const uint32_t id = ClientID;
  const uint64_t start = Platform::GetTickCount64();
  while (!Processes[id].Initialized && WholeSecondsSince(start) <= START_SIMULATION_WAIT_SECONDS) WaitPass();
  TVelmarProcess& self = Processes[id];
  if (self.Initialized) {
    self.Simulating = true;
    return true;
  }
  Logger().Log("StartSimulation: gave up waiting for processes to initialize; cancelling simulation");
  Cancel = true;
  self.Simulating = false;
  return false;
}

IJsonValue TVelmarProcess::StartTimeStep() {
  Logger().Log("Velmar #%d starting time step #%d", ClientID, TimeStep);
  TRpcVelmarModifierResult r;
  r.modifier.Clear();
  r.result = !Cancel;
  return r.AsJsonValue();
}

bool TVelmarProcess::StopSimulation() {
  Logger().Log("Velmar #%d stopped simulating", ClientID);
  Simulating = false;
  return true;
}

bool TVelmarProcess::StopTimeStep() {
  Logger().Log("Velmar #%d stopped time step #%d", ClientID, TimeStep);
  ++TimeStep;
  return !Cancel;
}

bool TRpcHandler::CanStartTimestep(uint32_t clientID, uint32_t timestep, std::string& whyNot) {
  (void)clientID;
  if (timestep == 0) return true;
  for (size_t i = 0; i < Processes.size(); ++i) {
    const TVelmarProcess& p = Processes[i];
    if (p.Simulating && !p.Exited && p.TimeStep < timestep) {
      whyNot = TextUtils::SafeFormat("ClientID %d has not completed timestep %d", i, timestep - 1);
      return false;
    }
  }
  return true;
}

namespace {

// The barrier: holds the caller until every simulating slot has completed
// the step before its own, the run is cancelled, or the time-out passes.
void WaitAtBarrier(uint32_t id) {
  bool waiting = true;
  bool messaged = false;
  const uint64_t startTime = Platform::GetTickCount64();
  std::string whyNot;
  while (!Cancel && waiting && WholeSecondsSince(startTime) <= TSettings::GetVelmarTimeStepTimeout()) {
    waiting = !TRpcHandler::CanStartTimestep(id, Processes[id].TimeStep, whyNot);
    if (waiting) {
      if (!messaged) {
        Logger().Debug("ClientID %d is waiting because %s", id, whyNot);
        messaged = true;
      }
      WaitPass();
    }
  }
  if (waiting) {
    Cancel = true;
    Logger().Error("Timed out waiting for clients < ClientID %d to complete timestep %d", id, Processes[id].TimeStep);
  }
}

bool HasMember(const IJsonValue& params, std::string_view name) { return JsonMember(params, name) != nullptr; }

}  // namespace

TVariant TRpcHandler::OnRPC(uint32_t pipe, const std::string& method, const IJsonValue& params) {
  (void)pipe;
  if (Cancel) return TVariant(false);
  if (!params || !params->IsObject() || !HasMember(params, "ClientID")) {
    Logger().Error("RPC \"%s\" is missing ClientID; cancelling process (%s)", method, ParamsText(params));
    return TVariant(false);
  }
  const uint32_t id = static_cast<uint32_t>(JsonMemberAsInteger(params, "ClientID"));
  if (id >= Processes.size()) {
    Logger().Error("RPC \"%s\" from unknown ClientID %d", method, id);
    return TVariant(false);
  }

  if (SameText(method, "Echo")) {
    if (!HasMember(params, "Value")) {
      Logger().Error("Echo call is missing required parameter \"%s\"", "Value");
      return TVariant(int32_t{0});
    }
    const int32_t value = static_cast<int32_t>(JsonMemberAsInteger(params, "Value"));
    InternalDebugMessage("Processing Echo(%d) for ClientID %d", value, id);
    return TVariant(value);
  }
  if (SameText(method, "Initialize")) {
    InternalDebugMessage("Calling internal Initialize for ClientID %d", id);
    const bool result = Processes[id].Initialize();
    InternalDebugMessage("Back from internal Initialize for ClientID %d", id);
    return TVariant(result);
  }
  if (SameText(method, "Finalize")) {
    InternalDebugMessage("Calling internal Finalize for ClientID %d", id);
    Processes[id].Finalize();
    InternalDebugMessage("Back from internal Finalize for ClientID %d", id);
    return TVariant(true);
  }
  if (SameText(method, "StartSimulation")) {
    if (!HasMember(params, "VelmarStateVarsGlobal")) {
      Logger().Error("StartSimulation call is missing required parameter \"%s\"", "VelmarStateVarsGlobal");
      return TVariant(false);
    }
    InternalDebugMessage("Calling internal StartSimulation for ClientID %d", id);
    Processes[id].StartSimulation();
    InternalDebugMessage("Back from internal StartSimulation for ClientID %d", id);
    return TVariant(true);
  }
  if (SameText(method, "StopSimulation")) {
    InternalDebugMessage("Calling internal StopSimulation for ClientID %d", id);
    Processes[id].StopSimulation();
    InternalDebugMessage("Back from internal StopSimulation for ClientID %d", id);
    return TVariant(true);
  }
  if (SameText(method, "StartTimeStep")) {
    Logger().Debug("Starting TimeStep %d for ClientID %d", Processes[id].TimeStep, id);
    WaitAtBarrier(id);
    InternalDebugMessage("Calling internal StartTimeStep for ClientID %d", id);
    IJsonValue result = Processes[id].StartTimeStep();
    InternalDebugMessage("Back from internal StartTimeStep for ClientID %d", id);
    return TVariant(result);
  }
  if (SameText(method, "StopTimeStep")) {
    if (!HasMember(params, "VelmarStateVarsPop")) {
      Logger().Error("StopTimeStep call is missing required parameter \"%s\"", "VelmarStateVarsPop");
      return TVariant(false);
    }
    Logger().Debug("Stopping TimeStep %d for ClientID %d", Processes[id].TimeStep, id);
    InternalDebugMessage("Calling internal StopTimeStep for ClientID %d", id);
    Processes[id].StopTimeStep();
    InternalDebugMessage("Back from internal StopTimeStep for ClientID %d", id);
    return TVariant(true);
  }
  return TVariant();
}
