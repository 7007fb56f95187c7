// The bridge to the external processor: requests go to it as one line each,
// its answer lines come back as the engines' replies.
#include "coordination/ProcessorBridge.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "Shared/Componen/PipeFraming.h"
#include "coordination/ISimulator.h"
#include "coordination/RunInsight.h"
#include "coordination/RunSettings.h"
#include "coordination/Simulator.h"
#include "coordination/WinUtils.h"
#include "diagnostics/Logging.h"
#include "documents/SettingsUnit.h"
#include "platform/Events.h"
#include "platform/Files.h"

namespace {

// Longest piece of a wrong answer quoted in the log.
constexpr size_t QUOTED_ANSWER_BYTES = 200;

// Largest read from the processor at once.
constexpr size_t PROCESSOR_READ_CHUNK = 64 * 1024;

// How long a failed processor has to end after SIGTERM before it is killed.
constexpr uint32_t PROCESSOR_END_GRACE_MS = 2000;

std::string ErrorText(int code) { return Platform::SysErrorMessage(code); }

}  // namespace

// Marks the processor failed, which cancels the run; the first reason is kept.
void TProcessorBridge::MarkFailed(const std::string& reason) {
  if (!FFailed) FFailureReason = reason;
  FFailed = true;
  FCancel = true;
}

// Takes the first line (up to and including its LF) out of FPending. The
// bytes before from hold no LF (already searched), so a long reply arriving
// in many pieces is searched once, not once per piece.
bool TProcessorBridge::TakeLine(std::string& result, size_t from) {
  const size_t lf = FPending.find('\n', from);
  if (lf == std::string::npos) return false;
  result.assign(FPending, 0, lf + 1);
  FPending.erase(0, lf + 1);
  return true;
}

