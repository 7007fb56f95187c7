// The bridge to the external processor: every engine call is handled here
// first, then forwarded as one line; the processor's answer line is the
// engine's reply.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Shared/Componen/PipeFraming.h"
#include "coordination/RunInsight.h"
#include "coordination/Simulator.h"
#include "coordination/SimulatorInternal.h"
#include "diagnostics/Logging.h"
#include "documents/SettingsUnit.h"
#include "platform/Events.h"
#include "platform/Files.h"

int ExternalProcessorWritePipe = -1;
int ExternalProcessorReadPipe = -1;

namespace {

// Bytes the processor wrote after the end of the reply being read: they
// start its next reply. Emptied when the processor is started or stopped.
std::string gPending;

// The processor has failed in this run: nothing more is written to it.
bool gFailed = false;

// Marks the processor failed, which cancels the run.
void ProcessorFailed() {
  gFailed = true;
  Cancel = true;
}

// Longest piece of a wrong answer quoted in the log.
constexpr size_t QUOTED_ANSWER_BYTES = 200;

// Largest read from the processor at once.
constexpr size_t PROCESSOR_READ_CHUNK = 64 * 1024;

std::string ErrorText(int code) { return Platform::SysErrorMessage(code); }

// Takes the first line (up to and including its LF) out of gPending. The
// bytes before from hold no LF (already searched), so a long reply arriving
// in many pieces is searched once, not once per piece.
bool TakeLine(std::string& result, size_t from = 0) {
  const size_t lf = gPending.find('\n', from);
  if (lf == std::string::npos) return false;
  result.assign(gPending, 0, lf + 1);
  gPending.erase(0, lf + 1);
  return true;
}

// Reads the processor's next reply line. Ends early when the processor
// closes its output or does not answer in time; both cancel the run.
std::string ReadReply() {
  std::string result;
  if (TakeLine(result)) return result;
  const uint32_t limitSeconds = TSettings::GetVelmarTimeStepTimeout() + 2;
  const uint64_t start = Platform::GetTickCount64();
  char buffer[PROCESSOR_READ_CHUNK];
  while (!Cancel) {
    uint32_t waiting = 0;
    int error = Platform::PeekPipe(ExternalProcessorReadPipe, waiting);
    if (error == EPIPE) {
      // What came before the end is no whole reply: nothing is passed on.
      Logger().Error("External processor closed its output; cancelling simulation");
      ProcessorFailed();
      gPending.clear();
      return result;
    }
    if (error != 0) {
      Logger().Error("Could not peek external processor pipe: %s (error code %d)", ErrorText(error), error);
    } else if (waiting > 0) {
      size_t got = 0;
      error = Platform::ReadPipe(ExternalProcessorReadPipe, buffer, std::min<size_t>(waiting, sizeof buffer), got);
      if (error != 0 && error != EPIPE) {
        Logger().Error("Could not read from external processor pipe: %s (error code %d)", ErrorText(error), error);
      }
      const size_t searched = gPending.size();
      gPending.append(buffer, got);
      if (TakeLine(result, searched)) return result;
      // The answer becomes one message to the engine, which is bounded; a
      // processor that never ends its line must not fill our memory.
      if (gPending.size() > static_cast<size_t>(GetMaxMessageSize())) {
        Logger().Error("External processor's answer is longer than %d bytes; cancelling simulation",
                       GetMaxMessageSize());
        ProcessorFailed();
        gPending.clear();
        gPending.shrink_to_fit();
        return std::string();
      }
      if (got > 0) continue;
    }
    if ((Platform::GetTickCount64() - start) / 1000 > limitSeconds) {
      Logger().Error("External processor did not answer within %d seconds; cancelling simulation", limitSeconds);
      ProcessorFailed();
      gPending.clear();
      return std::string();
    }
    // Nothing new: sleep until bytes arrive, at most the poll pause. A
    // simulated clock moves the pause on at once, but the processor is a
    // real process: it still gets a short real wait, or a busy machine
    // would see it time out after a millisecond of real time.
    const bool simulated = Platform::Clock().IdleWait(PROCESSOR_POLL_MS);
    const int fd = ExternalProcessorReadPipe;
    Platform::WaitForAnyFd(std::span<const int>(&fd, 1), simulated ? SIMULATED_POLL_REAL_MS : PROCESSOR_POLL_MS);
  }
  return result;
}

// Writes a request to the processor as one line, ended by CR LF. A line
// end inside the text (legal between JSON tokens, never inside a string)
// would make it two lines and shift every later answer onto the wrong call:
// it goes as a blank. The text is copied into the pipe from where it lies;
// only a block that holds a line end is copied first, to blank it. Nothing
// is lent by reference: the text belongs to the caller, who may reuse it
// as soon as this returns.
int WriteRequestLine(std::string_view rpc, uint32_t timeoutMs) {
  constexpr size_t BLOCK = 1 << 20;
  // One time-out for the whole line: each write gets what is left of it.
  const uint64_t deadline = Platform::GetTickCount64() + timeoutMs;
  const auto left = [deadline] {
    const uint64_t now = Platform::GetTickCount64();
    return static_cast<uint32_t>(now < deadline ? deadline - now : 0);
  };
  std::string blanked;
  size_t written = 0;
  for (size_t at = 0; at < rpc.size(); at += BLOCK) {
    const char* block = rpc.data() + at;
    const size_t size = std::min(BLOCK, rpc.size() - at);
    int error = 0;
    if (std::memchr(block, '\r', size) != nullptr || std::memchr(block, '\n', size) != nullptr) {
      blanked.assign(block, size);
      std::replace_if(blanked.begin(), blanked.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
      error = Platform::WritePipe(ExternalProcessorWritePipe, blanked.data(), size, written, left());
    } else {
      error = Platform::WritePipe(ExternalProcessorWritePipe, block, size, written, left());
    }
    if (error != 0) return error;
  }
  return Platform::WritePipe(ExternalProcessorWritePipe, TextUtils::CRLF, 2, written, left());
}

// Writes the request line and waits until the processor has read it in;
// `flushing` tells which of the two failed.
int SendRequestLine(std::string_view rpc, bool& flushing) {
  // A processor that stops reading is given as long to take in the line as
  // to drain the pipe after it.
  const uint32_t timeoutMs = (TSettings::GetVelmarTimeStepTimeout() + 2) * 1000u;
  flushing = false;
  const int error = WriteRequestLine(rpc, timeoutMs);
  if (error != 0) return error;
  flushing = true;
  Logger().Debug("Flushing external processor write pipe");
  return Platform::FlushPipe(ExternalProcessorWritePipe, timeoutMs, ExternalProcessorReadPipe);
}

// Why answer is not the processor's reply to request; empty when it is. The
// answer's outline is enough: a JSON object whose "id" is the request's, as
// the manager itself would echo it (a digit string equal to its number).
std::string WhyNotTheReply(std::string_view answer, const TProcessorRequest& request) {
  std::string outline;
  if (!JsonScan(answer, 1, &outline)) return "not JSON";
  const IJsonValue reply = JsonParse(outline);
  if (!reply || !reply->IsObject()) return "not a JSON object";
  if (!request.HasId) return std::string();
  const IJsonValue id = JsonMember(reply, "id");
  if (!id) return "it has no \"id\"";
  const std::string expected = JsonSerialize(RpcReplyId(request.Id));
  const std::string got = JsonSerialize(RpcReplyId(id));
  if (got == expected) return std::string();
  return TextUtils::SafeFormat("its \"id\" is %s, not %s", got, expected);
}

}  // namespace

void ResetProcessorReader() { gPending.clear(); }

void ResetProcessorBridge() {
  gPending.clear();
  gFailed = false;
}

bool ExternalProcessorFailed() { return gFailed; }

std::string TRpcHandler::OnRPCRaw(uint32_t pipe, std::string_view rpc) {
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
    NoteParkedRequest(std::move(call), std::string(rpc));
    return std::string();
  }
  return ExchangeWithProcessor(call, rpc);
}

