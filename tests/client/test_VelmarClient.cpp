#include "client/VelmarClient.h"
#include "DocsExamples.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Events.h"

using namespace Platform;

namespace {

class TNamespaceEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("VELMAR_PIPE_NAMESPACE", ("velmar-test-client-" + std::to_string(getpid()) + "-").c_str(), 1);
  }
};
[[maybe_unused]] const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new TNamespaceEnv);

std::string UniqueName() {
  static int counter = 0;
  return "client" + std::to_string(++counter);
}

constexpr uint32_t kLong = 10000;  // generous: only reached when a test is broken

bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(kLong)) == 1;
}

// One raw pipe message, as the manager's worker would read it; empty
// optional-like result with ok=false on hang-up.
std::string ReadPacket(TLocalSocket& s, bool* ok = nullptr) {
  std::string out;
  std::vector<uint8_t> buf(MAX_BUFFER);
  for (;;) {
    size_t got = 0;
    const Platform::TIo code = s.ReadMessage(buf, got).Status;
    if (code == Platform::TIo::WouldBlock) {
      if (!WaitReadable(s.Fd())) break;
      continue;
    }
    if (code != Platform::TIo::Done) {
      if (ok) *ok = false;
      return out;
    }
    out.assign(reinterpret_cast<const char*>(buf.data()), got);
    break;
  }
  if (ok) *ok = true;
  return out;
}

void WritePacket(TLocalSocket& s, const std::string& data) {
  for (;;) {
    const TIo code = s.Write(data.data(), data.size()).Status;
    if (code != TIo::WouldBlock) {
      EXPECT_EQ(code, TIo::Done);
      return;
    }
    pollfd p{s.Fd(), POLLOUT, 0};
    ::poll(&p, 1, static_cast<int>(kLong));
  }
}

// Sends a message the way the manager queues its replies.
void WriteFramed(TLocalSocket& s, const std::string& message) {
  TWriteQueue q;
  q.Enqueue(message.data(), static_cast<int32_t>(message.size()));
  for (TPacket p; q.Dequeue(p);) WritePacket(s, std::string(p.begin(), p.end()));
}

// Reads one whole (possibly framed) message; false on hang-up.
bool ReadMessage(TLocalSocket& s, TPipeReceiver& r, std::string& message) {
  for (;;) {
    bool ok = false;
    const std::string packet = ReadPacket(s, &ok);
    if (!ok) return false;
    bool delivered = false;
    r.Receive(PacketBytes(packet), [&](const TPipeMessage& m) {
      message = m.Text();
      delivered = true;
    });
    if (delivered) return true;
  }
}

// A listening peer that runs body on the first connection, on its own thread.
class TPeer {
 public:
  explicit TPeer(std::function<void(TLocalSocket&)> body) : Name(UniqueName()) {
    EXPECT_EQ(FListener.Listen(Name), 0);
    FThread = std::thread([this, body = std::move(body)] {
      TLocalSocket s;
      if (!WaitReadable(FListener.Fd()) || !FListener.Accept(s).Done()) return;
      body(s);
    });
  }
  ~TPeer() { FThread.join(); }
  const std::string Name;

 private:
  TLocalListener FListener;
  std::thread FThread;
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 23 + i / 65534);
  return s;
}

}  // namespace

TEST(VelmarClient, ConnectTimesOutAndUnconnectedUseFails) {
  TVelmarClient c;
  EXPECT_THROW(c.Connect(UniqueName(), 30), EVelmarClientTimeout);
  EXPECT_FALSE(c.Connected());
  EXPECT_THROW(c.Send("x"), EVelmarClientDisconnected);
  EXPECT_THROW(c.Receive(10), EVelmarClientDisconnected);
  EXPECT_THROW(c.Call("Echo", nlohmann::json::object(), 10), EVelmarClientDisconnected);
}

TEST(VelmarClient, ConnectFindsAListenerThatComesLater) {
  const std::string name = UniqueName();
  TVelmarClient c;
  std::thread connecting([&] { c.Connect(name, kLong); });
  TLocalListener listener;
  ASSERT_EQ(listener.Listen(name), 0);
  connecting.join();
  EXPECT_TRUE(c.Connected());
  TLocalSocket s;
  ASSERT_TRUE(WaitReadable(listener.Fd()));
  ASSERT_TRUE(listener.Accept(s).Done());
  c.Send("hello");
  EXPECT_EQ(ReadPacket(s), "hello");
}

