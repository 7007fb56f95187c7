#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "Shared/RpcTestSupport.h"

namespace {

class JsonRpcServerTest : public ::testing::Test {
 protected:
  // One request through the server; the one reply it wrote.
  std::string Call(const std::string& request, uint32_t pipe = 3) {
    const size_t before = writer.Replies.size();
    server.ProcessRPC(pipe, request);
    EXPECT_EQ(writer.Replies.size(), before + 1) << request;
    if (writer.Replies.size() != before + 1) return "<no single reply>";
    EXPECT_EQ(writer.Replies.back().Pipe, pipe);
    return writer.Replies.back().Text;
  }
  void Answer(TVariant result) {
    server.SetOnRPC([result](uint32_t, const std::string&, const IJsonValue&) { return result; });
  }

  TLogCapture log;
  TCaptureWriter writer;
  TJsonRpcServer server{writer};
};

TEST_F(JsonRpcServerTest, DeferredRepliesAreWrittenWhenCompleted) {
  std::vector<TRpcDeferredReply> held;
  int done = 0;
  server.SetOnCallDone([&] { ++done; });
  server.SetOnRPC([&](uint32_t, const std::string& method, const IJsonValue&) -> TVariant {
    if (method == "Later") held.push_back(server.DeferReply());
    return TVariant(true);
  });
  server.ProcessRPC(4, R"({"jsonrpc":"2.0","id":"17","method":"Later"})");
  EXPECT_TRUE(writer.Replies.empty());
  EXPECT_FALSE(server.ReplyDeferred());  // only while that call is handled
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":2,"method":"Now"})"), R"({"result":true,"id":2,"jsonrpc":"2.0"})");
  EXPECT_EQ(done, 2);
  ASSERT_EQ(held.size(), 1u);
  server.CompleteDeferredReply(held[0], TVariant(int32_t{5}));
  ASSERT_EQ(writer.Replies.size(), 2u);
  EXPECT_EQ(writer.Replies[1].Pipe, 4u);
  EXPECT_EQ(writer.Replies[1].Text, R"({"result":5,"id":17,"jsonrpc":"2.0"})");

  // A raw handler's deferred reply is its text as is.
  server.SetOnRPC(nullptr);
  server.SetOnRPCRaw([&](uint32_t, std::string_view) {
    held.push_back(server.DeferReply());
    return std::string("ignored");
  });
  server.ProcessRPC(6, "anything");
  EXPECT_EQ(writer.Replies.size(), 2u);
  server.CompleteDeferredReply(held[1], std::string("line\r\n"));
  EXPECT_EQ(writer.Replies.back().Pipe, 6u);
  EXPECT_EQ(writer.Replies.back().Text, "line\r\n");
  EXPECT_THROW(server.DeferReply(), EAssertionFailed);
}

TEST_F(JsonRpcServerTest, SuccessRepliesAreExact) {
  uint32_t seenPipe = 0;
  std::string seenMethod;
  IJsonValue seenParams = TJsonValue::Null();
  server.SetOnRPC([&](uint32_t pipe, const std::string& method, const IJsonValue& params) -> TVariant {
    seenPipe = pipe;
    seenMethod = method;
    seenParams = params;
    return true;
  });
  const std::string reply = Call(R"({"jsonrpc":"2.0","id":7,"method":"Echo","params":{"ClientID":1},"extra":[]})", 9);
  EXPECT_EQ(reply, R"({"result":true,"id":7,"jsonrpc":"2.0"})");
  EXPECT_EQ(reply.size(), 38u);
  EXPECT_EQ(seenPipe, 9u);
  EXPECT_EQ(seenMethod, "Echo");
  EXPECT_EQ(JsonSerialize(seenParams), R"({"ClientID":1})");

  Call(R"({"jsonrpc":"2.0","id":8,"method":"NoParams"})");
  EXPECT_EQ(seenParams, nullptr);

  Answer(TVariant());
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":12,"method":"m"})"), R"({"id":12,"jsonrpc":"2.0"})");
  Answer(TVariant::Null());
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":12,"method":"m"})"), R"({"id":12,"jsonrpc":"2.0"})");
  Answer(int32_t(42));
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":"13","method":"m"})"), R"({"result":42,"id":13,"jsonrpc":"2.0"})");
  const IJsonValue object = JsonParse(R"({"result":true,"modifier":{}})");
  Answer(object);
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":7.0,"method":"m"})"),
            R"({"result":{"modifier":{},"result":true},"id":7,"jsonrpc":"2.0"})");
}

