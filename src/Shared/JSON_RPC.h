#pragma once
// JSON-RPC 2.0 request processing: one request message in, one reply
// message out to the same client. The server validates the call and hands it
// to OnRPC, or gives the raw text to OnRPCRaw and sends back whatever that
// returns.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "diagnostics/Format.h"
#include "Shared/Componen/Pipes.h"
#include "Shared/JSON.h"

// Raised by an OnRPC handler to choose the JSON-RPC error of its reply.
class ERPC : public Exception {
 public:
  ERPC(int32_t code, std::string msg) : Exception(std::move(msg)), FErrorCode(code) {}
  template <class... A>
  static ERPC CreateFmt(int32_t code, std::string_view fmt, const A&... args) {
    return ERPC(code, FormatV(fmt, args...));
  }
  const char* ClassName() const noexcept override { return "ERPC"; }
  int32_t GetErrorCode() const noexcept { return FErrorCode; }

 private:
  int32_t FErrorCode;
};

// Error codes the server itself answers with.
inline constexpr int32_t RPC_PARSE_ERROR = -32700;
inline constexpr int32_t RPC_INVALID_REQUEST = -32600;
inline constexpr int32_t RPC_METHOD_NOT_FOUND = -32601;
inline constexpr int32_t RPC_INTERNAL_ERROR = -32603;

// (pipe, method, params) -> result; params is none when the request has none.
using TOnRPC = std::function<TVariant(uint32_t pipe, const std::string& method, const IJsonValue& params)>;
// (pipe, rpc) -> the complete reply text. rpc is valid during the call only.
using TOnRPCRaw = std::function<std::string(uint32_t pipe, std::string_view rpc)>;

// Where replies leave: queues the bytes as one message to the client and
// returns at once. The result says whether the client was still there.
class IRpcReplyWriter {
 public:
  virtual ~IRpcReplyWriter() = default;
  virtual bool Write(uint32_t clientPipe, const void* bytes, uint32_t count) = 0;
};

// A reply a handler gives later: the handler asked for it with DeferReply
// while its call was handled, and hands it to CompleteDeferredReply.
struct TRpcDeferredReply {
  uint32_t ClientPipe = 0;
  IJsonValue Id;     // the request's "id" (a parsed call)
  bool Raw = false;  // the call went to OnRPCRaw: the reply is text as is
};

class TJsonRpcServer {
 public:
  // Replies go to writer, which must outlive the server.
  explicit TJsonRpcServer(IRpcReplyWriter& writer) : FReplyWriter(&writer) {}
  // Serves the pipe pipeName from here until destruction, with no handler
  // installed; replies leave through the pipe server (JSON_RPC_Pipe.cpp).
  explicit TJsonRpcServer(const std::string& pipeName);
  static std::unique_ptr<TJsonRpcServer> Create(const std::string& pipeName);
  // Stops serving the pipe (waiting for its threads) first.
  virtual ~TJsonRpcServer();
  TJsonRpcServer(const TJsonRpcServer&) = delete;
  TJsonRpcServer& operator=(const TJsonRpcServer&) = delete;

  // One whole message from a client: its bytes are the request text (8-bit
  // text passes through unchanged).
  void PipeMessage(uint32_t clientPipe, const void* bytes, size_t count);
  // Handles one request and writes its reply. Errors of OnRPCRaw pass on to
  // the caller, with no reply written.
  void ProcessRPC(uint32_t clientPipe, std::string_view callAsJson);
  // Writes one error reply. id is the request's "id" member, none when it
  // had none.
  void RespondWithError(uint32_t clientPipe, const IJsonValue& id, const std::string& msg, int32_t code);

  bool HasOnRPC() const { return FOnRPC != nullptr; }
  // outlineParams: the handler reads what lies inside the params' members
  // from CallText, so a call is built only down to them (containers inside
  // them arrive empty), and a long state is never made a tree.
  void SetOnRPC(TOnRPC handler, bool outlineParams = false) {
    FOnRPC = Hold(std::move(handler));
    FOutlineParams = outlineParams;
  }
  bool HasOnRPCRaw() const { return FOnRpcRaw != nullptr; }
  void SetOnRPCRaw(TOnRPCRaw handler) { FOnRpcRaw = Hold(std::move(handler)); }

