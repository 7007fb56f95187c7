#pragma once
// The simulation module as one object. It owns the client table, the run's
// flags, the calls held at the time-step barrier, the bridge to the external
// processor and the run's progress rows, and it is the ISimulator the run
// control drives. The program owns one; tests make their own.
//
// Everything here runs on the main thread. The waits keep that thread's
// messages flowing, so other engines' calls, timers and the Stop command are
// handled nested inside a waiting call: a waiting call looks its slot up by
// index after every pass, never through a reference held across one.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Shared/JSON_RPC.h"
#include "coordination/CallOrder.h"
#include "coordination/ISimulator.h"
#include "coordination/ProcessorBridge.h"
#include "coordination/RunInsight.h"
#include "coordination/RunFingerprint.h"
#include "coordination/RunEngine.h"
#include "coordination/RunProgress.h"
#include "coordination/RunSettings.h"
#include "coordination/StateRecord.h"
#include "coordination/Simulator.h"

class TDocument;
class TModel;

class TSimulation : public ISimulator {
 public:
  TSimulation();
  ~TSimulation() override;
  TSimulation(const TSimulation&) = delete;
  TSimulation& operator=(const TSimulation&) = delete;

  // The JSON-RPC server on the pipe VELMAR_PIPE_NAME, listening at once with
  // no handler installed. Raises when the pipe name is taken (another
  // manager is running).
  void Startup();
  // The server goes (its pipe server waits for its threads), the table is
  // emptied and every process handle is released. Engines and the processor
  // still running are left alone.
  void Shutdown();
  // Installs a server made elsewhere (tests drive one without a pipe).
  void SetJsonRpcServer(std::unique_ptr<TJsonRpcServer> server);
  TJsonRpcServer& JsonRpcServer();
  bool HasJsonRpcServer() const { return FServer != nullptr; }

  // ---- The client table and the run's flags ------------------------------

  // Indexed by client id; sized when a run starts.
  std::vector<TVelmarProcess> Processes;
  // The run is being cancelled: every engine call is answered false.
  bool Cancel = false;
  // A run is in progress.
  bool InProcess = false;

  // ---- The engines' calls ----------------------------------------------------

  // The handler of a parsed engine call (direct mode, and the bookkeeping
  // half of the processor mode).
  TVariant OnRPC(uint32_t pipe, const std::string& method, const IJsonValue& params);
  // Processor mode: bookkeeping through OnRPC, then the request goes to the
  // processor as one line and its answer line is the reply.
  std::string OnRPCRaw(uint32_t pipe, std::string_view rpc);
  // Whether a client may start timestep: every engine of the run that has
  // not ended (those still being launched, or initialised and not yet
  // simulating, included) has completed the step before it. whyNot names
  // the first that has not.
  bool CanStartTimestep(uint32_t clientID, uint32_t timestep, std::string& whyNot) const;

  // Answers the "StartTimeStep" calls held at the barrier whose barrier has
  // opened, whose time-out has passed, or whose run was cancelled. Runs after
  // every call, in every wait pass and in IsSimulationDone.
  void ServeParkedCalls();
  size_t ParkedCallCount() const { return FParked.size(); }
  // Processor runs: the calls that have arrived and wait for their turn at
  // the processor.
  size_t OrderedCallCount() const { return FOrdered.size(); }
  bool IsHeldAtBarrier(uint32_t clientID) const;

  // ---- Run control -----------------------------------------------------------

  void StartSimulation(TDocument& document) override;
  bool IsSimulationDone(bool& cancelled) override;
  uint64_t ProgressGeneration() override { return FRows.Generation(); }
  TRunProgress Progress() override;
  size_t ComputingPerStep(uint32_t engine, size_t from, std::vector<float>& out) override;
  void SetTraceFile(const std::string& path) override { FInsight.SetTraceFile(path); }

  // True once no run is in progress.
  bool IsSimulationDone();
  // Whether the run that IsSimulationDone last found finished had been
  // cancelled (time-out, Stop, an engine or the processor failing).
  bool LastRunCancelled() const { return FLastRunCancelled; }
  void CancelSimulation() override { Cancel = true; }
  // The fingerprint of the engines' reported states in the run that
  // IsSimulationDone last found finished; empty when it reached no step.
  std::string RunFingerprint() override { return FLastFingerprint; }
  // What the engines reported and the processor handed them, as the run
  // goes (the states file, the chart's numbers).
  const TStateRecord& States() const { return FStates; }
  std::string StatesFile() override { return FStates.Path(); }
  uint64_t StateGeneration() override { return FStates.Generation(); }
  std::vector<std::string> StateRoots() override { return FStates.Roots(); }
  size_t StateSeries(uint32_t engine, const std::string& root, size_t from,
                     std::vector<std::vector<float>>& out) override {
    return FStates.Series(engine, root, from, out);
  }
  std::vector<uint32_t> AbundanceSetAt(uint32_t engine, size_t from) override {
    return FStates.AbundanceSetAt(engine, from);
  }
  void EndEngines() override {
    Cancel = true;
    FEndEnginesNow = true;
  }
  bool AnyVelmarProcessRunning() const;

  // Notices engines (and the processor) that have ended; part of every wait
  // pass and of IsSimulationDone.
  void CheckChildProcesses();
  // One pass of a wait: runs one waiting message, else sleeps up to
  // WAIT_PASS_MS for the next; then looks at the child processes and the
  // held calls.
  void WaitPass();