TEST_F(JsonRpcServerTest, FailedValidationWritesFiveLinesInOrder) {
  const std::string request = R"({"jsonrpc":"1.0","id":7,"method":"m"})";
  const std::string expected =
      R"({"id":7,"error":{"message":"Expected version \"2.0\", got \"1.0\"","code":-32600},"jsonrpc":"2.0"})";
  EXPECT_EQ(Call(request), expected);
  ASSERT_EQ(log.Lines.size(), 5u);
  EXPECT_EQ(log.Lines[0].Kind, etDebug);
  EXPECT_EQ(log.Lines[0].Line, "2014-03-05 14:07:09 - Debug: >>TJsonRpcServer.ProcessRPC(3, [" + request + "])");
  EXPECT_EQ(log.Lines[1].Kind, etError);
  EXPECT_EQ(log.Lines[1].Raw, "Expected version \"2.0\", got \"1.0\"");
  EXPECT_EQ(log.Lines[2].Kind, etError);
  EXPECT_EQ(log.Lines[2].Raw, "Responding with error: Expected version \"2.0\", got \"1.0\"");
  EXPECT_EQ(log.Lines[3].Kind, etDebug);
  EXPECT_EQ(log.Lines[3].Raw, expected);
  EXPECT_EQ(log.Lines[4].Kind, etDebug);
  EXPECT_EQ(log.Lines[4].Raw, "<<TJsonRpcServer.ProcessRPC: response=[]");
  Logger().Info("M");
  EXPECT_EQ(log.Lines[5].Line, "2014-03-05 14:07:09 - Info: M");
}

TEST_F(JsonRpcServerTest, ValidationOrderIsVersionIdMethodHandler) {
  bool called = false;
  const std::pair<const char*, const char*> cases[] = {
      {R"({"id":1,"method":"m"})",
       R"({"id":1,"error":{"message":"Expected version \"2.0\", got \"\"","code":-32600},"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":2.0,"id":1,"method":"m"})",
       R"({"id":1,"error":{"message":"Expected version \"2.0\", got \"2\"","code":-32600},"jsonrpc":"2.0"})"},
      {R"({"JSONRPC":"2.0","id":1,"method":"m"})",
       R"({"id":1,"error":{"message":"Expected version \"2.0\", got \"\"","code":-32600},"jsonrpc":"2.0"})"},
      {R"({"method":"m"})",
       R"({"id":null,"error":{"message":"Expected version \"2.0\", got \"\"","code":-32600},"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","method":"m"})",
       R"({"id":null,"error":{"message":"ID is missing","code":-32600},"jsonrpc":"2.0"})"},
      {R"({"jsonrpc":"2.0","id":4})",
       R"({"id":4,"error":{"message":"Method is missing","code":-32600},"jsonrpc":"2.0"})"},
      {R"([1,2])",
       R"({"id":null,"error":{"message":"Expected version \"2.0\", got \"\"","code":-32600},"jsonrpc":"2.0"})"},
  };
  server.SetOnRPC([&](uint32_t, const std::string&, const IJsonValue&) -> TVariant {
    called = true;
    return true;
  });
  for (const auto& [request, reply] : cases) EXPECT_EQ(Call(request), reply) << request;
  EXPECT_FALSE(called);

  server.SetOnRPC(nullptr);
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":5,"method":"m"})"),
            R"({"id":5,"error":{"message":"No methods are supported!","code":-32601},"jsonrpc":"2.0"})");
  // A null method is present: the handler check comes next.
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":5,"method":null})"),
            R"({"id":5,"error":{"message":"No methods are supported!","code":-32601},"jsonrpc":"2.0"})");
}

