// The JSON-RPC server on a real pipe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

#include "Componen/PipeTestSupport.h"
#include "Shared/JSON_RPC.h"
#include "diagnostics/Logging.h"
#include "platform/LocalSocket.h"
#include "platform/Process.h"

using PipeTest::PumpUntil;
using PipeTest::TTestClient;

namespace {

class JsonRpcPipeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PipeTest::UseOwnPipeNamespace();
    Name = std::string("rpc-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    Logger().SetLogHandler([this](const TLogEvent& event, bool& handled) {
      if (event.EventType != etDebug) Logged.push_back(event.RawMessage + (event.TheException ? " | " + ExceptionMessage(*event.TheException) : ""));
      Kinds.push_back(event.EventType);
      handled = true;
    });
  }
  void TearDown() override {
    Server.reset();
    Logger().SetLogHandler(nullptr);
  }

  std::string Name;
  std::unique_ptr<TJsonRpcServer> Server;
  std::vector<std::string> Logged;
  std::vector<TEventType> Kinds;
};

}  // namespace

TEST_F(JsonRpcPipeTest, ServesAtOnceWithNoHandlerInstalled) {
  Server = TJsonRpcServer::Create(Name);
  ASSERT_NE(Server->PipeServer(), nullptr);
  EXPECT_TRUE(Server->PipeServer()->GetActive());
  EXPECT_EQ(Server->PipeServer()->GetPipeName(), Name);

  TTestClient client;
  ASSERT_TRUE(client.Connect(Name));
  ASSERT_TRUE(client.SendPacket(R"({"jsonrpc":"2.0","method":"Initialize","params":{"ClientID":0},"id":7})"));
  const auto reply = client.Receive(20000, true);
  ASSERT_TRUE(reply.has_value());
  EXPECT_NE(reply->find("-32601"), std::string::npos) << *reply;
  EXPECT_NE(reply->find("\"id\":7"), std::string::npos) << *reply;

  // Connecting and leaving is not logged at this layer.
  const size_t linesBefore = Logged.size();
  TTestClient other;
  ASSERT_TRUE(other.Connect(Name));
  ASSERT_TRUE(PumpUntil([&] { return Server->PipeServer()->GetClientCount() == 2; }));
  client.Close();
  other.Close();
  ASSERT_TRUE(PumpUntil([&] { return Server->PipeServer()->GetClientCount() == 0; }));
  EXPECT_EQ(Logged.size(), linesBefore);
}

TEST_F(JsonRpcPipeTest, RepliesGoToTheCallerAndLongOnesAreFramed) {
  Server = TJsonRpcServer::Create(Name);
  const std::string big(100000, 'z');
  Server->SetOnRPCRaw([&](uint32_t, std::string_view rpc) { return rpc == "big" ? big : "echo:" + std::string(rpc); });
  TTestClient a, b;
  ASSERT_TRUE(a.Connect(Name));
  ASSERT_TRUE(b.Connect(Name));
  ASSERT_TRUE(b.SendPacket("from b"));
  ASSERT_TRUE(a.SendPacket("from a"));
  EXPECT_EQ(a.Receive(20000, true), "echo:from a");
  EXPECT_EQ(b.Receive(20000, true), "echo:from b");
  ASSERT_TRUE(a.SendPacket("big"));
  EXPECT_EQ(a.Receive(20000, true), big);
}

// The packets of one message in the framing of a long one.
void SendFramed(TTestClient& client, const std::string& message) {
  const auto control = [](uint32_t code) {
    uint8_t block[PIPE_MSG_BLOCK_SIZE];
    EncodePipeMsgBlock(code, block);
    return std::string(reinterpret_cast<const char*>(block), sizeof block);
  };
  ASSERT_TRUE(client.SendPacket(control(MB_START)));
  for (size_t at = 0; at < message.size(); at += MAX_BUFFER) ASSERT_TRUE(client.SendPacket(message.substr(at, MAX_BUFFER)));
  ASSERT_TRUE(client.SendPacket(control(MB_END)));
}

