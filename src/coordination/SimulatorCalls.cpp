// The engines' calls, the client table and the time-step barrier.
#include <algorithm>
#include <cstdint>
#include <optional>

#include "coordination/RpcVelmarModifier.h"
#include "coordination/Simulation.h"
#include "diagnostics/Logging.h"
#include "documents/SettingsUnit.h"
#include "platform/Messages.h"
#include "platform/ScopeExit.h"

const TVelmarProcess EmptyProcess{};

namespace {

using TextUtils::SameText;

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

void TVelmarProcess::NoteTimeStepStarting() const { Logger().Log("Velmar #%d starting time step #%d", ClientID, TimeStep); }

IJsonValue TVelmarProcess::StartTimeStep(bool cancelled) {
  NoteTimeStepStarting();
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

// A step may start once every engine counting at the barrier has completed
// the step before it.
bool StepMayStart(uint32_t timestep, uint32_t lowestStep) { return timestep == 0 || lowestStep >= timestep; }

}  // namespace

// Every engine of the run holds the others from its first step until it
// ends: one still being launched, or initialised and not simulating yet,
// counts as having completed no step (the slots not launched yet still hold
// the previous run's rows). One that stopped simulating, finalised or
// exited holds nobody.
bool TSimulation::HoldsBarrier(size_t i, uint32_t& step) const {
  if (FLaunching && i >= FLaunchNext) {
    step = 0;
    return true;
  }
  const TVelmarProcess& p = Processes[i];
  if (p.Exited || p.Finalized || p.SimulationStopped) return false;
  step = p.TimeStep;
  return true;
}

// The lowest step among the engines that count at the barrier.
uint32_t TSimulation::LowestBarrierStep() const {
  uint32_t lowest = UINT32_MAX;
  for (size_t i = 0; i < Processes.size(); ++i)
    if (uint32_t step = 0; HoldsBarrier(i, step)) lowest = std::min(lowest, step);
  return lowest;
}

bool TSimulation::CanStartTimestep(uint32_t clientID, uint32_t timestep, std::string& whyNot) const {
  (void)clientID;
  if (StepMayStart(timestep, LowestBarrierStep())) return true;
  for (size_t i = 0; i < Processes.size(); ++i) {
    if (uint32_t step = 0; HoldsBarrier(i, step) && step < timestep) {
      whyNot = TextUtils::SafeFormat("ClientID %d has not completed timestep %d", i, timestep - 1);
      return false;
    }
  }
  return true;
}

uint64_t TSimulation::HeldSecondsSince(uint64_t ticks) const { return WholeSecondsSince(std::max(ticks, FLaunchEndTicks)); }

// The slot's own start of the step, with the lines around it.
IJsonValue TSimulation::StartSlotTimeStep(uint32_t id, bool reply) {
  FInsight.Released(id, Platform::MonotonicUs());
  InternalDebugMessage("Calling internal StartTimeStep for ClientID %d", id);
  IJsonValue result;
  if (reply)
    result = Processes[id].StartTimeStep(Cancel);
  else
    Processes[id].NoteTimeStepStarting();
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
  // A processor run's call is answered by the processor, in its turn.
  const IJsonValue result = StartSlotTimeStep(id, !call.Ordered);
  if (!call.Ordered) {
    JsonRpcServer().CompleteDeferredReply(call.Reply, TVariant(result));
    return;
  }
  // Processor mode: the call now waits only for its turn.
  for (TOrderedCall& o : FOrdered)
    if (o.Held && o.Key == call.Key) o.Held = false;
}

bool TSimulation::IsHeldAtBarrier(uint32_t clientID) const {
  return std::any_of(FParked.begin(), FParked.end(), [clientID](const TParkedCall& p) { return p.ClientID == clientID; });
}

void TSimulation::ServeParkedCalls() {
  if (FServing) return;
  FServing = true;
  const Platform::TScopeExit done([this] { FServing = false; });
  if (FParked.empty()) {
    ForwardOrderedCalls();
    return;
  }
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
        // While the engines start, the start's own time-outs apply.
        if (FLaunching) continue;
        if (!timeout) timeout = TSettings::GetVelmarTimeStepTimeout();
        if (HeldSecondsSince(p.StartTicks) <= *timeout) continue;
        timedOut = true;
      }
    }
    const TParkedCall call = p;
    FParked.erase(FParked.begin() + static_cast<std::ptrdiff_t>(i));
    Release(call, timedOut);
    FRows.NoteProgress();
  }
  ForwardOrderedCalls();
}