TEST_F(JsonRpcServerTest, IdsThatAreNotWholeNumbersAreEchoedAsSent) {
  Answer(true);
  const std::pair<const char*, const char*> ids[] = {
      {"1.5", "1.5"},
      {R"("abc")", R"("abc")"},
      {"null", "null"},
      {R"({"n":1})", R"({"n":1})"},
      {"123456789012345678901234567890", "123456789012345678901234567890"},
      {"1e20", "1E20"},
      {R"(" 7")", R"(" 7")"},
      {R"("-9223372036854775808")", "-9223372036854775808"},
  };
  for (const auto& [id, echoed] : ids) {
    EXPECT_EQ(Call(std::string(R"({"jsonrpc":"2.0","method":"m","id":)") + id + "}"),
              std::string(R"({"result":true,"id":)") + echoed + R"(,"jsonrpc":"2.0"})")
        << id;
    EXPECT_EQ(Call(std::string(R"({"jsonrpc":"1","method":"m","id":)") + id + "}"),
              std::string(R"({"id":)") + echoed +
                  R"(,"error":{"message":"Expected version \"2.0\", got \"1\"","code":-32600},"jsonrpc":"2.0"})")
        << id;
  }
}

TEST_F(JsonRpcServerTest, AnOutlineHandlerGetsTheParamsMembersAndTheCallsText) {
  std::string params, text;
  server.SetOnRPC(
      [&](uint32_t, const std::string&, const IJsonValue& p) -> TVariant {
        params = JsonSerialize(p);
        text = std::string(server.CallText());
        return TVariant(true);
      },
      true);
  const std::string call = R"({"jsonrpc":"2.0","id":5,"method":"M","params":{"ClientID":1,"S":{"P":[1,2]},"L":[3]}})";
  EXPECT_EQ(Call(call), R"({"result":true,"id":5,"jsonrpc":"2.0"})");
  EXPECT_EQ(params, R"({"S":{},"L":[],"ClientID":1})");
  EXPECT_EQ(text, call);
  // An id that is a container still comes back whole.
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":[1,[2]],"method":"M","params":{"S":{"P":[1]}}})"),
            R"({"result":true,"id":[1,[2]],"jsonrpc":"2.0"})");
  EXPECT_EQ(params, R"({"S":{"P":[1]}})");
  // Without the switch, the whole call.
  server.SetOnRPC([&](uint32_t, const std::string&, const IJsonValue& p) -> TVariant {
    params = JsonSerialize(p);
    return TVariant(true);
  });
  Call(call);
  EXPECT_EQ(params, R"({"S":{"P":[1,2]},"L":[3],"ClientID":1})");
}

TEST_F(JsonRpcServerTest, HandlerErrorsBecomeErrorReplies) {
  server.SetOnRPC([](uint32_t, const std::string& method, const IJsonValue&) -> TVariant {
    if (method == "erpc") throw ERPC(5, "M");
    if (method == "fmt") throw ERPC::CreateFmt(-32001, "Bad %s #%d", "thing", 3);
    if (method == "other") throw std::runtime_error("went wrong");
    if (method == "utf8") throw ERPC(1, "gr\xc3\xb6\xc3\x9f" "er/\xe2\x98\xba");
    throw 17;
  });
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":1,"method":"erpc"})"),
            R"({"id":1,"error":{"message":"M","code":5},"jsonrpc":"2.0"})");
  ASSERT_GE(log.Lines.size(), 2u);
  EXPECT_EQ(log.Lines[1].Kind, etException);
  EXPECT_EQ(log.Lines[1].Raw, "Exception ERPC: M (Exception ERPC: M)");
  EXPECT_EQ(log.Lines[2].Raw, "Responding with error: M");

  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":1,"method":"fmt"})"),
            R"({"id":1,"error":{"message":"Bad thing #3","code":-32001},"jsonrpc":"2.0"})");
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":1,"method":"other"})"),
            R"({"id":1,"error":{"message":"went wrong","code":-32603},"jsonrpc":"2.0"})");
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":1,"method":"thrown-int"})"),
            R"({"id":1,"error":{"message":"Unknown error","code":-32603},"jsonrpc":"2.0"})");

  const std::string reply = Call(R"({"jsonrpc":"2.0","id":1,"method":"utf8"})");
  EXPECT_EQ(reply, R"({"id":1,"error":{"message":"gr\u00f6\u00dfer\/\u263a","code":1},"jsonrpc":"2.0"})");
  for (char c : reply) EXPECT_LT(static_cast<unsigned char>(c), 128);
}