std::string LongText(char tag) {
  std::string text(1, tag);
  for (int i = 0; text.size() < 3 * static_cast<size_t>(MAX_BUFFER); ++i) text += std::to_string(i) + ',';
  return text;
}

TEST_F(JsonRpcPipeTest, AssembledMessagesReachTheHandlerWholeAlsoWhenOneComesDuringAnother) {
  Server = TJsonRpcServer::Create(Name);
  TTestClient a, b;
  ASSERT_TRUE(a.Connect(Name));
  ASSERT_TRUE(b.Connect(Name));
  std::vector<std::string> seen;
  std::string outerAfterInner;
  Server->SetOnRPCRaw([&](uint32_t, std::string_view rpc) {
    seen.emplace_back(rpc);
    if (seen.size() == 1) {
      // While this one is handled, another arrives from b and is handled.
      SendFramed(b, LongText('b') + "longer");
      PumpUntil([&] { return seen.size() == 2; });
      outerAfterInner = rpc;
    }
    return std::string("got ") + std::to_string(rpc.size());
  });
  const std::string first = LongText('a');
  SendFramed(a, first);
  EXPECT_EQ(a.Receive(20000, true), "got " + std::to_string(first.size()));
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0], first);
  EXPECT_EQ(seen[1], LongText('b') + "longer");
  EXPECT_EQ(outerAfterInner, first);
  EXPECT_EQ(b.Receive(20000, true), "got " + std::to_string(seen[1].size()));
  // Then a shorter one and an empty one, through the buffer the first left.
  SendFramed(a, "[1,2]");
  EXPECT_EQ(a.Receive(20000, true), "got 5");
  EXPECT_EQ(seen.back(), "[1,2]");
  SendFramed(a, "");
  EXPECT_EQ(a.Receive(20000, true), "got 0");
}

TEST_F(JsonRpcPipeTest, AnErrorWhileProcessingIsLoggedAndServingGoesOn) {
  Server = TJsonRpcServer::Create(Name);
  bool fail = true;
  Server->SetOnRPCRaw([&](uint32_t, std::string_view) -> std::string {
    if (fail) throw std::runtime_error("processor gone");
    return "fine";
  });
  TTestClient client;
  ASSERT_TRUE(client.Connect(Name));
  ASSERT_TRUE(client.SendPacket("first"));
  ASSERT_TRUE(PumpUntil([&] { return !Logged.empty(); }));
  const uint32_t pipe = Server->PipeServer()->GetClient(0);
  EXPECT_EQ(Logged[0].rfind("Could not process message from client " + std::to_string(pipe), 0), 0u) << Logged[0];
  EXPECT_NE(Logged[0].find(" | processor gone"), std::string::npos) << "the error is attached";
  EXPECT_NE(std::find(Kinds.begin(), Kinds.end(), etException), Kinds.end());

  fail = false;
  ASSERT_TRUE(client.SendPacket("second"));
  EXPECT_EQ(client.Receive(20000, true), "fine");
}

TEST_F(JsonRpcPipeTest, AClientGoneBeforeItsReplyIsNoError) {
  Server = TJsonRpcServer::Create(Name);
  TTestClient client;
  Server->SetOnRPCRaw([&](uint32_t, std::string_view) {
    client.Close();
    return std::string("too late");
  });
  ASSERT_TRUE(client.Connect(Name));
  ASSERT_TRUE(client.SendPacket("call"));
  ASSERT_TRUE(PumpUntil([&] { return client.Fd() < 0 && Server->PipeServer()->GetClientCount() == 0; }));
  for (const std::string& line : Logged) EXPECT_EQ(line.find("Could not process"), std::string::npos) << line;
}

TEST_F(JsonRpcPipeTest, ABadPipeNameOrATakenOneFailsConstruction) {
  EXPECT_THROW(TJsonRpcServer::Create("bad\\name"), EPipeException);
  Server = TJsonRpcServer::Create(Name);
  try {
    TJsonRpcServer::Create(Name);
    ADD_FAILURE();
  } catch (const EPipeException& e) {
    EXPECT_EQ(e.Message(), "Pipe \"" + Name + "\" is already in use by another program");
  }
}

