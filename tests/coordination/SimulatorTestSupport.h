#pragma once
// A run's handler driven through the JSON-RPC server on the main thread's
// message queue, with replies and log lines captured and the settings in a
// file of the test's own.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "Shared/JSON_RPC.h"
#include "coordination/Simulation.h"
#include "diagnostics/Logging.h"
#include "documents/SettingsUnit.h"
#include "platform/Clock.h"
#include "platform/Messages.h"

class TCapturedReplies : public IRpcReplyWriter {
 public:
  bool Write(uint32_t clientPipe, const void* bytes, uint32_t count) override {
    Replies.emplace_back(clientPipe, std::string(static_cast<const char*>(bytes), count));
    return true;
  }
  std::vector<std::pair<uint32_t, std::string>> Replies;
};

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = std::filesystem::temp_directory_path() /
          ("velmar-sim-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(Dir);
    std::filesystem::create_directories(Dir);
    TSettings::SetSettingsPathname((Dir / "settings.ini").string());
    TSettings::SetUseExternalProcessor(false);
    auto server = std::make_unique<TJsonRpcServer>(Writer);
    Server = server.get();
    Sim.SetJsonRpcServer(std::move(server));
    Server->SetOnRPC([this](uint32_t pipe, const std::string& method, const IJsonValue& params) { return Sim.OnRPC(pipe, method, params); });
    Logger().SetLogHandler([this](const TLogEvent& e, bool& handled) {
      Lines.push_back(std::string(EVENT_TYPES[e.EventType]) + ": " + e.RawMessage);
      handled = true;
    });
    Window = Platform::CreateWindow([this](Platform::HWND, uint32_t, Platform::WPARAM w, Platform::LPARAM l) {
      auto* text = reinterpret_cast<std::string*>(l);
      Server->ProcessRPC(static_cast<uint32_t>(w), *text);
      delete text;
      return Platform::LRESULT{1};
    });
  }
  void TearDown() override {
    Platform::DestroyWindow(Window);
    while (Platform::ProcessMessages()) {
    }
    Logger().SetLogHandler(nullptr);
    Sim.Shutdown();
    TSettings::SetSettingsPathname("");
    std::filesystem::remove_all(Dir);
  }

  // A table of n slots that have initialised and started simulating.
  void Simulating(size_t n) {
    Sim.Processes.assign(n, EmptyProcess);
    for (size_t i = 0; i < n; ++i) {
      Sim.Processes[i].ClientID = static_cast<uint32_t>(i);
      Sim.Processes[i].Initialized = true;
      Sim.Processes[i].Simulating = true;
    }
  }
  static std::string Call(int id, const std::string& method, const std::string& params) {
    return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" + method + "\",\"params\":" +
           params + "}";
  }
  static std::string Client(int client, const std::string& extra = "") {
    return "{\"ClientID\":" + std::to_string(client) + extra + "}";
  }
  // Handles the call and returns its reply; a call held at the barrier is
  // answered while the main thread goes on handling messages, as it would
  // in a run.
  std::string Handle(const std::string& request, uint32_t pipe = 1) {
    auto repliesTo = [&] {
      return std::count_if(Writer.Replies.begin(), Writer.Replies.end(), [&](const auto& r) { return r.first == pipe; });
    };
    const auto before = repliesTo();
    Server->ProcessRPC(pipe, request);
    for (int pass = 0; repliesTo() == before && Sim.ParkedCallCount() > 0 && pass < 100000; ++pass) Sim.WaitPass();
    if (repliesTo() == before) return "<no reply>";
    for (auto r = Writer.Replies.rbegin(); r != Writer.Replies.rend(); ++r)
      if (r->first == pipe) return r->second;
    return "<no reply>";
  }
  // Queues the call to be handled by whichever wait runs messages next.
  void Queue(const std::string& request, uint32_t pipe = 1) {
    Platform::PostMessage(Window, 0x8001, pipe, reinterpret_cast<Platform::LPARAM>(new std::string(request)));
  }
  bool Logged(const std::string& line) const {
    return std::find(Lines.begin(), Lines.end(), line) != Lines.end();
  }

  TSimulation Sim;
  std::filesystem::path Dir;
  TCapturedReplies Writer;
  TJsonRpcServer* Server = nullptr;
  Platform::HWND Window = 0;
  std::vector<std::string> Lines;
};