namespace {

bool HasMember(const IJsonValue& params, std::string_view name) { return JsonMember(params, name) != nullptr; }

// A processor run's call, read once. The bookkeeping needs the call's
// members and its params' members, not the state vectors inside them: a
// long call is forwarded as text without being built into a tree (a step's
// end has its state taken from the text), as the pipe server builds a
// direct run's calls (whole when the id is a container, which the
// processor's answer must match). A call whose ClientID is missing or not
// plain is read whole too, since its error line shows the params.
IJsonValue ParseEngineCall(std::string_view rpc) {
  IJsonValue request = RpcParseOutline(rpc);
  if (!request) return request;
  const IJsonValue id = JsonMember(JsonMember(request, "params"), "ClientID");
  const bool plainClientID = id && !id->IsObject() && !id->IsArray();
  if (!plainClientID) return JsonParse(rpc);
  return request;
}

}  // namespace

TVariant TSimulation::OnRPC(uint32_t pipe, const std::string& method, const IJsonValue& params) {
  (void)pipe;
  // Through the pipe server the params are an outline of the call's text.
  const std::string_view rpc = HasJsonRpcServer() ? JsonRpcServer().CallText() : std::string_view();
  return HandleCall(method, params, TReplyBy::Manager, {}, rpc).Result;
}