// Reads the processor's next reply line. Ends early when the processor
// closes its output or does not answer in time; both cancel the run.
std::string TProcessorBridge::ReadReply() {
  std::string result;
  if (TakeLine(result)) return result;
  const uint32_t limitSeconds = EngineReplyTimeoutSeconds();
  const uint64_t start = Platform::GetTickCount64();
  char buffer[PROCESSOR_READ_CHUNK];
  // The flush may have seen the answer come: then it is read at once,
  // without asking first how much there is.
  bool answered = std::exchange(FAnswerReady, false);
  while (!FCancel) {
    uint32_t waiting = 0;
    int error = 0;
    if (answered)
      waiting = sizeof buffer;
    else
      error = Platform::PeekPipe(FReadPipe, waiting);
    answered = false;
    if (error == EPIPE) {
      // What came before the end is no whole reply: nothing is passed on.
      Logger().Error("External processor closed its output; cancelling simulation");
      MarkFailed("External processor closed its output");
      FPending.clear();
      return result;
    }
    if (error != 0) {
      Logger().Error("Could not peek external processor pipe: %s (error code %d)", ErrorText(error), error);
    } else if (waiting > 0) {
      size_t got = 0;
      error = Platform::ReadPipe(FReadPipe, buffer, std::min<size_t>(waiting, sizeof buffer), got);
      if (error != 0 && error != EPIPE) {
        Logger().Error("Could not read from external processor pipe: %s (error code %d)", ErrorText(error), error);
      }
      const size_t searched = FPending.size();
      FPending.append(buffer, got);
      if (TakeLine(result, searched)) return result;
      // The answer becomes one message to the engine, which is bounded; a
      // processor that never ends its line must not fill our memory.
      if (FPending.size() > static_cast<size_t>(GetMaxMessageSize())) {
        Logger().Error("External processor's answer is longer than %d bytes; cancelling simulation",
                       GetMaxMessageSize());
        MarkFailed(TextUtils::SafeFormat("External processor's answer is longer than %d bytes", GetMaxMessageSize()));
        FPending.clear();
        FPending.shrink_to_fit();
        return std::string();
      }
      if (got > 0) continue;
    }
    if (WholeSecondsSince(start) > limitSeconds) {
      Logger().Error("External processor did not answer within %d seconds; cancelling simulation", limitSeconds);
      MarkFailed(TextUtils::SafeFormat("External processor did not answer within %d seconds", limitSeconds));
      FPending.clear();
      return std::string();
    }
    // Nothing new: sleep until bytes arrive, at most the poll pause. A
    // simulated clock moves the pause on at once, but the processor is a
    // real process: it still gets a short real wait, or a busy machine
    // would see it time out after a millisecond of real time.
    const bool simulated = Platform::Clock().IdleWait(PROCESSOR_POLL_MS);
    const int fd = FReadPipe;
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
int TProcessorBridge::WriteRequestLine(std::string_view rpc, uint32_t timeoutMs) {
  constexpr size_t BLOCK = 1 << 20;
  // One time-out for the whole line: each write gets what is left of it.
  const uint64_t deadline = Platform::GetTickCount64() + timeoutMs;
  const auto left = [deadline] {
    const uint64_t now = Platform::GetTickCount64();
    return static_cast<uint32_t>(now < deadline ? deadline - now : 0);
  };
  // The usual request holds no line end: it goes with its CR LF in one
  // write.
  if (rpc.empty() ||
      (std::memchr(rpc.data(), '\r', rpc.size()) == nullptr && std::memchr(rpc.data(), '\n', rpc.size()) == nullptr))
    return Platform::WritePipeLine(FWritePipe, rpc, TextUtils::CRLF, left());
  std::string blanked;
  size_t written = 0;
  for (size_t at = 0; at < rpc.size(); at += BLOCK) {
    const char* block = rpc.data() + at;
    const size_t size = std::min(BLOCK, rpc.size() - at);
    int error = 0;
    if (std::memchr(block, '\r', size) != nullptr || std::memchr(block, '\n', size) != nullptr) {
      blanked.assign(block, size);
      std::replace_if(blanked.begin(), blanked.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
      error = Platform::WritePipe(FWritePipe, blanked.data(), size, written, left());
    } else {
      error = Platform::WritePipe(FWritePipe, block, size, written, left());
    }
    if (error != 0) return error;
  }
  return Platform::WritePipe(FWritePipe, TextUtils::CRLF, 2, written, left());
}

// Writes the request line and waits until the processor has read it in;
// `flushing` tells which of the two failed.
int TProcessorBridge::SendRequestLine(std::string_view rpc, bool& flushing) {
  // A processor that stops reading is given as long to take in the line as
  // to drain the pipe after it.
  const uint32_t timeoutMs = EngineReplyTimeoutSeconds() * 1000u;
  flushing = false;
  const int error = WriteRequestLine(rpc, timeoutMs);
  if (error != 0) return error;
  flushing = true;
  Logger().Debug("Flushing external processor write pipe");
  return Platform::FlushPipe(FWritePipe, timeoutMs, FReadPipe, &FAnswerReady);
}

namespace {

// Why answer is not the processor's reply to request; empty when it is: a
// JSON object whose "id" is the request's, as the manager itself would echo
// it (a digit string equal to its number). The answer is checked whole, but
// only its "id" is built.
std::string WhyNotTheReply(std::string_view answer, const TProcessorRequest& request) {
  IJsonValue id;
  switch (JsonScanMember(answer, "id", id)) {
    case TJsonShape::Invalid: return "not JSON";
    case TJsonShape::NotObject: return "not a JSON object";
    case TJsonShape::Object: break;
  }
  if (!request.HasId) return std::string();
  if (!id) return "it has no \"id\"";
  const std::string expected = JsonSerialize(RpcReplyId(request.Id));
  const std::string got = JsonSerialize(RpcReplyId(id));
  if (got == expected) return std::string();
  return TextUtils::SafeFormat("its \"id\" is %s, not %s", got, expected);
}

}  // namespace

std::string TProcessorBridge::Exchange(const TProcessorRequest& call, std::string_view rpc) {
  std::string result;
  const std::string& method = call.Method;
  if (FFailed || !FRunning) {
    // A processor that failed once is out of step for good (or gone, or
    // hung): another line would only wait out another time-out.
    Logger().Debug("Not calling external %s: the external processor has failed or stopped", method);
    return result;
  }
  const auto timed = FInsight.TimeProcessor(call.ClientID, call.Method);
  Logger().Debug("Calling external %s", method);
  Logger().Debug("Writing [%s] to external processor pipe", rpc);
  const bool cancelledBefore = FCancel;
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
    MarkFailed(message);
    if (cancelledBefore) {
      Logger().Error("%s", message);
      return result;
    }
    throw Exception(message);
  }
  Logger().Debug("Reading from external processor pipe");
  if (!FCancel) result = ReadReply();
  // The answer goes to the engine as it came, but only when it is the reply
  // to this request: anything else (a stray line, a second line for one
  // request) would shift every later answer onto the wrong call.
  if (!FCancel && !result.empty()) {
    if (const std::string why = WhyNotTheReply(result, call); !why.empty()) {
      const std::string client = call.ClientID >= 0 ? std::to_string(call.ClientID) : std::string("unknown");
      Logger().Error("External processor's answer to %s for ClientID %s is not its reply (%s): %s; cancelling "
                     "simulation",
                     method, client, why, TextUtils::Trim(std::string_view(result).substr(0, QUOTED_ANSWER_BYTES)));
      MarkFailed(TextUtils::SafeFormat("External processor's answer to %s is not its reply (%s)", method, why));
      result.clear();
    }
  }
  // A long reply is copied for its debug line only when the line is wanted.
  if (Logger().DebugWanted()) Logger().Debug("Read [%s] from external processor pipe", TextUtils::Trim(result));
  Logger().Debug("Back from external %s", method);
  return result;
}

TProcessorBridge::~TProcessorBridge() { Release(); }

void TProcessorBridge::Release() {
  Platform::CloseHandleClear(FReadPipe);
  Platform::CloseHandleClear(FWritePipe);
  Platform::CloseProcessHandle(FProcInfo.hProcess);
  Platform::CloseProcessHandle(FProcInfo.hThread);
  FPending.clear();
  FRunning = false;
}

namespace {

std::string WellFormedEnvironment(const std::string& environment) {
  // An entry without a name would reach the processor as something no
  // getenv finds (or, "=x", as one that some programs take for a drive's
  // folder on other systems): it is named and left out.
  std::string kept, malformed;
  for (const std::string& entry : WinUtils::MakeEnvironmentStringsBlock(environment)) {
    const size_t eq = entry.find('=');
    if (eq == std::string::npos || eq == 0) {
      malformed += (malformed.empty() ? "\"" : ", \"") + entry + "\"";
      continue;
    }
    kept += entry + "\r\n";
  }
  if (!malformed.empty())
    Logger().Warn("The external processor's environment entries %s are not of the form name=value; they are left out",
                  malformed);
  return kept;
}

}  // namespace

void TProcessorBridge::Start(const TRunSettings& settings, int errorOutput) {
  Assert(!FRunning);
  const std::string& filename = settings.ExternalProcessorFilename;
  const std::string& parameters = settings.ExternalProcessorParameters;
  Logger().Debug("Starting \"%s\" with parameters \"%s\"", filename, parameters);
  FPending.clear();
  FFailed = false;
  FFailureReason.clear();
  const WinUtils::TExecResult exec =
      WinUtils::ExecNoWait(filename, parameters, FProcInfo, FReadPipe, FWritePipe,
                           WellFormedEnvironment(settings.ExternalProcessorEnvironment), errorOutput);
  // Our own pipe ends that cannot be kept from the child are this
  // program's fault: the system's reason alone, no start failure.
  if (exec.Failure == WinUtils::TExecFailure::PipeEnds) throw WinUtils::EOSError(ErrorText(exec.Error));
  FRunning = static_cast<bool>(exec);
  if (!FRunning) {
    const std::string cause = LogExecFailure(filename, exec.Error);
    // The pipe ends are ours even when the start failed.
    Platform::CloseHandleClear(FReadPipe);
    Platform::CloseHandleClear(FWritePipe);
    throw ERunStartError(TextUtils::SafeFormat("Could not start external processor \"%s\"", filename), cause);
  }
  Logger().Log("External processor started");
}

void TProcessorBridge::Stop() {
  Assert(FRunning);
  // A processor that failed gets nothing more, not even the close command:
  // it is ended, so that a hung one does not outlive the run.
  const std::string command = TSettings::GetExternalProcessorCloseCommand();
  if (!command.empty() && !FFailed) {
    Logger().Debug("Writing [%s] to external processor pipe", command);
    const std::string line = command + TextUtils::CRLF;
    size_t written = 0;
    const int error = Platform::WritePipe(FWritePipe, line.data(), line.size(), written);
    if (error != 0)
      Logger().Error("Could not write to external processor pipe: %s (error code %d)", ErrorText(error), error);
  }
  Platform::CloseHandleClear(FReadPipe);
  Platform::CloseHandleClear(FWritePipe);
  if (FFailed && Platform::EndProcess(FProcInfo.hProcess, PROCESSOR_END_GRACE_MS))
    Logger().Log("External processor ended after its failure");
  Platform::CloseProcessHandle(FProcInfo.hProcess);
  Platform::CloseProcessHandle(FProcInfo.hThread);
  FPending.clear();
  FRunning = false;
}

void TProcessorBridge::Attach(int writePipe, int readPipe) {
  FWritePipe = writePipe;
  FReadPipe = readPipe;
  FPending.clear();
  FFailed = false;
  FFailureReason.clear();
  FRunning = true;
}

void TProcessorBridge::Detach() {
  FWritePipe = FReadPipe = -1;
  FPending.clear();
  FRunning = false;
}

void TProcessorBridge::CloseInput() { Platform::CloseHandleClear(FWritePipe); }
