// Arbitrary requests to the run's handler in direct mode, as engines could
// send them: every reply must be well-formed JSON and no call may be left
// waiting. The input holds one request per line, sent by three engines in
// turn (line i from pipe i % 3 + 1).
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Shared/JSON.h"
#include "Shared/JSON_RPC.h"
#include "coordination/Simulation.h"
#include "diagnostics/Logging.h"
#include "documents/SettingsUnit.h"
#include "platform/Clock.h"
#include "platform/Messages.h"

namespace {

class TCheckedReplies : public IRpcReplyWriter {
 public:
  bool Write(uint32_t, const void* bytes, uint32_t count) override {
    const std::string_view text(static_cast<const char*>(bytes), count);
    const IJsonValue reply = JsonParse(text);
    // The version, an id, and never both a result and an error; an empty
    // result (an unknown method) is written as no result member at all.
    const IJsonValue error = JsonMember(reply, "error");
    if (!reply || !reply->IsObject() || JsonMemberAsText(reply, "jsonrpc") != "2.0" || !JsonMember(reply, "id") ||
        (error && (JsonMember(reply, "result") || !JsonMember(error, "code") || !JsonMember(error, "message")))) {
      std::fprintf(stderr, "malformed reply: %.*s\n", static_cast<int>(text.size()), text.data());
      abort();
    }
    ++Count;
    return true;
  }
  size_t Count = 0;
};

struct TFixture {
  TFixture() {
    Dir = std::filesystem::temp_directory_path() / ("velmar-fuzz-rpc-" + std::to_string(getpid()));
    std::filesystem::create_directories(Dir);
    TSettings::SetSettingsPathname((Dir / "settings.ini").string());
    TSettings::SetUseExternalProcessor(false);
    TSettings::SetVelmarTimeStepTimeout(0);
    TSettings::SetDebugMessages(true);
    auto server = std::make_unique<TJsonRpcServer>(Writer);
    Server = server.get();
    Sim.SetJsonRpcServer(std::move(server));
    Server->SetOnRPC([this](uint32_t pipe, const std::string& method, const IJsonValue& params) { return Sim.OnRPC(pipe, method, params); });
    Logger().SetLogHandler([](const TLogEvent&, bool& handled) { handled = true; });
  }

  TSimulation Sim;
  std::filesystem::path Dir;
  TCheckedReplies Writer;
  TJsonRpcServer* Server = nullptr;
  Platform::TManualClock Clock;
  Platform::TClockGuard Guard{Clock};
};

// Never destroyed: the server and the clock stay installed until exit, but
// the settings folder goes.
TFixture& Fixture() {
  static TFixture* fixture = [] {
    auto* f = new TFixture();
    std::atexit([] { std::filesystem::remove_all(Fixture().Dir); });
    return f;
  }();
  return *fixture;
}

void ThreeSimulatingSlots() {
  TSimulation& Sim = Fixture().Sim;
  Sim.Processes.assign(3, EmptyProcess);
  for (uint32_t i = 0; i < 3; ++i) {
    Sim.Processes[i].ClientID = i;
    Sim.Processes[i].Initialized = true;
    Sim.Processes[i].Simulating = true;
    Sim.Processes[i].TimeStep = i == 0 ? 4 : 5;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFixture& f = Fixture();
  TSimulation& Sim = f.Sim;
  ThreeSimulatingSlots();
  Sim.Cancel = false;
  Sim.InProcess = true;
  f.Writer.Count = 0;

  const std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t requests = 0;
  for (size_t start = 0; start <= input.size();) {
    size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string request(input.substr(start, end - start));
    f.Server->ProcessRPC(static_cast<uint32_t>(requests % 3 + 1), request);
    ++requests;
    Sim.ServeParkedCalls();
    start = end + 1;
  }
  // Held calls are answered once their time-out passes; the manual clock
  // moves on every idle wait, so this takes a few passes, not seconds.
  for (int pass = 0; Sim.ParkedCallCount() > 0 && pass < 1000; ++pass) Sim.WaitPass();
  if (Sim.ParkedCallCount() != 0) abort();
  // Every request that asked for a reply got at most one; none was lost to
  // a crash of the writer path.
  if (f.Writer.Count > requests) abort();
  while (Platform::ProcessMessages()) {
  }
  Sim.InProcess = false;
  Sim.Cancel = false;
  return 0;
}
