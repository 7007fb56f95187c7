#include "Shared/Componen/Pipes.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Componen/PipeTestSupport.h"

using namespace Platform;
using PipeTest::ControlPacket;
using PipeTest::PumpUntil;
using PipeTest::TTestClient;

namespace {

struct TEventRecord {
  std::string Kind;
  uint32_t Pipe;
  int64_t Value;  // size, error code or context
  std::string Data;
};

size_t FileCount(const std::string& dir) {
  size_t n = 0;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d))
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
    ::closedir(d);
  }
  return n;
}

class PipeServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PipeTest::UseOwnPipeNamespace();
    Name = std::string("srv-") + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    Server = std::make_unique<TPipeServer>();
    Server->SetPipeName(Name);
    Server->SetOnPipeConnect([this](TPipeServer*, uint32_t pipe) { Events.push_back({"connect", pipe, 0, {}}); });
    Server->SetOnPipeDisconnect([this](TPipeServer*, uint32_t pipe) { Events.push_back({"disconnect", pipe, 0, {}}); });
    Server->SetOnPipeSent([this](TPipeServer*, uint32_t pipe, uint32_t size) { Events.push_back({"sent", pipe, size, {}}); });
    Server->SetOnPipeError([this](TPipeServer*, uint32_t pipe, TPipeContext context, int32_t code) {
      Events.push_back({context == pcListener ? "listener error" : "worker error", pipe, code, {}});
    });
    Server->SetOnPipeMessage([this](TPipeServer*, uint32_t pipe, const TPipeMessage& message) {
      std::string data = message.Text();
      Events.push_back({"message", pipe, static_cast<int64_t>(data.size()), data});
      if (OnMessage) OnMessage(pipe, data);
    });
  }
  void TearDown() override {
    Server.reset();
    ProcessMessages();
  }

  size_t CountOf(const std::string& kind) const {
    size_t n = 0;
    for (const auto& e : Events) n += e.Kind == kind;
    return n;
  }
  std::vector<std::string> Kinds() const {
    std::vector<std::string> kinds;
    for (const auto& e : Events) kinds.push_back(e.Kind);
    return kinds;
  }
  const TEventRecord* Last(const std::string& kind) const {
    for (auto it = Events.rbegin(); it != Events.rend(); ++it)
      if (it->Kind == kind) return &*it;
    return nullptr;
  }
  bool WaitFor(const std::string& kind, size_t count = 1) {
    return PumpUntil([&] { return CountOf(kind) >= count; });
  }
  uint32_t ConnectClient(TTestClient& client) {
    const size_t before = CountOf("connect");
    EXPECT_TRUE(client.Connect(Name));
    EXPECT_TRUE(WaitFor("connect", before + 1));
    return Last("connect") ? Last("connect")->Pipe : 0;
  }

  std::string Name;
  std::unique_ptr<TPipeServer> Server;
  std::vector<TEventRecord> Events;
  std::function<void(uint32_t pipe, const std::string& data)> OnMessage;
};

}  // namespace

TEST_F(PipeServerTest, PipeNamesAndActivation) {
  EXPECT_NO_THROW(Server->SetPipeName(std::string(MAX_NAME, 'n')));
  for (const std::string& bad : {std::string(MAX_NAME + 1, 'n'), std::string(), std::string("a\\b")}) {
    try {
      Server->SetPipeName(bad);
      ADD_FAILURE() << "accepted " << bad.size() << " characters";
    } catch (const EPipeException& e) {
      EXPECT_STREQ(e.ClassName(), "EPipeException");
      EXPECT_EQ(e.Message(), "Invalid pipe name specified!");
    }
  }
  EXPECT_EQ(Server->GetPipeName(), std::string(MAX_NAME, 'n'));
  Server->SetPipeName(Name);

  Server->SetActive(false);  // inactive: nothing happens
  EXPECT_FALSE(Server->GetActive());
  Server->SetActive(true);
  Server->SetActive(true);
  EXPECT_TRUE(Server->GetActive());
  EXPECT_NO_THROW(Server->SetPipeName(Name));  // the same name is no change
  try {
    Server->SetPipeName(Name + "x");
    ADD_FAILURE();
  } catch (const EPipeException& e) {
    EXPECT_EQ(e.Message(), "Cannot change property while server is active!");
  }

  // A second server cannot take the name; it stays inactive.
  TPipeServer other;
  other.SetPipeName(Name);
  try {
    other.SetActive(true);
    ADD_FAILURE();
  } catch (const EPipeException& e) {
    EXPECT_EQ(e.Message(), "Pipe \"" + Name + "\" is already in use by another program");
  }
  EXPECT_FALSE(other.GetActive());

  // The first one still serves, and the name is free again once it stops.
  TTestClient client;
  EXPECT_NE(ConnectClient(client), 0u);
  Server->SetActive(false);
  EXPECT_FALSE(Server->GetActive());
  EXPECT_EQ(Server->GetClientCount(), 0);
  other.SetActive(true);
  EXPECT_TRUE(other.GetActive());
}