  // A handler that cannot answer its call yet takes the reply with it: no
  // reply is written when the handler returns (its result is ignored), and
  // the client stays waiting until CompleteDeferredReply. Only while a call
  // is being handled.
  TRpcDeferredReply DeferReply();
  // The request text of the call being handled (empty between calls); valid
  // while it is handled.
  std::string_view CallText() const { return FCall ? FCall->Text : std::string_view(); }
  // Whether the call being handled has deferred its reply.
  bool ReplyDeferred() const { return FCall && FCall->Deferred; }
  // Answers a deferred call with a handler result (a parsed call) or with
  // the reply text itself (a raw call).
  void CompleteDeferredReply(const TRpcDeferredReply& reply, const TVariant& result);
  void CompleteDeferredReply(const TRpcDeferredReply& reply, const std::string& text);
  // Runs after every call, once its reply (if any) has been written.
  void SetOnCallDone(std::function<void()> handler) { FOnCallDone = Hold(std::move(handler)); }

  // The pipe server, when this server serves a pipe.
  TPipeServer* PipeServer() const { return FPipeServer.get(); }

 protected:
  // Creates, names and starts the pipe server; called once, by the
  // constructor.
  void Initialize(const std::string& pipeName);
  // For a server that sets up its transport in its own constructor.
  TJsonRpcServer() = default;
  void SetReplyWriter(IRpcReplyWriter* writer) { FReplyWriter = writer; }

 private:
  // Validates and runs the call; response receives the success reply text.
  void HandleCall(uint32_t clientPipe, std::string_view callAsJson, std::string& response);
  void WriteReply(uint32_t clientPipe, const std::string& text);
  // The success reply for a result; an error reply when it has no JSON form.
  void WriteResult(uint32_t clientPipe, const IJsonValue& id, const TVariant& result, std::string& response);

  // The call being handled (calls nest while a handler waits).
  struct TCall {
    TRpcDeferredReply Reply;
    bool Deferred = false;
    std::string_view Text;
    // The pipe's worker that delivered the call waits for it: it is let go
    // as the call's own reply goes out, before the client can answer that
    // reply with its next call. Nothing of the message is used after.
    bool ReleasesWorker = false;
  };
  // Set for the next ProcessRPC by the pipe's message event.
  bool FNextReleasesWorker = false;
  bool FOutlineParams = false;
  // Inside CompleteDeferredReply: a write that answers another call.
  bool FCompletingDeferred = false;

  // The pipe server's events; only messages matter at this layer.
  void PipeServerPipeConnect(TPipeServer* sender, uint32_t pipe);
  void PipeServerPipeDisconnect(TPipeServer* sender, uint32_t pipe);
  void PipeServerPipeError(TPipeServer* sender, uint32_t pipe, TPipeContext context, int32_t errorCode);
  void PipeServerPipeMessage(TPipeServer* sender, uint32_t pipe, const TPipeMessage& message);

  // A condition of the pipe reported at most once a minute, with a count.
  static constexpr uint64_t RARE_REPORT_INTERVAL_MS = 60'000;
  struct TRareReport {
    int32_t Count = 0;
    uint64_t LastTicks = 0;
    // Whether the occurrence just counted is to be reported.
    bool Due();
  };
  TRareReport FRefused;           // connections from other users
  TRareReport FOutOfDescriptors;  // accepts that failed for want of descriptors

  IRpcReplyWriter* FReplyWriter = nullptr;
  std::unique_ptr<IRpcReplyWriter> FPipeWriter;
  std::unique_ptr<TPipeServer> FPipeServer;
  // Where assembled messages are read to, kept for the next one (made and
  // used in JSON_RPC_Pipe.cpp).
  class TMessageText;
  struct TReadBuffer;
  std::shared_ptr<TReadBuffer> FReadBuffer;
  // The handlers, shared with the call that runs one: a call keeps its
  // handler alive while a nested pass replaces it, without copying it.
  template <class F>
  static std::shared_ptr<const F> Hold(F handler) {
    return handler ? std::make_shared<const F>(std::move(handler)) : nullptr;
  }
  std::shared_ptr<const TOnRPC> FOnRPC;
  std::shared_ptr<const TOnRPCRaw> FOnRpcRaw;
  std::shared_ptr<const std::function<void()>> FOnCallDone;
  TCall* FCall = nullptr;
};

// The id a reply carries: the request's id as a JSON integer when its text
// form is a whole 64-bit number, JSON null when the request had none, and
// otherwise the request's own value, so a client can still match it.
IJsonValue RpcReplyId(const IJsonValue& id);
// A request built only down to its params' members (containers inside them
// arrive empty), or whole when its id is a container, which a reply gives
// back as it came; none when text is no JSON.
IJsonValue RpcParseOutline(std::string_view text);
