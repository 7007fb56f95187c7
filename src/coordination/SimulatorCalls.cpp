// The engines' calls, the client table and the time-step barrier.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>

#include "coordination/RpcVelmarModifier.h"
#include "coordination/Simulation.h"
#include "diagnostics/Logging.h"
#include "documents/SettingsUnit.h"
#include "platform/Messages.h"

const TVelmarProcess EmptyProcess{};

namespace {

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string ParamsText(const IJsonValue& params) { return params ? JsonSerialize(params) : std::string("null"); }

}  // namespace

// The logger's filter is asked first: with debug lines off that is the one
// settings read a line costs.
bool InternalDebugWanted() { return Logger().DebugWanted() && !TSettings::GetUseExternalProcessor(); }

void InternalDebugMessage(const std::string& msg) {
  if (InternalDebugWanted()) Logger().Debug(msg);
}

void TSimulation::WaitPass() {
  // One message at a time: a waiting call re-checks its condition after
  // every call handled inside it, so it returns as soon as it was freed,
  // before later calls pile up on the stack above it.
  if (!Platform::ProcessOneMessage()) {
    // Nothing queued: the toolkit's own events (timers, Stop), then a sleep
    // until the next message.
    if (!Platform::ProcessMessages()) Platform::WaitMessage(WAIT_PASS_MS);
  }
  CheckChildProcesses();
  ServeParkedCalls();
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

bool TVelmarProcess::StartSimulation(TSimulation& simulation, uint32_t id) {
  // The slot is looked up again after every pass: a nested call may not
  // move it, but the table must never be touched through a stale reference.
  const uint64_t start = Platform::GetTickCount64();
  while (!simulation.Processes[id].Initialized && WholeSecondsSince(start) <= START_SIMULATION_WAIT_SECONDS)
    simulation.WaitPass();
  TVelmarProcess& self = simulation.Processes[id];
  if (self.Initialized) {
    self.Simulating = true;
    return true;
  }
  Logger().Log("StartSimulation: gave up waiting for processes to initialize; cancelling simulation");
  simulation.Cancel = true;
  self.Simulating = false;
  return false;
}

IJsonValue TVelmarProcess::StartTimeStep(bool cancelled) {
  Logger().Log("Velmar #%d starting time step #%d", ClientID, TimeStep);
  TRpcVelmarModifierResult r;
  r.modifier.Clear();
  r.result = !cancelled;
  return r.AsJsonValue();
}

bool TVelmarProcess::StopSimulation() {
  Logger().Log("Velmar #%d stopped simulating", ClientID);
  Simulating = false;
  SimulationStopped = true;
  return true;
}

bool TVelmarProcess::StopTimeStep(bool cancelled) {
  Logger().Log("Velmar #%d stopped time step #%d", ClientID, TimeStep);
  ++TimeStep;
  return !cancelled;
}

namespace {

// Whether the engine counts at the barrier: one that does not simulate (any
// more) holds nobody back.
bool HoldsBarrier(const TVelmarProcess& p) { return p.Simulating && !p.Exited; }

// A step may start once every engine counting at the barrier has completed
// the step before it.
bool StepMayStart(uint32_t timestep, uint32_t lowestStep) { return timestep == 0 || lowestStep >= timestep; }

}  // namespace

// The lowest step among the engines that count at the barrier.
uint32_t TSimulation::LowestBarrierStep() const {
  uint32_t lowest = UINT32_MAX;
  for (const TVelmarProcess& p : Processes)
    if (HoldsBarrier(p)) lowest = std::min(lowest, p.TimeStep);
  return lowest;
}

bool TSimulation::CanStartTimestep(uint32_t clientID, uint32_t timestep, std::string& whyNot) const {
  (void)clientID;
  if (StepMayStart(timestep, LowestBarrierStep())) return true;
  for (size_t i = 0; i < Processes.size(); ++i) {
    const TVelmarProcess& p = Processes[i];
    if (HoldsBarrier(p) && p.TimeStep < timestep) {
      whyNot = TextUtils::SafeFormat("ClientID %d has not completed timestep %d", i, timestep - 1);
      return false;
    }
  }
  return true;
}

namespace {


}  // namespace

// The slot's own start of the step, with the lines around it.
IJsonValue TSimulation::StartSlotTimeStep(uint32_t id) {
  FInsight.Released(id, Platform::MonotonicUs());
  InternalDebugMessage("Calling internal StartTimeStep for ClientID %d", id);
  IJsonValue result = Processes[id].StartTimeStep(Cancel);
  InternalDebugMessage("Back from internal StartTimeStep for ClientID %d", id);
  return result;
}

// Answers a held call: timedOut when the barrier did not open in time or
// the run was cancelled meanwhile.
void TSimulation::Release(const TParkedCall& call, bool timedOut) {
  const uint32_t id = call.ClientID;
  if (timedOut) {
    Cancel = true;
    Logger().Error("Timed out waiting for clients < ClientID %d to complete timestep %d", id, Processes[id].TimeStep);
    // Which engine the run waited for, as the barrier itself found it.
    std::string whyNot;
    if (!CanStartTimestep(id, Processes[id].TimeStep, whyNot) && !whyNot.empty())
      Logger().Error(whyNot);
  }
  const IJsonValue result = StartSlotTimeStep(id);
  if (!call.Reply.Raw) {
    JsonRpcServer().CompleteDeferredReply(call.Reply, TVariant(result));
    return;
  }
  try {
    JsonRpcServer().CompleteDeferredReply(call.Reply, FProcessor.Exchange(call.Request, call.Rpc));
  } catch (const std::exception& e) {
    // As for a call answered at once: the failure is logged and the engine
    // gets no reply.
    Logger().Exception("Could not process message from client %d", {call.Reply.ClientPipe}, e, false);
  }
}

bool TSimulation::IsHeldAtBarrier(uint32_t clientID) const {
  return std::any_of(FParked.begin(), FParked.end(), [clientID](const TParkedCall& p) { return p.ClientID == clientID; });
}

void TSimulation::ServeParkedCalls() {
  if (FServing) return;
  FServing = true;
  struct TDone {
    bool& Serving;
    ~TDone() { Serving = false; }
  } done{FServing};
  if (FParked.empty()) return;
  // The lowest step at the barrier is found once a pass (releasing a call
  // moves no engine's step), not once per held call.
  const uint32_t lowestStep = LowestBarrierStep();
  // The time-out is read once a pass, and only when a held call is still
  // barred: this runs after every call with up to one held call per engine.
  std::optional<uint32_t> timeout;
  // The latest arrival first, as the innermost of nested waits would be.
  for (size_t i = FParked.size(); i-- > 0;) {
    if (i >= FParked.size()) continue;
    const TParkedCall& p = FParked[i];
    bool timedOut = Cancel;
    if (!timedOut) {
      if (!StepMayStart(Processes[p.ClientID].TimeStep, lowestStep)) {
        if (!timeout) timeout = TSettings::GetVelmarTimeStepTimeout();
        if (WholeSecondsSince(p.StartTicks) <= *timeout) continue;
        timedOut = true;
      }
    }
    const TParkedCall call = p;
    FParked.erase(FParked.begin() + static_cast<std::ptrdiff_t>(i));
    Release(call, timedOut);
    FRows.NoteProgress();
  }
}

namespace {

bool HasMember(const IJsonValue& params, std::string_view name) { return JsonMember(params, name) != nullptr; }

}  // namespace

TVariant TSimulation::OnRPC(uint32_t pipe, const std::string& method, const IJsonValue& params) {
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
    TVelmarProcess::StartSimulation(*this, id);
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
    FInsight.StartTimeStepArrived(id, Processes[id].TimeStep, Platform::MonotonicUs());
    std::string whyNot;
    if (!CanStartTimestep(id, Processes[id].TimeStep, whyNot)) {
      // Held: answered by ServeParkedCalls once the barrier opens, the
      // time-out passes or the run is cancelled.
      Logger().Debug("ClientID %d is waiting because %s", id, whyNot);
      FParked.push_back({id, Platform::GetTickCount64(), JsonRpcServer().DeferReply(), {}, {}});
      return TVariant();
    }
    return TVariant(StartSlotTimeStep(id));
  }
  if (SameText(method, "StopTimeStep")) {
    if (!HasMember(params, "VelmarStateVarsPop")) {
      Logger().Error("StopTimeStep call is missing required parameter \"%s\"", "VelmarStateVarsPop");
      return TVariant(false);
    }
    Logger().Debug("Stopping TimeStep %d for ClientID %d", Processes[id].TimeStep, id);
    FInsight.StopTimeStepArrived(id, Platform::MonotonicUs());
    InternalDebugMessage("Calling internal StopTimeStep for ClientID %d", id);
    Processes[id].StopTimeStep(Cancel);
    InternalDebugMessage("Back from internal StopTimeStep for ClientID %d", id);
    return TVariant(true);
  }
  return TVariant();
}