TEST(VelmarClient, SendCutsLongMessagesLikeTheManager) {
  std::vector<std::string> packets;
  const std::string big = Pattern(140000);
  {
    TPeer peer([&](TLocalSocket& s) {
      for (int i = 0; i < 7; ++i) packets.push_back(ReadPacket(s));
    });
    TVelmarClient c;
    c.Connect(peer.Name, kLong);
    c.Send(big);
    c.Send(Pattern(65534));
    c.Send("");
  }
  ASSERT_EQ(packets.size(), 7u);
  std::vector<size_t> sizes;
  for (const auto& p : packets) sizes.push_back(p.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{16, 65534, 65534, 8932, 16, 65534, 0}));
  uint32_t code = 0;
  EXPECT_TRUE(DecodePipeMsgBlock(packets[0].data(), 16, code) && code == MB_START);
  EXPECT_TRUE(DecodePipeMsgBlock(packets[4].data(), 16, code) && code == MB_END);
  EXPECT_EQ(packets[1] + packets[2] + packets[3], big);
}

TEST(VelmarClient, ReceiveReassemblesFramedMessages) {
  const std::string big = Pattern(200000);
  TPeer peer([&](TLocalSocket& s) {
    WriteFramed(s, big);
    WriteFramed(s, "short");
    WriteFramed(s, "");
  });
  TVelmarClient c;
  c.Connect(peer.Name, kLong);
  EXPECT_EQ(c.Receive(kLong), big);
  EXPECT_EQ(c.Receive(kLong), "short");
  EXPECT_EQ(c.Receive(kLong), "");
  EXPECT_THROW(c.Receive(kLong), EVelmarClientDisconnected);
}

TEST(VelmarClient, CallSendsJsonRpcWithIncreasingIds) {
  std::vector<nlohmann::json> requests;
  {
    TPeer peer([&](TLocalSocket& s) {
      TPipeReceiver r;
      std::string text;
      bool first = true;
      while (ReadMessage(s, r, text)) {
        const auto request = nlohmann::json::parse(text);
        requests.push_back(request);
        if (first) {
          // A late reply to some earlier call comes first; the client skips it.
          WriteFramed(s, R"({"jsonrpc":"2.0","result":false,"id":999})");
          first = false;
        }
        nlohmann::json reply = {{"jsonrpc", "2.0"}, {"id", request["id"]}};
        if (request["method"] == "Big")
          reply["result"] = Pattern(100000);
        else
          reply["result"] = request["params"]["Value"];
        WriteFramed(s, reply.dump());
      }
    });
    TVelmarClient c;
    c.Connect(peer.Name, kLong);
    EXPECT_EQ(c.NextId(), 1);
    const auto r1 = c.Call("Echo", {{"ClientID", 0}, {"Value", 42}}, kLong);
    EXPECT_EQ(r1["id"], 1);
    EXPECT_EQ(r1["result"], 42);
    const auto r2 = c.Call("Echo", {{"ClientID", 0}, {"Value", -7}}, kLong);
    EXPECT_EQ(r2["id"], 2);
    EXPECT_EQ(r2["result"], -7);
    // The reply is longer than one packet and comes framed.
    const auto r3 = c.Call("Big", nlohmann::json::object(), kLong);
    EXPECT_EQ(r3["id"], 3);
    EXPECT_EQ(r3["result"], Pattern(100000));
    c.Close();
  }
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0]["jsonrpc"], "2.0");
  EXPECT_EQ(requests[0]["method"], "Echo");
  EXPECT_EQ(requests[0]["params"]["ClientID"], 0);
  EXPECT_EQ(requests[0]["params"]["Value"], 42);
  EXPECT_EQ(requests[0]["id"], 1);
  EXPECT_EQ(requests[2]["id"], 3);
}

TEST(VelmarClient, TimeOutThenDisconnectAreTold) {
  TEvent release;
  TPeer peer([&](TLocalSocket& s) {
    TPipeReceiver r;
    std::string text;
    EXPECT_TRUE(ReadMessage(s, r, text));  // the call, left unanswered
    release.WaitFor(kLong);
    // Half a framed message, then the hang-up.
    TWriteQueue q;
    q.EnqueueStartPacket();
    TPacket start;
    ASSERT_TRUE(q.Dequeue(start));
    WritePacket(s, std::string(start.begin(), start.end()));
    WritePacket(s, "partial");
  });
  TVelmarClient c;
  c.Connect(peer.Name, kLong);
  EXPECT_THROW(c.Call("StartTimeStep", {{"ClientID", 1}}, 30), EVelmarClientTimeout);
  release.Set();
  EXPECT_THROW(c.Receive(kLong), EVelmarClientDisconnected);
}

