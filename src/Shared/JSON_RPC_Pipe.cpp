// The JSON-RPC server on the pipe: each whole message from a client is one
// call of ProcessRPC, each reply leaves through the pipe server's Write.
#include <exception>

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

}  // namespace

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
    stream.SetPosition(0);
    const std::string text = stream.ReadToEnd();
    // The wire carries 8-bit text, and so do we: the bytes are the text.
    ProcessRPC(pipe, text);
  } catch (const std::exception& e) {
    Logger().Exception("Could not process message from client %d", {static_cast<int32_t>(pipe)}, e, false);
  } catch (...) {
    const Exception unknown("Unknown error");
    Logger().Exception("Could not process message from client %d", {static_cast<int32_t>(pipe)}, unknown, false);
  }
}