TEST_F(PipeServerTest, RequestReplyAndTheOrderOfEvents) {
  OnMessage = [this](uint32_t pipe, const std::string& data) {
    const std::string reply = "pong:" + data;
    EXPECT_TRUE(Server->Write(pipe, reply.data(), static_cast<int32_t>(reply.size())));
  };
  Server->SetActive(true);
  TTestClient client;
  const uint32_t pipe = ConnectClient(client);
  ASSERT_TRUE(IsHandle(pipe));
  ASSERT_EQ(Server->GetClientCount(), 1);
  EXPECT_EQ(Server->GetClient(0), pipe);

  ASSERT_TRUE(client.SendPacket("ping"));
  EXPECT_EQ(client.Receive(20000, true), "pong:ping");
  ASSERT_TRUE(WaitFor("sent"));
  EXPECT_EQ(Last("sent")->Value, 9);

  // A prefixed write is one packet.
  EXPECT_TRUE(Server->Write(pipe, "ab", 2, "cd", 2));
  EXPECT_EQ(client.ReceivePacket(20000, true), "abcd");

  client.Close();
  ASSERT_TRUE(WaitFor("disconnect"));
  EXPECT_EQ(Kinds(), (std::vector<std::string>{"connect", "message", "sent", "sent", "disconnect"}));
  for (const auto& e : Events) EXPECT_EQ(e.Pipe, pipe);
  EXPECT_EQ(Server->GetClientCount(), 0);
  EXPECT_FALSE(Server->Write(pipe, "x", 1));
  EXPECT_FALSE(Server->Disconnect(pipe));
  EXPECT_TRUE(Server->Disconnect(0));
  EXPECT_TRUE(Server->Broadcast("x", 1));

  // Identities are never reused.
  TTestClient again;
  const uint32_t next = ConnectClient(again);
  EXPECT_NE(next, pipe);
}

TEST_F(PipeServerTest, EveryPacketIsReadWithOneReadIntoOneKeptBuffer) {
  struct TRead {
    uint32_t Pipe;
    size_t BufferSize, Length;
  };
  std::mutex lock;
  std::vector<TRead> reads;
  TPipeThread::SetReadTrace([&](uint32_t pipe, size_t bufferSize, size_t length) {
    std::lock_guard<std::mutex> g(lock);
    reads.push_back({pipe, bufferSize, length});
  });
  Server->SetActive(true);
  TTestClient client;
  const uint32_t pipe = ConnectClient(client);

  std::string request(200000, '\0');
  for (size_t i = 0; i < request.size(); ++i) request[i] = static_cast<char>('a' + i % 26);
  ASSERT_TRUE(client.SendPacket(request));
  ASSERT_TRUE(WaitFor("message"));
  EXPECT_EQ(Events.back().Data, request);
  ASSERT_TRUE(client.SendPacket("small"));
  ASSERT_TRUE(WaitFor("message", 2));
  EXPECT_EQ(Events.back().Data, "small");
  Server->SetActive(false);
  TPipeThread::SetReadTrace(nullptr);

  std::lock_guard<std::mutex> g(lock);
  ASSERT_EQ(reads.size(), 2u) << "one read for each packet";
  for (const auto& r : reads) EXPECT_EQ(r.Pipe, pipe);
  EXPECT_GE(reads[0].BufferSize, 200000u) << "room for the packet from the start";
  EXPECT_EQ(reads[0].BufferSize, Platform::LargestPacket());
  EXPECT_EQ(reads[0].Length, 200000u);
  EXPECT_EQ(reads[1].BufferSize, reads[0].BufferSize) << "the buffer is kept";
  EXPECT_EQ(reads[1].Length, 5u);
}