TEST_F(JsonRpcServerTest, AResultWithoutJsonFormIsAnInternalError) {
  Answer(TVariant::DateTime(41703.5));
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":2,"method":"m"})"),
            R"({"id":2,"error":{"message":"Can't convert variant \"result\"","code":-32603},"jsonrpc":"2.0"})");
  bool logged = false;
  for (const TCapturedLine& l : log.Lines)
    logged |= l.Kind == etException && l.Raw.find("TJsonRpc.EUnsupportedType: Can't convert variant") != std::string::npos;
  EXPECT_TRUE(logged);
  EXPECT_EQ(log.Lines.back().Raw, "<<TJsonRpcServer.ProcessRPC: response=[]");
}

TEST_F(JsonRpcServerTest, RawHandlerWinsAndItsReplyGoesOutByteForByte) {
  bool parsedCalled = false;
  server.SetOnRPC([&](uint32_t, const std::string&, const IJsonValue&) -> TVariant {
    parsedCalled = true;
    return true;
  });
  std::string seen;
  std::string answer = "not json at all\n";
  server.SetOnRPCRaw([&](uint32_t, std::string_view rpc) {
    seen = rpc;
    return answer;
  });
  const std::string request("\xff\x00{garbage", 10);
  EXPECT_EQ(Call(request), answer);
  EXPECT_EQ(seen, request);
  EXPECT_FALSE(parsedCalled);
  // The reply goes out byte for byte; its debug line shows the line end.
  EXPECT_EQ(log.Lines.back().Raw, "<<TJsonRpcServer.ProcessRPC: response=[not json at all\\n]");

  answer.clear();
  EXPECT_EQ(Call(""), "");
  EXPECT_EQ(seen, "");
}

TEST_F(JsonRpcServerTest, ARawHandlerFailureLeavesWithNoReply) {
  server.SetOnRPCRaw([](uint32_t, std::string_view) -> std::string { throw std::runtime_error("processor gone"); });
  EXPECT_THROW(server.ProcessRPC(3, "{}"), std::runtime_error);
  EXPECT_TRUE(writer.Replies.empty());
  ASSERT_EQ(log.Lines.size(), 2u);
  EXPECT_EQ(log.Lines[1].Raw, "<<TJsonRpcServer.ProcessRPC: response=[]");
}

TEST_F(JsonRpcServerTest, TextThatIsNotJsonGetsTheParseError) {
  const std::string parseError = R"({"id":null,"error":{"message":"Parse error","code":-32700},"jsonrpc":"2.0"})";
  EXPECT_EQ(Call("hello"), parseError);
  ASSERT_EQ(log.Lines.size(), 5u);
  EXPECT_EQ(log.Lines[1].Kind, etError);
  EXPECT_EQ(log.Lines[1].Raw, "Invalid JSON-RPC request: hello");
  EXPECT_EQ(log.Lines[2].Raw, "Responding with error: Parse error");
  // The same with a handler installed, and for an empty message.
  Answer(true);
  EXPECT_EQ(Call(""), parseError);
  EXPECT_EQ(Call("{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"\xff\"}"), parseError);
}

TEST_F(JsonRpcServerTest, NestedCallsAndHandlerChangesDuringACall) {
  // The outer handler runs another client's request, as a barrier wait
  // does, and clears the slot meanwhile; each reply leaves when its own
  // handler returns.
  // The handler owns state (the tag) that must stay alive after the slot
  // is cleared under it.
  const std::string tag = "outer done on pipe number ";
  server.SetOnRPC([this, tag](uint32_t pipe, const std::string& method, const IJsonValue&) -> TVariant {
    if (method == "outer") {
      server.ProcessRPC(2, R"({"jsonrpc":"2.0","id":2,"method":"inner"})");
      server.SetOnRPC(nullptr);
      return tag + std::to_string(pipe);
    }
    return std::string("inner");
  });
  server.ProcessRPC(1, R"({"jsonrpc":"2.0","id":1,"method":"outer"})");
  ASSERT_EQ(writer.Replies.size(), 2u);
  EXPECT_EQ(writer.Replies[0].Pipe, 2u);
  EXPECT_EQ(writer.Replies[0].Text, R"({"result":"inner","id":2,"jsonrpc":"2.0"})");
  EXPECT_EQ(writer.Replies[1].Pipe, 1u);
  EXPECT_EQ(writer.Replies[1].Text, R"({"result":"outer done on pipe number 1","id":1,"jsonrpc":"2.0"})");
  EXPECT_FALSE(server.HasOnRPC());
}