TEST(VelmarClient, ReplyThatIsNotJsonIsAnError) {
  TPeer peer([&](TLocalSocket& s) {
    TPipeReceiver r;
    std::string text;
    if (ReadMessage(s, r, text)) WriteFramed(s, "not json");
  });
  TVelmarClient c;
  c.Connect(peer.Name, kLong);
  try {
    c.Call("Initialize", {{"ClientID", 0}}, kLong);
    ADD_FAILURE() << "no error";
  } catch (const EVelmarClientTimeout&) {
    ADD_FAILURE() << "reported as a time-out";
  } catch (const EVelmarClientDisconnected&) {
    ADD_FAILURE() << "reported as a disconnect";
  } catch (const EVelmarClientError& e) {
    EXPECT_NE(std::string(e.Message()).find("not JSON"), std::string::npos) << e.Message();
  }
}

// ---- the examples in docs/engine-protocol.md, run against a stand-in ----

namespace {

using DocsExamples::HaveProgram;

// Runs a shell command and returns its standard output and exit status.
std::string RunShell(const std::string& command, int& status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  status = pclose(p);
  return out;
}

// Listens at "VelmarManager" (in this process's namespace) and answers like
// a manager would: Echo with its value, Big with a 100,000-character string,
// anything else with the no-handler error.
class TStandInManager {
 public:
  TStandInManager() : FListener() {
    EXPECT_EQ(FListener.Listen("VelmarManager"), 0);
    FThread = std::thread([this] {
      TLocalSocket s;
      if (!WaitReadable(FListener.Fd()) || !FListener.Accept(s).Done()) return;
      TPipeReceiver r;
      std::string text;
      while (ReadMessage(s, r, text)) {
        Requests.push_back(text);
        const auto request = nlohmann::json::parse(text, nullptr, false);
        nlohmann::json reply = {{"jsonrpc", "2.0"}, {"id", request.value("id", 0)}};
        const std::string method = request.value("method", "");
        if (method == "Echo")
          reply["result"] = request["params"]["Value"];
        else if (method == "Big")
          reply["result"] = Pattern(100000);
        else
          reply["error"] = {{"message", "No methods are supported!"}, {"code", -32601}};
        WriteFramed(s, reply.dump());
      }
    });
  }
  ~TStandInManager() { Join(); }
  // Returns once the client has hung up and the stand-in has stopped.
  void Join() {
    if (FThread.joinable()) FThread.join();
  }
  std::vector<std::string> Requests;

 private:
  TLocalListener FListener;
  std::thread FThread;
};

}  // namespace

TEST(EngineProtocolDocs, PythonExampleTalksToTheManager) {
  if (!HaveProgram("python3")) GTEST_SKIP() << "python3 not installed";
  const std::string code = DocsExamples::Block("python");
  ASSERT_FALSE(code.empty());
  char dir[] = "/tmp/velmar-pyexample-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string module = std::string(dir) + "/engine.py";
  FILE* f = std::fopen(module.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fwrite(code.data(), 1, code.size(), f);
  std::fclose(f);
  const std::string driver =
      "import sys; sys.path.insert(0, '" + std::string(dir) + "'); import engine\n"
      "e = engine.Engine(client_id=3)\n"
      "r = e.call('Echo', Value=42)\n"
      "assert r['result'] == 42 and r['id'] == 1, r\n"
      "r = e.call('Big', Pad='y' * 70000)\n"
      "assert len(r['result']) == 100000 and r['id'] == 2\n"
      "print('ok')\n";
  int status = 0;
  std::string out;
  std::vector<std::string> requests;
  {
    TStandInManager manager;
    out = RunShell("python3 -c \"" + driver + "\" 2>&1", status);
    manager.Join();
    requests = manager.Requests;
  }
  unlink(module.c_str());
  std::system(("rm -rf '" + std::string(dir) + "'").c_str());
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out, "ok\n");
  ASSERT_EQ(requests.size(), 2u) << out;
  const auto second = nlohmann::json::parse(requests[1]);
  EXPECT_EQ(second["params"]["Pad"].get<std::string>().size(), 70000u);  // framed on the way in
  EXPECT_EQ(second["params"]["ClientID"], 3);
}

TEST(EngineProtocolDocs, SocatOneLinerTalksToTheManager) {
  if (!HaveProgram("socat")) GTEST_SKIP() << "socat not installed";
  const std::string command = DocsExamples::Block("sh");
  ASSERT_FALSE(command.empty());
  int status = 0;
  std::string out;
  {
    TStandInManager manager;
    out = RunShell(command, status);
  }
  EXPECT_EQ(status, 0);
  const auto reply = nlohmann::json::parse(out, nullptr, false);
  ASSERT_FALSE(reply.is_discarded()) << out;
  EXPECT_EQ(reply["result"], 42);
  EXPECT_EQ(reply["id"], 1);
}