std::string ExchangeWithProcessor(const TProcessorRequest& call, std::string_view rpc) {
  std::string result;
  const std::string& method = call.Method;
  if (gFailed || !ExternalProcessorRunning) {
    // A processor that failed once is out of step for good (or gone, or
    // hung): another line would only wait out another time-out.
    Logger().Debug("Not calling external %s: the external processor has failed or stopped", method);
    return result;
  }
  const auto timed = RunInsight().TimeProcessor(call.ClientID, call.Method);
  Logger().Debug("Calling external %s", method);
  Logger().Debug("Writing [%s] to external processor pipe", rpc);
  const bool cancelledBefore = Cancel;
  bool flushing = false;
  const int error = SendRequestLine(rpc, flushing);
  if (error != 0) {
    const std::string message =
        flushing ? TextUtils::SafeFormat("Could not flush external processor write pipe: %s (error code %d)",
                                         ErrorText(error), error)
                 : TextUtils::SafeFormat("Could not write to external processor pipe: %s (error code %d)",
                                         ErrorText(error), error);
    // A processor that is gone while the run is already being cancelled
    // gets nothing more; the engine is told false with an empty reply.
    ProcessorFailed();
    if (cancelledBefore) {
      Logger().Error("%s", message);
      return result;
    }
    throw Exception(message);
  }
  Logger().Debug("Reading from external processor pipe");
  if (!Cancel) result = ReadReply();
  // The answer goes to the engine as it came, but only when it is the reply
  // to this request: anything else (a stray line, a second line for one
  // request) would shift every later answer onto the wrong call.
  if (!Cancel && !result.empty()) {
    if (const std::string why = WhyNotTheReply(result, call); !why.empty()) {
      const std::string client = call.ClientID >= 0 ? std::to_string(call.ClientID) : std::string("unknown");
      Logger().Error("External processor's answer to %s for ClientID %s is not its reply (%s): %s; cancelling "
                     "simulation",
                     method, client, why, TextUtils::Trim(std::string_view(result).substr(0, QUOTED_ANSWER_BYTES)));
      ProcessorFailed();
      result.clear();
    }
  }
  // A long reply is copied for its debug line only when the line is wanted.
  if (Logger().DebugWanted()) Logger().Debug("Read [%s] from external processor pipe", TextUtils::Trim(result));
  Logger().Debug("Back from external %s", method);
  return result;
}