TSimulation::TCallOutcome TSimulation::HandleCall(const std::string& method, const IJsonValue& params,
                                                  TReplyBy replyBy, const TCallKey& key, std::string_view rpc) {
  if (Cancel) return {TVariant(false)};
  if (!params || !params->IsObject() || !HasMember(params, "ClientID")) {
    // The params as they came, not their outline.
    Logger().Error("RPC \"%s\" is missing ClientID; cancelling process (%s)", method,
                   ParamsText(rpc.empty() ? params : JsonMember(JsonParse(rpc), "params")));
    return {TVariant(false)};
  }
  const uint32_t id = static_cast<uint32_t>(JsonMemberAsInteger(params, "ClientID"));
  if (id >= Processes.size()) {
    Logger().Error("RPC \"%s\" from unknown ClientID %d", method, id);
    return {TVariant(false)};
  }

  if (SameText(method, "Echo")) {
    if (!HasMember(params, "Value")) {
      Logger().Error("Echo call is missing required parameter \"%s\"", "Value");
      return {TVariant(int32_t{0})};
    }
    const int32_t value = static_cast<int32_t>(JsonMemberAsInteger(params, "Value"));
    InternalDebugMessage("Processing Echo(%d) for ClientID %d", value, id);
    return {TVariant(value)};
  }
  if (SameText(method, "Initialize")) {
    InternalDebugMessage("Calling internal Initialize for ClientID %d", id);
    const bool result = Processes[id].Initialize();
    InternalDebugMessage("Back from internal Initialize for ClientID %d", id);
    return {TVariant(result)};
  }
  if (SameText(method, "Finalize")) {
    InternalDebugMessage("Calling internal Finalize for ClientID %d", id);
    Processes[id].Finalize();
    NoteEngineEnded(id);
    InternalDebugMessage("Back from internal Finalize for ClientID %d", id);
    return {TVariant(true)};
  }
  if (SameText(method, "StartSimulation")) {
    if (!HasMember(params, "VelmarStateVarsGlobal")) {
      Logger().Error("StartSimulation call is missing required parameter \"%s\"", "VelmarStateVarsGlobal");
      return {TVariant(false)};
    }
    if (HasJsonRpcServer()) FStates.Global(id, JsonRpcServer().CallText());
    InternalDebugMessage("Calling internal StartSimulation for ClientID %d", id);
    TVelmarProcess::StartSimulation(*this, id);
    InternalDebugMessage("Back from internal StartSimulation for ClientID %d", id);
    return {TVariant(true)};
  }
  if (SameText(method, "StopSimulation")) {
    InternalDebugMessage("Calling internal StopSimulation for ClientID %d", id);
    Processes[id].StopSimulation();
    FFingerprint.EngineEnded(id);
    InternalDebugMessage("Back from internal StopSimulation for ClientID %d", id);
    return {TVariant(true)};
  }
  if (SameText(method, "StartTimeStep")) {
    Logger().Debug("Starting TimeStep %d for ClientID %d", Processes[id].TimeStep, id);
    FInsight.StartTimeStepArrived(id, Processes[id].TimeStep, Platform::MonotonicUs());
    std::string whyNot;
    if (!CanStartTimestep(id, Processes[id].TimeStep, whyNot)) {
      // Held: answered by ServeParkedCalls once the barrier opens, the
      // time-out passes or the run is cancelled.
      Logger().Debug("ClientID %d is waiting because %s", id, whyNot);
      TCallOutcome held;
      held.Held = true;
      held.Reply = JsonRpcServer().DeferReply();
      FParked.push_back({id, Platform::GetTickCount64(), held.Reply, replyBy == TReplyBy::Processor, key});
      return held;
    }
    IJsonValue reply = StartSlotTimeStep(id, replyBy == TReplyBy::Manager);
    return reply ? TCallOutcome{TVariant(std::move(reply))} : TCallOutcome{};
  }
  if (SameText(method, "StopTimeStep")) {
    if (!HasMember(params, "VelmarStateVarsPop")) {
      Logger().Error("StopTimeStep call is missing required parameter \"%s\"", "VelmarStateVarsPop");
      return {TVariant(false)};
    }
    Logger().Debug("Stopping TimeStep %d for ClientID %d", Processes[id].TimeStep, id);
    FInsight.StopTimeStepArrived(id, Platform::MonotonicUs());
    // The state as this program writes it: blanks and number spellings the
    // engine varies do not change the fingerprint. From the call's text
    // where params is an outline, written as it is read.
    constexpr std::string_view STATE_PATH[] = {"params", "VelmarStateVarsPop"};
    FFingerprint.Report(id, Processes[id].TimeStep,
                        rpc.empty() ? JsonSerialize(JsonMember(params, "VelmarStateVarsPop"))
                                    : JsonCanonicalText(rpc, STATE_PATH).value_or("null"));
    if (HasJsonRpcServer()) {
      if (const auto total = FStates.State(id, Processes[id].TimeStep, JsonRpcServer().CallText()))
        FInsight.AbundanceReported(id, *total, Platform::MonotonicUs());
    }
    InternalDebugMessage("Calling internal StopTimeStep for ClientID %d", id);
    Processes[id].StopTimeStep(Cancel);
    InternalDebugMessage("Back from internal StopTimeStep for ClientID %d", id);
    return {TVariant(true)};
  }
  return {};
}

void TSimulation::NoteEngineEnded(uint32_t id) {
  FOrder.Ended(id);
  FFingerprint.EngineEnded(id);
}