TEST_F(PipeServerTest, FramedRequestsAreAssembledAndLongRepliesFramed) {
  std::string reply(150000, '\0');
  for (size_t i = 0; i < reply.size(); ++i) reply[i] = static_cast<char>(i * 7);
  OnMessage = [&](uint32_t pipe, const std::string&) {
    Server->Write(pipe, reply.data(), static_cast<int32_t>(reply.size()));
  };
  Server->SetActive(true);
  TTestClient client;
  ConnectClient(client);

  // An end with nothing open is ignored; a second start drops the first.
  for (const std::string& p : {ControlPacket(MB_END), ControlPacket(MB_START), std::string("lost"),
                               ControlPacket(MB_START), std::string("abc"), std::string(), std::string("defg"),
                               ControlPacket(MB_END)})
    ASSERT_TRUE(client.SendPacket(p));
  std::vector<size_t> packets;
  EXPECT_EQ(client.Receive(20000, true, &packets), reply);
  EXPECT_EQ(packets, (std::vector<size_t>{16, 65534, 65534, 18932, 16}));
  ASSERT_EQ(CountOf("message"), 1u);
  EXPECT_EQ(Last("message")->Data, "abcdefg");
  ASSERT_TRUE(WaitFor("sent", 5));
  EXPECT_EQ(Last("sent")->Value, 16);
}

TEST_F(PipeServerTest, SendStreamAlwaysFramesEvenAnEmptyStream) {
  Server->SetActive(true);
  TTestClient client;
  const uint32_t pipe = ConnectClient(client);
  TFastMemStream empty;
  EXPECT_FALSE(Server->SendStream(pipe, nullptr));
  EXPECT_FALSE(Server->SendStream(pipe + 1000, &empty));
  EXPECT_TRUE(Server->SendStream(pipe, &empty));
  std::vector<size_t> packets;
  EXPECT_EQ(client.Receive(20000, true, &packets), "");
  EXPECT_EQ(packets, (std::vector<size_t>{16, 16}));

  TFastMemStream data;
  data.WriteBuffer("hello", 5);  // position at the end: SendStream starts from 0
  EXPECT_TRUE(Server->SendStream(pipe, &data));
  packets.clear();
  EXPECT_EQ(client.Receive(20000, true, &packets), "hello");
  EXPECT_EQ(packets, (std::vector<size_t>{16, 5, 16}));
}

TEST_F(PipeServerTest, ClientsLeavingEarlyCauseNoErrorAndLeaveNoFile) {
  char dirTemplate[] = "/tmp/velmar-pmm-XXXXXX";
  ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp ? oldTmp : "";
  ::setenv("TMPDIR", dir.c_str(), 1);

  TTestClient first;
  OnMessage = [&](uint32_t pipe, const std::string&) {
    first.Close();  // gone before its reply is written
    Server->Write(pipe, "reply", 5);
  };
  Server->SetActive(true);
  ConnectClient(first);
  ASSERT_TRUE(first.SendPacket("request"));
  ASSERT_TRUE(WaitFor("disconnect"));

  // Gone in the middle of a multi-packet message: nothing is delivered.
  OnMessage = nullptr;
  TTestClient second;
  ConnectClient(second);
  ASSERT_TRUE(second.SendPacket(ControlPacket(MB_START)));
  ASSERT_TRUE(second.SendPacket(std::string(70000, 'x')));
  second.Close();
  ASSERT_TRUE(WaitFor("disconnect", 2));

  EXPECT_EQ(CountOf("message"), 1u);
  EXPECT_EQ(CountOf("worker error"), 0u);
  EXPECT_EQ(CountOf("listener error"), 0u);
  EXPECT_EQ(FileCount(dir), 0u);
  if (oldTmp) ::setenv("TMPDIR", savedTmp.c_str(), 1);
  else ::unsetenv("TMPDIR");
  ::rmdir(dir.c_str());
}

