#include "Shared/JSON_RPC.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "diagnostics/Logging.h"
#include "platform/Messages.h"
#include "platform/ScopeExit.h"

namespace {
const char* const JSONRPC_VERSION = "2.0";
// How much of a request that is not JSON its log line quotes.
constexpr size_t MAX_QUOTED_REQUEST = 1000;
}  // namespace

IJsonValue RpcReplyId(const IJsonValue& id) {
  if (!id) return TJsonValue::Null();
  if (id->Kind() == jkInteger) return id;
  int64_t n = 0;
  if (TextToInt64(JsonAsText(id), &n)) return TJsonValue::Integer(n);
  return id;
}

namespace {

// The reply id's text, as JsonSerialize(RpcReplyId(id)) writes it; an
// integer id (every engine's) goes straight to its digits.
std::string RpcReplyIdText(const IJsonValue& id) {
  if (id && id->Kind() == jkInteger) return std::to_string(id->AsInteger());
  return JsonSerialize(RpcReplyId(id));
}

// A success reply's members in the order the writer puts them, found once.
struct TReplyLayout {
  enum TMember { Version, Id, Result };
  TMember Order[3] = {Version, Id, Result};
  TReplyLayout() {
    const char* const names[3] = {"jsonrpc", "id", "result"};
    std::sort(std::begin(Order), std::end(Order),
              [&names](TMember a, TMember b) { return JsonNameBefore(names[a], names[b]); });
  }
};

// The success reply written in one go, byte for byte what serialising the
// reply object would give; a result that puts no member (empty, null) has
// none.
std::string SuccessReplyText(const IJsonValue& id, const TVariant& result) {
  static const TReplyLayout layout;
  std::string value;
  const bool hasResult = JsonVariantText(result, value);
  std::string out = "{";
  bool first = true;
  for (const TReplyLayout::TMember m : layout.Order) {
    if (m == TReplyLayout::Result && !hasResult) continue;
    if (!first) out += ',';
    first = false;
    switch (m) {
      case TReplyLayout::Version: out += R"("jsonrpc":")"; out += JSONRPC_VERSION; out += '"'; break;
      case TReplyLayout::Id: out += R"("id":)"; out += RpcReplyIdText(id); break;
      case TReplyLayout::Result: out += R"("result":)"; out += value; break;
    }
  }
  out += '}';
  return out;
}

}  // namespace

void TJsonRpcServer::PipeMessage(uint32_t clientPipe, const void* bytes, size_t count) {
  // The wire carries 8-bit text, and so do we: the bytes are the text.
  ProcessRPC(clientPipe, std::string_view(static_cast<const char*>(bytes), count));
}

void TJsonRpcServer::ProcessRPC(uint32_t clientPipe, std::string_view callAsJson) {
  Logger().Debug(">>TJsonRpcServer.ProcessRPC(%d, [%s])", static_cast<int32_t>(clientPipe), callAsJson);
  std::string response;
  TCall call;
  call.Reply.ClientPipe = clientPipe;
  call.Text = callAsJson;
  call.ReleasesWorker = std::exchange(FNextReleasesWorker, false);
  TCall* const outer = FCall;
  FCall = &call;
  try {
    if (FOnRpcRaw) {
      call.Reply.Raw = true;
      // Held, not copied: the handler may process events that reassign the
      // slot, and the one running stays alive until it returns.
      const std::shared_ptr<const TOnRPCRaw> handler = FOnRpcRaw;
      response = (*handler)(clientPipe, callAsJson);
      if (call.Deferred)
        response.clear();
      else
        WriteReply(clientPipe, response);
    } else {
      HandleCall(clientPipe, callAsJson, response);
    }
  } catch (...) {
    FCall = outer;
    Logger().Debug("<<TJsonRpcServer.ProcessRPC: response=[%s]", response);
    throw;
  }
  FCall = outer;
  Logger().Debug("<<TJsonRpcServer.ProcessRPC: response=[%s]", response);
  if (FOnCallDone) {
    const std::shared_ptr<const std::function<void()>> done = FOnCallDone;
    (*done)();
  }
}

TRpcDeferredReply TJsonRpcServer::DeferReply() {
  Assert(FCall != nullptr);
  FCall->Deferred = true;
  return FCall->Reply;
}

void TJsonRpcServer::CompleteDeferredReply(const TRpcDeferredReply& reply, const TVariant& result) {
  Assert(!reply.Raw);
  const Platform::TScopeExit done([this, outer = FCompletingDeferred] { FCompletingDeferred = outer; });
  FCompletingDeferred = true;
  std::string response;
  WriteResult(reply.ClientPipe, reply.Id, result, response);
  Logger().Debug("<<TJsonRpcServer deferred response=[%s]", response);
}

void TJsonRpcServer::CompleteDeferredReply(const TRpcDeferredReply& reply, const std::string& text) {
  Assert(reply.Raw);
  const Platform::TScopeExit done([this, outer = FCompletingDeferred] { FCompletingDeferred = outer; });
  FCompletingDeferred = true;
  WriteReply(reply.ClientPipe, text);
  Logger().Debug("<<TJsonRpcServer deferred response=[%s]", text);
}