std::string TSimulation::OnRPCRaw(uint32_t pipe, std::string_view rpc) {
  Assert(TSettings::GetUseExternalProcessor());
  // The bookkeeping needs the call's members and its params' members, not
  // the state vectors inside them: a long call is forwarded as text without
  // being built into a tree. A call whose ClientID is missing or not plain
  // is read whole, since its error line shows the params.
  IJsonValue request = JsonParseOutline(rpc, 2);
  const auto plainClientID = [&request] {
    const IJsonValue id = JsonMember(JsonMember(request, "params"), "ClientID");
    return id && !id->IsObject() && !id->IsArray();
  };
  if (request && !plainClientID()) request = JsonParse(rpc);
  const std::string method =
      request && JsonMember(request, "method") ? JsonMemberAsText(request, "method") : std::string("unknown");
  IJsonValue params = JsonMember(request, "params");
  TProcessorRequest call;
  call.Method = method;
  if (const IJsonValue clientID = JsonMember(params, "ClientID"))
    call.ClientID = static_cast<uint32_t>(JsonAsInteger(clientID));
  call.Id = JsonMember(request, "id");
  call.HasId = call.Id != nullptr;
  OnRPC(pipe, method, params);
  if (HasJsonRpcServer() && JsonRpcServer().ReplyDeferred()) {
    // Held at the barrier: forwarded once released, after the calls that
    // released it.
    Assert(!FParked.empty());
    FParked.back().Request = std::move(call);
    FParked.back().Rpc = std::string(rpc);
    return std::string();
  }
  return FProcessor.Exchange(call, rpc);
}