TEST_F(PipeServerTest, DisconnectEndsOneClientOrAll) {
  EXPECT_TRUE(Server->Disconnect(0));
  Server->SetActive(true);
  TTestClient a, b, c;
  const uint32_t pa = ConnectClient(a);
  const uint32_t pb = ConnectClient(b);
  const uint32_t pc = ConnectClient(c);
  ASSERT_EQ(Server->GetClientCount(), 3);
  EXPECT_EQ(Server->GetClient(0), pa);
  EXPECT_EQ(Server->GetClient(2), pc);

  EXPECT_EQ(Server->BroadcastOrder(), (std::vector<uint32_t>{pc, pb, pa}));
  EXPECT_TRUE(Server->Broadcast("all", 3));
  EXPECT_EQ(a.ReceivePacket(20000, true), "all");
  EXPECT_EQ(b.ReceivePacket(20000, true), "all");
  EXPECT_EQ(c.ReceivePacket(20000, true), "all");

  EXPECT_TRUE(Server->Disconnect(pb));
  EXPECT_TRUE(b.HungUp(20000, true));
  ASSERT_TRUE(WaitFor("disconnect"));
  EXPECT_EQ(Last("disconnect")->Pipe, pb);
  EXPECT_EQ(Server->GetClientCount(), 2);

  EXPECT_TRUE(Server->Disconnect(0));
  ASSERT_TRUE(WaitFor("disconnect", 3));
  EXPECT_TRUE(a.HungUp(20000, true));
  EXPECT_TRUE(c.HungUp(20000, true));
  EXPECT_EQ(CountOf("worker error"), 0u);
  EXPECT_TRUE(Server->GetActive()) << "the listener goes on";
}

TEST_F(PipeServerTest, StoppingInsideAnEventIsDeferredUntilItReturns) {
  bool activeInside = false;
  OnMessage = [&](uint32_t, const std::string&) {
    Server->SetActive(false);
    activeInside = Server->GetActive();
  };
  Server->SetActive(true);
  TTestClient client;
  ConnectClient(client);
  ASSERT_TRUE(client.SendPacket("stop"));
  ASSERT_TRUE(PumpUntil([&] { return !Server->GetActive(); }));
  EXPECT_TRUE(activeInside);
  EXPECT_TRUE(client.HungUp());
  EXPECT_EQ(Kinds(), (std::vector<std::string>{"connect", "message", "disconnect"}));
  EXPECT_EQ(Server->GetClientCount(), 0);
}

TEST_F(PipeServerTest, DestroyingAnActiveServerStopsEveryThreadWithoutDisconnectEvents) {
  ASSERT_TRUE(PumpUntil([] { return PipeTest::PipeThreadCount() == 0; }));
  Server->SetActive(true);
  std::vector<std::unique_ptr<TTestClient>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<TTestClient>());
    ConnectClient(*clients.back());
  }
  EXPECT_EQ(PipeTest::PipeThreadCount(), 4u);
  Server.reset();
  EXPECT_EQ(CountOf("disconnect"), 0u);
  for (auto& c : clients) EXPECT_TRUE(c->HungUp());
  // The threads have finished their work; give them the moment to exit.
  EXPECT_TRUE(PumpUntil([] { return PipeTest::PipeThreadCount() == 0; }));
}

TEST_F(PipeServerTest, ServingFromAThreadThatDoesNotOwnTheServerIsReported) {
  // Started from another thread: the listener finds it was not created on
  // the server's thread and reports that instead of serving.
  std::thread other([this] { Server->SetActive(true); });
  other.join();
  bool raised = false;
  for (int pass = 0; pass < 200 && !raised; ++pass) {
    try {
      WaitMessage(100);
      ProcessMessages();
    } catch (const EPipeException& e) {
      EXPECT_EQ(e.Message(), "The notify window and the component window do not exist in the same thread!");
      raised = true;
    }
  }
  EXPECT_TRUE(raised);
}

TEST(PipeErrorCode, SocketErrorsAreReportedWithThePipeCodes) {
  EXPECT_EQ(PipeErrorCode(EPIPE), 109);         // the client hung up
  EXPECT_EQ(PipeErrorCode(ECONNRESET), 109);
  EXPECT_EQ(PipeErrorCode(ENOTCONN), 232);      // our end is shut down
  EXPECT_EQ(PipeErrorCode(EAGAIN), 997);
  EXPECT_EQ(PipeErrorCode(ECONNREFUSED), 2);
  EXPECT_EQ(PipeErrorCode(EACCES), 5);          // a client of another user
  EXPECT_EQ(PipeErrorCode(EMSGSIZE), ERROR_MESSAGE_TOO_LARGE);
  EXPECT_EQ(PipeErrorCode(EMFILE), EMFILE);     // no pipe counterpart: itself
}