std::string TSimulation::OnRPCRaw(uint32_t pipe, std::string_view rpc) {
  Assert(TSettings::GetUseExternalProcessor());
  const IJsonValue request = ParseEngineCall(rpc);
  const std::string method =
      request && JsonMember(request, "method") ? JsonMemberAsText(request, "method") : std::string("unknown");
  IJsonValue params = JsonMember(request, "params");
  TProcessorRequest call;
  call.Method = method;
  if (const IJsonValue clientID = JsonMember(params, "ClientID"))
    call.ClientID = static_cast<uint32_t>(JsonAsInteger(clientID));
  call.Id = JsonMember(request, "id");
  call.HasId = call.Id != nullptr;
  // An engine's call takes its place in the run's order before its own
  // bookkeeping moves the engine on. Calls of a cancelled run, and of
  // clients that are no engine of it, go in the order they came.
  // (A table filled without a run start, as tests do, gets its order here.)
  if (FOrder.EngineCount() != Processes.size()) FOrder.Reset(Processes.size());
  const bool ordered = !Cancel && call.ClientID >= 0 && static_cast<size_t>(call.ClientID) < Processes.size() &&
                       params && params->IsObject();
  TCallKey key;
  if (ordered) {
    const uint32_t id = static_cast<uint32_t>(call.ClientID);
    key = FOrder.Arrive(id, method, Processes[id].TimeStep);
  }
  (void)pipe;
  // The processor's answer is the reply: what the bookkeeping returns is not.
  const TCallOutcome outcome = HandleCall(method, params, TReplyBy::Processor, key, rpc);
  if (!ordered) {
    Assert(!outcome.Held);
    return FProcessor.Exchange(call, rpc);
  }
  if (!outcome.Held && (Cancel || FOrder.MayForward(key))) {
    FOrder.Forwarded(key.ClientID);
    return Exchange(call, rpc, key.Step);
  }
  // Its turn has not come, or the barrier holds it (under its key): forwarded
  // once both allow, after the calls that come before it.
  TOrderedCall waiting;
  waiting.Key = key;
  waiting.Reply = outcome.Held ? outcome.Reply : JsonRpcServer().DeferReply();
  waiting.Request = std::move(call);
  waiting.Rpc = std::string(rpc);
  waiting.ArrivedTicks = Platform::GetTickCount64();
  waiting.Held = outcome.Held;
  QueueOrderedCall(std::move(waiting));
  return std::string();
}

std::string TSimulation::Exchange(const TProcessorRequest& request, std::string_view rpc, uint32_t step) {
  std::string answer = FProcessor.Exchange(request, rpc);
  if (!answer.empty() && request.ClientID >= 0 && SameText(request.Method, "StartTimeStep"))
    FStates.Modifier(static_cast<uint32_t>(request.ClientID), step, answer);
  return answer;
}

void TSimulation::QueueOrderedCall(TOrderedCall call) {
  const auto at = std::upper_bound(FOrdered.begin(), FOrdered.end(), call.Key,
                                   [](const TCallKey& k, const TOrderedCall& o) { return k < o.Key; });
  FOrdered.insert(at, std::move(call));
}

bool TSimulation::OrderedTurnTimedOut(const TOrderedCall& call, uint32_t holder, std::optional<uint32_t>& timeout) {
  // While the engines start, the start's own time-outs apply.
  if (FLaunching) return false;
  if (!timeout) timeout = TSettings::GetVelmarTimeStepTimeout();
  if (HeldSecondsSince(call.ArrivedTicks) <= *timeout) return false;
  Cancel = true;
  Logger().Error("Timed out waiting for ClientID %d before passing %s of ClientID %d to the external processor",
                 holder, call.Request.Method, call.Key.ClientID);
  return true;
}

void TSimulation::ForwardOrderedCalls() {
  if (FForwarding || FOrdered.empty()) return;
  FForwarding = true;
  const Platform::TScopeExit done([this] { FForwarding = false; });
  std::optional<uint32_t> timeout;
  while (!FOrdered.empty()) {
    const TOrderedCall& head = FOrdered.front();
    if (head.Held) break;
    // A cancelled run passes on what is left at once.
    if (!Cancel) {
      uint32_t holder = 0;
      if (!FOrder.MayForward(head.Key, &holder) && !OrderedTurnTimedOut(head, holder, timeout)) break;
    }
    const TOrderedCall call = std::move(FOrdered.front());
    FOrdered.erase(FOrdered.begin());
    FOrder.Forwarded(call.Key.ClientID);
    try {
      JsonRpcServer().CompleteDeferredReply(call.Reply, Exchange(call.Request, call.Rpc, call.Key.Step));
    } catch (const std::exception& e) {
      // As for a call answered at once: the failure is logged and the engine
      // gets no reply.
      Logger().Exception("Could not process message from client %d", {call.Reply.ClientPipe}, e, false);
    }
    FRows.NoteProgress();
  }
}