IJsonValue RpcParseOutline(std::string_view text) {
  IJsonValue request = JsonParseOutline(text, 2);
  const IJsonValue id = JsonMember(request, "id");
  if (id && (id->IsArray() || id->IsObject())) return JsonParse(text);
  return request;
}

void TJsonRpcServer::HandleCall(uint32_t clientPipe, std::string_view callAsJson, std::string& response) {
  const IJsonValue request = FOutlineParams && FOnRPC ? RpcParseOutline(callAsJson) : JsonParse(callAsJson);
  if (!request) {
    // Junk is quoted, but not all of it: a client sending megabytes of it
    // should not get to write megabytes of log per message.
    if (callAsJson.size() <= MAX_QUOTED_REQUEST)
      Logger().Error("Invalid JSON-RPC request: %s", callAsJson);
    else
      Logger().Error("Invalid JSON-RPC request: %s... (%d bytes)", callAsJson.substr(0, MAX_QUOTED_REQUEST),
                     static_cast<int64_t>(callAsJson.size()));
    RespondWithError(clientPipe, nullptr, "Parse error", RPC_PARSE_ERROR);
    return;
  }
  const IJsonValue id = JsonMember(request, "id");

  const std::string version = JsonMemberAsText(request, "jsonrpc");
  if (version != JSONRPC_VERSION) {
    const std::string msg = FormatV("Expected version \"%s\", got \"%s\"", JSONRPC_VERSION, version);
    Logger().Error(msg);
    RespondWithError(clientPipe, id, msg, RPC_INVALID_REQUEST);
    return;
  }
  if (!id) {
    const std::string msg = "ID is missing";
    Logger().Error(msg);
    RespondWithError(clientPipe, id, msg, RPC_INVALID_REQUEST);
    return;
  }
  if (!JsonMember(request, "method")) {
    const std::string msg = "Method is missing";
    Logger().Error(msg);
    RespondWithError(clientPipe, id, msg, RPC_INVALID_REQUEST);
    return;
  }
  const std::string method = JsonMemberAsText(request, "method");
  if (!FOnRPC) {
    const std::string msg = "No methods are supported!";
    Logger().Error(msg);
    RespondWithError(clientPipe, id, msg, RPC_METHOD_NOT_FOUND);
    return;
  }

  if (FCall) FCall->Reply.Id = id;
  // Held, not copied: the handler may wait, processing events that reassign
  // the slot.
  const std::shared_ptr<const TOnRPC> handler = FOnRPC;
  TVariant result;
  try {
    result = (*handler)(clientPipe, method, JsonMember(request, "params"));
  } catch (const ERPC& e) {
    Logger().Exception(e);
    RespondWithError(clientPipe, id, e.Message(), e.GetErrorCode());
    return;
  } catch (const std::exception& e) {
    Logger().Exception(e);
    RespondWithError(clientPipe, id, ExceptionMessage(e), RPC_INTERNAL_ERROR);
    return;
  } catch (...) {
    const Exception unknown("Unknown error");
    Logger().Exception(unknown);
    RespondWithError(clientPipe, id, unknown.Message(), RPC_INTERNAL_ERROR);
    return;
  }

  if (FCall && FCall->Deferred) return;
  WriteResult(clientPipe, id, result, response);
}

void TJsonRpcServer::WriteResult(uint32_t clientPipe, const IJsonValue& id, const TVariant& result,
                                 std::string& response) {
  // A result that has no JSON form still gets an answer, so the client is
  // not left waiting for one.
  try {
    response = SuccessReplyText(id, result);
  } catch (const std::exception& e) {
    response.clear();
    Logger().Exception(e);
    RespondWithError(clientPipe, id, ExceptionMessage(e), RPC_INTERNAL_ERROR);
    return;
  }
  WriteReply(clientPipe, response);
}

void TJsonRpcServer::RespondWithError(uint32_t clientPipe, const IJsonValue& id, const std::string& msg, int32_t code) {
  Logger().Error("Responding with error: " + msg);
  const IJsonValue error = TJsonValue::NewObject();
  error->Put("code", TJsonValue::Integer(code));
  error->Put("message", msg);
  const IJsonValue reply = TJsonValue::NewObject();
  reply->Put("jsonrpc", JSONRPC_VERSION);
  reply->Put("error", error);
  reply->Put("id", RpcReplyId(id));
  const std::string text = JsonSerialize(reply);
  WriteReply(clientPipe, text);
  Logger().Debug(text);
}

void TJsonRpcServer::WriteReply(uint32_t clientPipe, const std::string& text) {
  Assert(text.size() <= UINT32_MAX);
  // The call's own reply: its worker is let go first (see TCall).
  if (FCall && FCall->ReleasesWorker && !FCompletingDeferred && clientPipe == FCall->Reply.ClientPipe) {
    FCall->ReleasesWorker = false;
    Platform::ReplyMessage(0);
  }
  // The result is not looked at: a reply to a client that has gone is
  // simply dropped.
  if (FReplyWriter) FReplyWriter->Write(clientPipe, text.data(), static_cast<uint32_t>(text.size()));
}
