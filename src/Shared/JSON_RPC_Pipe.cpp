// The JSON-RPC server on the pipe: each whole message from a client is one
// call of ProcessRPC, each reply leaves through the pipe server's Write.
#include <exception>
#include <memory>

#include "Shared/Componen/Pipes.h"
#include "Shared/JSON_RPC.h"
#include "diagnostics/Logging.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/LargeBuffer.h"
#include "platform/LocalSocket.h"
#include "platform/Process.h"

namespace {

// Replies are queued for the client; one that has gone is dropped silently.
class TPipeReplyWriter : public IRpcReplyWriter {
 public:
  explicit TPipeReplyWriter(TPipeServer& server) : FServer(server) {}
  bool Write(uint32_t clientPipe, const void* bytes, uint32_t count) override {
    return FServer.Write(clientPipe, bytes, static_cast<int32_t>(count));
  }

 private:
  TPipeServer& FServer;
};

// Largest read buffer kept for the next assembled message; a longer message
// gets one of its own, freed after it.
constexpr size_t MAX_KEPT_READ_BUFFER = size_t{16} << 20;
using TTextBlock = Platform::TLargeBuffer;

}  // namespace

// Busy while a message read there is handled.
struct TJsonRpcServer::TReadBuffer {
  std::unique_ptr<TTextBlock> Block;
  bool Busy = false;
};

// The text of a delivered message: a message in memory (a single packet, in
// the worker's receive buffer) is read where it lies; an assembled one is
// read from its file at once into a buffer kept from message to message.
// Memory newly taken from the system costs far more to touch the first time
// than a copy into memory that is already in use, and a mapping of the file
// would be new memory every time. A message that arrives while another is
// handled (a handler that waits) gets a buffer of its own.
class TJsonRpcServer::TMessageText {
 public:
  TMessageText(const TPipeMessage& message, TReadBuffer& kept) {
    if (!message.File) {
      FText = std::string_view(reinterpret_cast<const char*>(message.Bytes.data()), message.Bytes.size());
      return;
    }
    TStream& stream = *message.File;
    stream.SetPosition(0);
    const int64_t size = stream.GetSize();
    if (size <= 0) return;
    const auto bytes = static_cast<size_t>(size);
    TTextBlock* block;
    if (!kept.Busy && bytes <= MAX_KEPT_READ_BUFFER) {
      if (!kept.Block || kept.Block->Size() < bytes) {
        kept.Block.reset();  // before the new one: never both at once
        kept.Block = std::make_unique<TTextBlock>(bytes);
      }
      FKept = &kept;
      kept.Busy = true;
      block = kept.Block.get();
    } else {
      FOwn = std::make_unique<TTextBlock>(bytes);
      block = FOwn.get();
    }
    FText = std::string_view(block->Data(), static_cast<size_t>(stream.Read(block->Data(), size)));
  }
  ~TMessageText() {
    if (FKept) FKept->Busy = false;
  }
  TMessageText(const TMessageText&) = delete;
  TMessageText& operator=(const TMessageText&) = delete;

  std::string_view Text() const { return FText; }

 private:
  std::string_view FText;
  TReadBuffer* FKept = nullptr;
  std::unique_ptr<TTextBlock> FOwn;
};

TJsonRpcServer::TJsonRpcServer(const std::string& pipeName) { Initialize(pipeName); }

std::unique_ptr<TJsonRpcServer> TJsonRpcServer::Create(const std::string& pipeName) {
  return std::make_unique<TJsonRpcServer>(pipeName);
}

TJsonRpcServer::~TJsonRpcServer() {
  // First: its events call into this object until every thread has gone.
  FPipeServer.reset();
}

