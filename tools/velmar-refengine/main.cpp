// velmar-refengine [options] /RUN=YES /RPC=PIPE /RPCID=N "MODEL" /RpcResponseTimeout=S
//
// A stand-in for the Velmar engine: runs the population model of MODEL
// (format in docs/refengine.md), reporting every stage to the manager over
// the pipe PIPE as client N, and writes the yearly results beside MODEL.
// Without /RPC it runs the model alone. Exit status: 0 done; 1 the manager
// answered false (run cancelled); 2 bad command line or model; 3 the
// model's exit_at_step was reached; 4 no reply in time; 5 the manager went.
#include <unistd.h>

#include <csignal>
#include <random>
#include <iostream>
#include <thread>

#include "RefEngine.h"
#include "client/VelmarClient.h"

using nlohmann::json;
using namespace RefEngine;

namespace {

void Pause(uint32_t ms) {
  if (ms) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A step's pause: delay_ms, and up to jitter_ms more drawn from the
// operating system, so that two runs of one model never keep the same pace.
void StepPause(const TModel& model) {
  uint32_t ms = model.DelayMs;
  if (model.JitterMs) {
    static std::random_device system;
    ms += static_cast<uint32_t>(system() % (model.JitterMs + 1));
  }
  Pause(ms);
}

// A reply that lets the engine go on: result true, or for StartTimeStep an
// object whose "result" is true.
bool GoesOn(const json& reply) {
  if (!reply.is_object() || !reply.contains("result")) return false;
  const json& r = reply["result"];
  if (r.is_boolean()) return r.get<bool>();
  return r.is_object() && r.contains("result") && r["result"].is_boolean() && r["result"].get<bool>();
}

int RunAlone(const TModel& model, TSimulation& sim, TResultsWriter& out) {
  for (uint32_t step = 1; step <= model.Years; ++step) {
    if (step == model.ExitAtStep) std::_Exit(3);
    StepPause(model);
    const uint64_t start = MonotonicNs();
    sim.Step();
    out.Row(sim, start, MonotonicNs());
  }
  return 0;
}

int RunWithManager(const TOptions& options, const TModel& model, TSimulation& sim, TResultsWriter& out) {
  const uint32_t timeoutMs = options.ResponseTimeout ? options.ResponseTimeout * 1000u : TVelmarClient::INFINITE_TIMEOUT;
  TVelmarClient client;
  client.Connect(options.PipeName, timeoutMs);
  if (model.NeverInitialize) {
    // For start-up time-out tests: stay connected and silent until the
    // manager kills us or goes away (at most ten minutes).
    try {
      client.Receive(600000);
    } catch (const EVelmarClientError&) {
    }
    return 0;
  }

  const json id = {{"ClientID", options.ClientId}};
  auto call = [&](const char* method, json params) -> json {
    try {
      return client.Call(method, params, timeoutMs);
    } catch (const EVelmarClientTimeout&) {
      throw;
    } catch (const EVelmarClientDisconnected&) {
      throw;
    } catch (const EVelmarClientError&) {
      return json();  // not JSON (a cancelled run may answer with nothing): a "no"
    }
  };
  auto with = [&](const char* name, json value) {
    json params = id;
    params[name] = std::move(value);
    return params;
  };

  if (!GoesOn(call("Initialize", id))) return 1;
  bool cancelled = !GoesOn(call("StartSimulation", with("VelmarStateVarsGlobal", sim.StateVarsGlobal(options.ModelPath))));
  for (uint32_t step = 1; step <= model.Years && !cancelled; ++step) {
    if (step == model.ExitAtStep) std::_Exit(3);
    const json reply = call("StartTimeStep", id);
    const uint64_t start = MonotonicNs();
    if (!GoesOn(reply)) {
      cancelled = true;
      break;
    }
    if (reply["result"].is_object() && reply["result"].contains("modifier"))
      sim.ApplyModifier(reply["result"]["modifier"]);
    StepPause(model);
    sim.Step();
    const uint64_t stop = MonotonicNs();
    cancelled = !GoesOn(call("StopTimeStep", with("VelmarStateVarsPop", sim.StateVarsPop())));
    out.Row(sim, start, stop);
    for (uint32_t e = 0; e < model.Echoes && !cancelled; ++e) {
      const json reply = call("Echo", with("Value", step * 1000 + e));
      cancelled = !reply.is_object() || !reply.contains("result") || reply["result"] == false;
    }
  }
  // Said even when cancelled, so the manager sees this engine finish.
  call("StopSimulation", id);
  call("Finalize", id);
  return cancelled ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  TOptions options;
  TModel model;
  try {
    options = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    model = LoadModel(options.ModelPath);
  } catch (const EModelError& e) {
    std::cerr << "velmar-refengine: " << e.what() << "\n";
    return 2;
  }
  try {
    TSimulation sim(model);
    TResultsWriter out(ResultsPath(options.ModelPath), model);
    out.Row(sim, 0, 0);
    if (options.PipeName.empty()) return RunAlone(model, sim, out);
    return RunWithManager(options, model, sim, out);
  } catch (const EModelError& e) {
    std::cerr << "velmar-refengine: " << e.what() << "\n";
    return 2;
  } catch (const EVelmarClientTimeout& e) {
    std::cerr << "velmar-refengine #" << options.ClientId << ": " << e.Message() << "\n";
    return 4;
  } catch (const EVelmarClientError& e) {
    std::cerr << "velmar-refengine #" << options.ClientId << ": " << e.Message() << "\n";
    return 5;
  }
}