namespace {
class TTwiceInitialised : public TJsonRpcServer {
 public:
  using TJsonRpcServer::TJsonRpcServer;
  void InitializeAgain(const std::string& name) { Initialize(name); }
};
}  // namespace

TEST_F(JsonRpcPipeTest, InitialisingTwiceIsAnAssertionFailure) {
  TTwiceInitialised server(Name);
  try {
    server.InitializeAgain(Name + "2");
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), "Assertion failure");
  }
}

// Only processes of the manager's own user may use the pipe: a process of
// another user is hung up on before it can make a call, and the log says so
// once a minute at most, with the count.
TEST_F(JsonRpcPipeTest, ProcessesOfAnotherUserAreHungUpOnAndCounted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  Server = TJsonRpcServer::Create(Name);
  bool handled = false;
  Server->SetOnRPC([&](uint32_t, const std::string&, const IJsonValue&) {
    handled = true;
    return TVariant(true);
  });
  // Made before the fork: the child only makes system calls.
  const std::string address = Platform::LocalSocketAddress(Name);
  const std::string call = R"({"jsonrpc":"2.0","method":"Finalize","params":{"ClientID":0},"id":1})";
  auto strangerGetsAReply = [&] {
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::setuid(65534) != 0) ::_exit(3);
      const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::memcpy(addr.sun_path, address.data(), address.size());
      const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
      if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) ::_exit(4);
      (void)!::send(fd, call.data(), call.size(), MSG_NOSIGNAL);
      char buffer[256];
      ::_exit(::recv(fd, buffer, sizeof buffer, 0) > 0 ? 1 : 0);  // 0: hung up on
    }
    int status = -1;
    if (!PumpUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  for (int i = 0; i < 3; ++i) EXPECT_EQ(strangerGetsAReply(), 0);
  EXPECT_FALSE(handled);
  ASSERT_TRUE(PumpUntil([&] { return !Logged.empty(); }));
  EXPECT_EQ(Logged, (std::vector<std::string>{"Refused a connection to the pipe from a process of another user (1 "
                                              "refused so far); only processes of user id 0 may connect"}));
  EXPECT_EQ(Kinds.back(), etWarn);

  // The user's own processes are served as ever.
  TTestClient client;
  ASSERT_TRUE(client.Connect(Name));
  ASSERT_TRUE(client.SendPacket(call));
  ASSERT_TRUE(client.Receive(20000, true).has_value());
  EXPECT_TRUE(handled);
}

// A long message whose temporary file cannot take it (a full $TMPDIR; here
// a file-size limit) is collected in memory, reaches the handler whole, and
// the log says why.
TEST_F(JsonRpcPipeTest, ALongMessageThatTheTemporaryFileCannotTakeIsCollectedInMemory) {
  Platform::IgnoreWriteSignals();
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  rlimit small = before;
  small.rlim_cur = 300 * 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  struct TRestore {
    rlimit Limit;
    ~TRestore() { ::setrlimit(RLIMIT_FSIZE, &Limit); }
  } restore{before};

  Server = TJsonRpcServer::Create(Name);
  std::string seen;
  Server->SetOnRPCRaw([&](uint32_t, std::string_view rpc) {
    seen = rpc;
    return std::string("ok");
  });
  TTestClient client;
  ASSERT_TRUE(client.Connect(Name));
  std::string text;
  for (int i = 0; text.size() < 2'000'000; ++i) text += std::to_string(i) + ',';
  for (int round = 0; round < 2; ++round) {
    // Sent from a thread of its own: the server tells this (its main)
    // thread about the move while the message is still arriving.
    std::thread sender([&] { SendFramed(client, text); });
    EXPECT_EQ(client.Receive(20000, true), "ok");
    sender.join();
    EXPECT_EQ(seen, text);
  }
  // Said once for each message that had to move.
  EXPECT_EQ(std::count(Logged.begin(), Logged.end(),
                       "A long message from client 1 could not be written to a temporary file in \"" +
                           TPipeMultiMsg::TempDirectory() + "\"; it is collected in memory instead"),
            2);
}
