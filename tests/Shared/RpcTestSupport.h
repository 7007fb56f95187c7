#pragma once
// Test doubles for the JSON-RPC server: a reply writer that keeps every
// reply, and a log handler that keeps every line, under a fixed clock.
#include <string>
#include <utility>
#include <vector>

#include "Shared/JSON_RPC.h"
#include "diagnostics/Logging.h"
#include "platform/Clock.h"
#include "platform/Locale.h"

struct TCapturedReply {
  uint32_t Pipe;
  std::string Text;
};

class TCaptureWriter : public IRpcReplyWriter {
 public:
  bool Write(uint32_t clientPipe, const void* bytes, uint32_t count) override {
    Replies.push_back({clientPipe, std::string(static_cast<const char*>(bytes), count)});
    return Accept;
  }
  std::vector<TCapturedReply> Replies;
  bool Accept = true;
};

struct TCapturedLine {
  TEventType Kind;
  std::string Raw;
  std::string Line;
};

class TLogCapture {
 public:
  TLogCapture() : FClockGuard(FClock) {
    Platform::TRegionalSettings settings;
    settings.TimeSeparator = ':';
    Platform::SetRegionalSettings(settings);
    Logger().SetLogHandler([this](const TLogEvent& e, bool& handled) {
      Lines.push_back({e.EventType, e.RawMessage, e.Message});
      handled = true;
    });
  }
  ~TLogCapture() { Logger().SetLogHandler(nullptr); }

  std::vector<TCapturedLine> Lines;

 private:
  Platform::TManualClock FClock;
  Platform::TClockGuard FClockGuard;
};
