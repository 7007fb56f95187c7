// The JSON-RPC server on the pipe: each whole message from a client is one
// call of ProcessRPC, each reply leaves through the pipe server's Write.
#include <exception>
#include <memory>

#include "Shared/Componen/Pipes.h"
#include "Shared/JSON_RPC.h"
#include "diagnostics/Logging.h"

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

}  // namespace

// The text of a delivered message: a single packet is read where it lies, in
// the worker's memory; an assembled one is read from its file at once into
// a buffer kept from message to message. Memory newly taken from the system
// costs far more to touch the first time than a copy into memory that is
// already in use, and a mapping of the file would be new memory every time.
// A message that arrives while another is handled (a handler that waits)
// gets a buffer of its own.
class TJsonRpcServer::TMessageText {
 public:
  TMessageText(TStream& stream, TReadBuffer& kept) {
    if (auto* memory = dynamic_cast<TFastMemStream*>(&stream)) {
      FText = std::string_view(reinterpret_cast<const char*>(memory->Memory()), static_cast<size_t>(memory->GetSize()));
      return;
    }
    stream.SetPosition(0);
    const int64_t size = stream.GetSize();
    if (size <= 0) return;
    const auto bytes = static_cast<size_t>(size);
    char* buffer;
    if (!kept.Busy && bytes <= MAX_KEPT_READ_BUFFER) {
      if (kept.Size < bytes) {
        kept.Bytes.reset();  // before the new one: never both at once
        kept.Size = 0;
        kept.Bytes.reset(new char[bytes]);
        kept.Size = bytes;
      }
      FKept = &kept;
      kept.Busy = true;
      buffer = kept.Bytes.get();
    } else {
      FOwn.reset(new char[bytes]);
      buffer = FOwn.get();
    }
    FText = std::string_view(buffer, static_cast<size_t>(stream.Read(buffer, size)));
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
  std::unique_ptr<char[]> FOwn;
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
  FPipeServer->SetOnPipeMessage([this](TPipeServer* s, uint32_t pipe, TStream& stream) {
    PipeServerPipeMessage(s, pipe, stream);
  });
  // No sent handler: the server has nothing to do when a reply has gone,
  // and without one the connection's worker does not stop to report it.
  FPipeWriter = std::make_unique<TPipeReplyWriter>(*FPipeServer);
  SetReplyWriter(FPipeWriter.get());
  FPipeServer->SetActive(true);
}

void TJsonRpcServer::PipeServerPipeConnect(TPipeServer*, uint32_t) {}
void TJsonRpcServer::PipeServerPipeDisconnect(TPipeServer*, uint32_t) {}
void TJsonRpcServer::PipeServerPipeError(TPipeServer*, uint32_t pipe, TPipeContext, int32_t errorCode) {
  // Transport errors are not this layer's business, except a client cut off
  // for an oversized message: someone should learn why it lost its line.
  if (errorCode == ERROR_MESSAGE_TOO_LARGE)
    Logger().Error("Message from client %d is larger than %d bytes; connection closed, partial message discarded",
                   static_cast<int32_t>(pipe), GetMaxMessageSize());
}

void TJsonRpcServer::PipeServerPipeMessage(TPipeServer*, uint32_t pipe, TStream& stream) {
  // An error here would otherwise end up in whatever message loop runs the
  // transport; it is logged and the transport goes on serving.
  try {
    // The worker that delivered the message waits until this returns, so
    // its bytes stay put meanwhile. The wire carries 8-bit text, and so do
    // we: the bytes are the text.
    const TMessageText message(stream, FReadBuffer);
    ProcessRPC(pipe, message.Text());
  } catch (const std::exception& e) {
    Logger().Exception("Could not process message from client %d", {static_cast<int32_t>(pipe)}, e, false);
  } catch (...) {
    const Exception unknown("Unknown error");
    Logger().Exception("Could not process message from client %d", {static_cast<int32_t>(pipe)}, unknown, false);
  }
}