TEST_F(JsonRpcServerTest, ARefusedWriteIsNotAnError) {
  writer.Accept = false;
  Answer(true);
  EXPECT_EQ(Call(R"({"jsonrpc":"2.0","id":1,"method":"m"})"), R"({"result":true,"id":1,"jsonrpc":"2.0"})");
  EXPECT_EQ(log.Lines.back().Raw, R"(<<TJsonRpcServer.ProcessRPC: response=[{"result":true,"id":1,"jsonrpc":"2.0"}])");
}

TEST_F(JsonRpcServerTest, PipeMessagePassesTheBytesThrough) {
  Answer(true);
  const std::string request = R"({"jsonrpc":"2.0","id":3,"method":"m"})";
  server.PipeMessage(0xFFFFFFFEu, request.data(), request.size());
  ASSERT_EQ(writer.Replies.size(), 1u);
  EXPECT_EQ(writer.Replies[0].Text, R"({"result":true,"id":3,"jsonrpc":"2.0"})");
  EXPECT_EQ(log.Lines[0].Raw, ">>TJsonRpcServer.ProcessRPC(-2, [" + request + "])");
}

// Whatever bytes arrive, the server answers exactly once and never crashes;
// every reply is ASCII JSON.
TEST_F(JsonRpcServerTest, AnyInputGetsOneReply) {
  server.SetOnRPC([](uint32_t, const std::string& method, const IJsonValue& params) -> TVariant {
    if (method == "params") return params ? params : TJsonValue::Null();
    return method;
  });
  std::vector<std::string> inputs;
  const std::string valid = R"({"jsonrpc":"2.0","id":1,"method":"params","params":{"ClientID":0,"a":[1,2.5,"x"]}})";
  for (size_t n = 0; n < valid.size(); ++n) inputs.push_back(valid.substr(0, n));
  inputs.push_back(std::string(100000, '['));
  inputs.push_back(std::string(100000, '{'));
  std::string deepParams = R"({"jsonrpc":"2.0","id":1,"method":"params","params":)";
  deepParams += std::string(100000, '[') + std::string(100000, ']') + "}";
  inputs.push_back(deepParams);
  inputs.push_back(R"({"jsonrpc":"2.0","id":1,"method":")" + std::string(1 << 20, 'x') + "\"}");
  inputs.push_back(R"({"jsonrpc":"2.0","id":1,"method":"params","params":[)" + std::string(200000, '1') + "]}");
  inputs.push_back(R"({"jsonrpc":"2.0","id":1,"method":"a\u0000b"})");
  inputs.push_back("\xef\xbb\xbf{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"bom\"}");
  inputs.push_back("\xfe\xff\xc0\x80\xed\xa0\x80");
  std::mt19937 rng(20140305);
  for (int i = 0; i < 1500; ++i) {
    std::string s = valid;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int k = 0; k < edits; ++k) s[rng() % s.size()] = static_cast<char>(rng() % 256);
    inputs.push_back(s);
    std::string noise(rng() % 64, '\0');
    for (char& c : noise) c = static_cast<char>(rng() % 256);
    inputs.push_back(noise);
  }

  for (const std::string& input : inputs) {
    const size_t before = writer.Replies.size();
    ASSERT_NO_THROW(server.ProcessRPC(1, input));
    ASSERT_EQ(writer.Replies.size(), before + 1) << input.substr(0, 80);
    const std::string& reply = writer.Replies.back().Text;
    for (char c : reply) ASSERT_LT(static_cast<unsigned char>(c), 128) << reply.substr(0, 80);
    ASSERT_NE(JsonParse(reply), nullptr) << reply.substr(0, 80);
    ASSERT_EQ(JsonMemberAsText(JsonParse(reply), "jsonrpc"), "2.0");
  }
  // The huge method name made it through whole.
  EXPECT_EQ(JsonMemberAsText(JsonParse(writer.Replies[valid.size() + 3].Text), "result").size(), size_t(1 << 20));
  // The embedded NUL and the skipped byte-order mark.
  EXPECT_EQ(JsonMemberAsText(JsonParse(writer.Replies[valid.size() + 5].Text), "result"), std::string("a\0b", 3));
  EXPECT_EQ(JsonMemberAsText(JsonParse(writer.Replies[valid.size() + 6].Text), "result"), "bom");
  writer.Replies.clear();
  log.Lines.clear();
}

}  // namespace