  // The external processor of the run: started with the run (its standard
  // error going to the run's processor output file), stopped when its last
  // engine has gone.
  void StartExternalProcessor(const TRunSettings& settings);
  void StopExternalProcess();
  TProcessorBridge& Processor() { return FProcessor; }
  bool ExternalProcessorRunning() const { return FProcessor.Running(); }

  // The run's rows as the run control keeps them.
  TRunRows& Rows() { return FRows; }
  // Where the run's time goes: its timings, its trace and its closing lines.
  TRunInsight& Insight() { return FInsight; }

 private:
  // A "StartTimeStep" held at the barrier. Its reply waits with it, and the
  // call stays off the stack: a held call never sits beneath other calls, so
  // an engine a step ahead cannot end up waiting inside the call of the very
  // engine it waits for.
  struct TParkedCall {
    uint32_t ClientID = 0;
    uint64_t StartTicks = 0;
    TRpcDeferredReply Reply;
    // Processor mode: the call waits among the ordered calls under this
    // key, and goes to the processor in its turn once released.
    bool Ordered = false;
    TCallKey Key;
  };
  // A processor run's call waiting for its turn at the processor.
  struct TOrderedCall {
    TCallKey Key;
    TRpcDeferredReply Reply;
    TProcessorRequest Request;
    std::string Rpc;
    uint64_t ArrivedTicks = 0;
    bool Held = false;  // still held at the barrier
  };

  // Who answers an engine's call: the manager, with the handler's result,
  // or in a processor run the processor, whose answer is the whole reply
  // (the manager's own is then not built).
  enum class TReplyBy { Manager, Processor };
  // What handling one engine call did.
  struct TCallOutcome {
    TCallOutcome() = default;
    TCallOutcome(TVariant result) : Result(std::move(result)) {}
    // The manager's reply; empty when the processor answers or the call is held.
    TVariant Result;
    // A "StartTimeStep" held at the barrier, with the reply that waits with it.
    bool Held = false;
    TRpcDeferredReply Reply;
  };
  // The bookkeeping and waiting of one engine call, for OnRPC and OnRPCRaw.
  // key: a processor run's place of the call in the run's order, under
  // which a held call waits among the ordered calls. rpc: the call's text,
  // given where params holds only the outline of its deeper levels.
  TCallOutcome HandleCall(const std::string& method, const IJsonValue& params, TReplyBy replyBy,
                          const TCallKey& key = {}, std::string_view rpc = {});
  // The slot's start of its step; reply: the manager's reply is built
  // (none otherwise).
  IJsonValue StartSlotTimeStep(uint32_t id, bool reply);
  void Release(const TParkedCall& call, bool timedOut);
  // Whether slot i holds others at the barrier, and at which step.
  bool HoldsBarrier(size_t i, uint32_t& step) const;
  uint32_t LowestBarrierStep() const;
  // Processor mode: passes the ordered calls on whose turn has come; a call
  // whose turn does not come within the time-step time-out cancels the run.
  void ForwardOrderedCalls();
  bool OrderedTurnTimedOut(const TOrderedCall& call, uint32_t holder, std::optional<uint32_t>& timeout);
  void QueueOrderedCall(TOrderedCall call);
  // One exchange with the processor; a "StartTimeStep" answer's modifiers
  // are recorded for the engine's step.
  std::string Exchange(const TProcessorRequest& request, std::string_view rpc, uint32_t step);
  // The engine sends no more calls that count, nor states.
  void NoteEngineEnded(uint32_t id);
  // Whole seconds a held call has waited, counted from the end of the
  // start at the earliest: the start keeps its own time-outs.
  uint64_t HeldSecondsSince(uint64_t ticks) const;

  void StartProcess(const TModel& model, uint32_t id);
  void KillSlot(size_t j);
  void AskSlotToEnd(size_t j);
  void KillHungEngines();

  std::unique_ptr<TJsonRpcServer> FServer;
  // The run's engines, one per model, made afresh as the run starts: each
  // holds its parts of the modules below (declared first, as they refer to
  // it from their construction on).
  std::vector<TRunEngine> FEngines;
  std::vector<TParkedCall> FParked;
  bool FServing = false;  // ServeParkedCalls is running (it is not re-entered)
  // Processor mode: the calls waiting for their turn, in key order.
  TCallOrder FOrder{FEngines};
  std::vector<TOrderedCall> FOrdered;
  bool FForwarding = false;
  // The engines are being launched; FLaunchNext is the first slot not
  // launched yet. FLaunchEndTicks: when the last start ended.
  bool FLaunching = false;
  size_t FLaunchNext = 0;
  uint64_t FLaunchEndTicks = 0;
  TRunFingerprint FFingerprint{FEngines};
  std::string FLastFingerprint;
  TStateRecord FStates{FEngines};
  TRunInsight FInsight;   // before the bridge, which times its exchanges with it
  TProcessorBridge FProcessor;
  // The run's rows, kept in its engines.
  TRunRows FRows;
  // What the run read of the settings as it started.
  TRunSettings FRunSettings;
  uint64_t FStartTicks = 0;
  bool FLastRunCancelled = false;
  // When IsSimulationDone first found the run cancelled (0: not yet, or no
  // run); KILL_DONE once the engines left over have been killed.
  uint64_t FCancelTicks = 0;
  // When the engines still running after the cancel's time-out were sent
  // SIGTERM (0: not yet); SIGKILL follows ENGINE_END_GRACE_MS later.
  uint64_t FTermTicks = 0;
  bool FEndEnginesNow = false;  // EndEngines: no time-out to wait out
  // The process exits CheckChildProcesses last looked at.
  uint64_t FExitsChecked = ~uint64_t{0};
};