void TJsonRpcServer::Initialize(const std::string& pipeName) {
  Assert(!FPipeServer);
  FPipeServer = std::make_unique<TPipeServer>();
  FPipeServer->SetPipeName(pipeName);
  FPipeServer->SetOnPipeConnect([this](TPipeServer* s, uint32_t pipe) { PipeServerPipeConnect(s, pipe); });
  FPipeServer->SetOnPipeDisconnect([this](TPipeServer* s, uint32_t pipe) { PipeServerPipeDisconnect(s, pipe); });
  FPipeServer->SetOnPipeError([this](TPipeServer* s, uint32_t pipe, TPipeContext context, int32_t code) {
    PipeServerPipeError(s, pipe, context, code);
  });
  FPipeServer->SetOnPipeMessage([this](TPipeServer* s, uint32_t pipe, const TPipeMessage& message) {
    PipeServerPipeMessage(s, pipe, message);
  });
  // No sent handler: the server has nothing to do when a reply has gone,
  // and without one the connection's worker does not stop to report it.
  FPipeWriter = std::make_unique<TPipeReplyWriter>(*FPipeServer);
  SetReplyWriter(FPipeWriter.get());
  FPipeServer->SetActive(true);
}

void TJsonRpcServer::PipeServerPipeConnect(TPipeServer*, uint32_t) {}
void TJsonRpcServer::PipeServerPipeDisconnect(TPipeServer*, uint32_t) {}
void TJsonRpcServer::PipeServerPipeError(TPipeServer*, uint32_t pipe, TPipeContext context, int32_t errorCode) {
  // Transport errors are not this layer's business, except where someone
  // should learn why a client lost its line or could not get one.
  if (errorCode == ERROR_MESSAGE_TOO_LARGE) {
    Logger().Error("Message from client %d is larger than %d bytes; connection closed, partial message discarded",
                   static_cast<int32_t>(pipe), GetMaxMessageSize());
    return;
  }
  if (errorCode == ERROR_ASSEMBLED_IN_MEMORY) {
    Logger().Warn("A long message from client %d could not be written to a temporary file in \"%s\"; it is "
                  "collected in memory instead",
                  static_cast<int32_t>(pipe), TPipeMultiMsg::TempDirectory());
    return;
  }
  if (context != pcListener) return;
  if (errorCode == ERROR_ACCESS_DENIED) {
    // Said once a minute at most: a flood of refused clients must not flood
    // the log, but the count tells how many there were.
    ++FRefused.Count;
    if (FRefused.Due())
      Logger().Warn("Refused a connection to the pipe from a process of another user (%d refused so far); only "
                    "processes of user id %d may connect",
                    FRefused.Count, static_cast<int32_t>(Platform::CurrentUserId()));
  } else if (Platform::IsOutOfDescriptors(errorCode)) {
    ++FOutOfDescriptors.Count;
    if (FOutOfDescriptors.Due())
      Logger().Error("Could not accept a connection on the pipe: %s (%d times so far); the manager has run out of "
                     "file descriptors",
                     Platform::SysErrorMessage(errorCode), FOutOfDescriptors.Count);
  }
}

bool TJsonRpcServer::TRareReport::Due() {
  const uint64_t now = Platform::GetTickCount64();
  if (Count > 1 && now - LastTicks < RARE_REPORT_INTERVAL_MS) return false;
  LastTicks = now;
  return true;
}

void TJsonRpcServer::PipeServerPipeMessage(TPipeServer*, uint32_t pipe, const TPipeMessage& received) {
  // An error here would otherwise end up in whatever message loop runs the
  // transport; it is logged and the transport goes on serving.
  try {
    // The worker that delivered the message waits until the call's reply
    // goes out, so its bytes stay put meanwhile. The wire carries 8-bit
    // text, and so do we: the bytes are the text.
    if (!FReadBuffer) FReadBuffer = std::make_shared<TReadBuffer>();
    const TMessageText message(received, *FReadBuffer);
    // From here on only the text is used, and as the reply goes out not
    // even that: the worker may then go on.
    FNextReleasesWorker = true;
    ProcessRPC(pipe, message.Text());
  } catch (const std::exception& e) {
    Logger().Exception("Could not process message from client %d", {static_cast<int32_t>(pipe)}, e, false);
  } catch (...) {
    const Exception unknown("Unknown error");
    Logger().Exception("Could not process message from client %d", {static_cast<int32_t>(pipe)}, unknown, false);
  }
}
