#include "platform/LocalSocket.h"

#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/Events.h"

using namespace Platform;

namespace {

// Every test process gets its own namespace so parallel runs never meet.
class TNamespaceEnv : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("VELMAR_PIPE_NAMESPACE", ("velmar-test-socket-" + std::to_string(getpid()) + "-").c_str(), 1);
  }
};
[[maybe_unused]] const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new TNamespaceEnv);

std::string UniqueName() {
  static int counter = 0;
  return "pipe" + std::to_string(++counter);
}

bool WaitFd(int fd, short events, int ms = 10000) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, ms) == 1;
}

// A connected server/client pair over a real listening name.
struct TConnection {
  TLocalListener Listener;
  TLocalSocket Server, Client;
  void Open() {
    const std::string name = UniqueName();
    ASSERT_EQ(Listener.Listen(name), 0);
    ASSERT_TRUE(Client.Connect(name).Done());
    ASSERT_TRUE(WaitFd(Listener.Fd(), POLLIN));
    ASSERT_TRUE(Listener.Accept(Server).Done());
  }
};

TIo Send(TLocalSocket& s, const std::string& data) { return s.Write(data.data(), data.size()).Status; }

// Waits for and reads one whole message, starting with a buffer of bufSize
// bytes.
std::string ReadWhole(TLocalSocket& s, size_t bufSize) {
  std::vector<uint8_t> buf(bufSize);
  for (;;) {
    size_t got = 0;
    const TIo code = s.ReadMessage(buf, got).Status;
    if (code == TIo::WouldBlock) {
      EXPECT_TRUE(WaitFd(s.Fd(), POLLIN));
      continue;
    }
    EXPECT_EQ(code, TIo::Done);
    return std::string(reinterpret_cast<const char*>(buf.data()), got);
  }
}

}  // namespace

TEST(LocalSocket, NamesAreExclusiveAndNamespaced) {
  const std::string name = UniqueName();
  TLocalListener a, b;
  ASSERT_EQ(a.Listen(name), 0);
  EXPECT_EQ(b.Listen(name), EADDRINUSE);

  // The same name in another namespace is another address.
  const std::string saved = std::getenv("VELMAR_PIPE_NAMESPACE");
  setenv("VELMAR_PIPE_NAMESPACE", (saved + "other-").c_str(), 1);
  TLocalSocket c;
  EXPECT_TRUE(NobodyListens(c.Connect(name)));
  EXPECT_EQ(b.Listen(name), 0);
  setenv("VELMAR_PIPE_NAMESPACE", saved.c_str(), 1);

  // An abstract name is free again as soon as its socket is closed.
  a.Close();
  TLocalListener again;
  EXPECT_EQ(again.Listen(name), 0);

  TLocalSocket none;
  EXPECT_TRUE(NobodyListens(none.Connect(UniqueName())));
  EXPECT_FALSE(none.IsOpen());
  TLocalSocket pending;
  EXPECT_EQ(again.Accept(pending).Status, TIo::WouldBlock);
}

TEST(LocalSocket, MessagesKeepTheirBoundariesBothWays) {
  TConnection c;
  ASSERT_NO_FATAL_FAILURE(c.Open());
  size_t got = 0;
  std::vector<uint8_t> buf(16);
  EXPECT_EQ(c.Server.ReadMessage(buf, got).Status, TIo::WouldBlock);
  EXPECT_FALSE(c.Server.HasMessage());

  EXPECT_EQ(Send(c.Client, "first"), TIo::Done);
  EXPECT_EQ(Send(c.Client, "second"), TIo::Done);
  EXPECT_EQ(Send(c.Server, "reply"), TIo::Done);
  EXPECT_TRUE(c.Server.HasMessage());
  EXPECT_EQ(ReadWhole(c.Server, 100), "first");
  EXPECT_EQ(ReadWhole(c.Server, 100), "second");
  EXPECT_EQ(ReadWhole(c.Client, 100), "reply");
}

TEST(LocalSocket, LongMessageIsReadOnceIntoABufferGrownToIt) {
  TConnection c;
  ASSERT_NO_FATAL_FAILURE(c.Open());
  std::string big(200000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  ASSERT_EQ(Send(c.Client, big), TIo::Done);
  ASSERT_EQ(Send(c.Client, "next"), TIo::Done);
  ASSERT_TRUE(WaitFd(c.Server.Fd(), POLLIN));

  // Longer than the bound: refused, left unread, the buffer untouched.
  std::vector<uint8_t> buf(65534);
  size_t got = 99;
  const TIoResult refused = c.Server.ReadMessage(buf, got, 199999);
  EXPECT_EQ(refused.Status, TIo::Failed);
  EXPECT_EQ(refused.Errno, EMSGSIZE);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(buf.size(), 65534u);

  EXPECT_EQ(c.Server.ReadMessage(buf, got, 200000).Status, TIo::Done);
  EXPECT_EQ(got, 200000u);
  EXPECT_EQ(buf.size(), 200000u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf.data()), got), big);
  // The following message is untouched, and the buffer does not shrink.
  EXPECT_EQ(c.Server.ReadMessage(buf, got).Status, TIo::Done);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf.data()), got), "next");
  EXPECT_EQ(buf.size(), 200000u);
}

TEST(LocalSocket, EmptyMessageIsNotAHangUp) {
  TConnection c;
  ASSERT_NO_FATAL_FAILURE(c.Open());
  ASSERT_EQ(Send(c.Client, ""), TIo::Done);
  ASSERT_TRUE(WaitFd(c.Server.Fd(), POLLIN));
  size_t got = 99;
  std::vector<uint8_t> buf(8);
  EXPECT_EQ(c.Server.ReadMessage(buf, got).Status, TIo::Done);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(c.Server.ReadMessage(buf, got).Status, TIo::WouldBlock);

  // Queued messages, the last one empty, then the hang-up: all are read
  // before the hang-up shows.
  ASSERT_EQ(Send(c.Client, "x"), TIo::Done);
  ASSERT_EQ(Send(c.Client, ""), TIo::Done);
  c.Client.Close();
  EXPECT_EQ(c.Server.ReadMessage(buf, got).Status, TIo::Done);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(c.Server.ReadMessage(buf, got).Status, TIo::Done);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(c.Server.ReadMessage(buf, got).Status, TIo::PeerGone);
  EXPECT_EQ(c.Server.ReadMessage(buf, got).Status, TIo::PeerGone);
  // Writing to a closed peer is an error code, not SIGPIPE.
  EXPECT_EQ(Send(c.Server, "late"), TIo::PeerGone);
}

TEST(LocalSocket, FullSocketReportsPending) {
  TConnection c;
  ASSERT_NO_FATAL_FAILURE(c.Open());
  const std::string chunk(60000, 'a');
  TIo code = TIo::Done;
  int sent = 0;
  while (sent < 10000 && (code = Send(c.Client, chunk)) == TIo::Done) ++sent;
  EXPECT_EQ(code, TIo::WouldBlock);
  EXPECT_GT(c.Client.UnsentBytes(), 0u);
  // Draining the reader's side makes the writer writable again.
  for (int i = 0; i < sent; ++i) ASSERT_EQ(ReadWhole(c.Server, 65534), chunk);
  EXPECT_EQ(c.Client.UnsentBytes(), 0u);
  ASSERT_TRUE(WaitFd(c.Client.Fd(), POLLOUT, 0));
  EXPECT_EQ(Send(c.Client, chunk), TIo::Done);
}

TEST(LocalSocket, FlushWaitsForTheReaderOrTheKillEvent) {
  TConnection c;
  ASSERT_NO_FATAL_FAILURE(c.Open());
  EXPECT_TRUE(c.Server.Flush());  // nothing sent

  ASSERT_EQ(Send(c.Server, "unread"), TIo::Done);
  EXPECT_GT(c.Server.UnsentBytes(), 0u);
  TEvent kill;
  kill.Set();
  EXPECT_FALSE(c.Server.Flush(kill.Fd()));

  // A reader on another thread lets the flush complete.
  kill.Reset();
  std::string read;
  std::thread reader([&] { read = ReadWhole(c.Client, 100); });
  EXPECT_TRUE(c.Server.Flush(kill.Fd()));
  reader.join();
  EXPECT_EQ(read, "unread");
  EXPECT_EQ(c.Server.UnsentBytes(), 0u);

  // A peer that goes away ends the flush too.
  ASSERT_EQ(Send(c.Server, "never read"), TIo::Done);
  std::thread closer([&] { c.Client.Close(); });
  EXPECT_TRUE(c.Server.Flush(kill.Fd()));
  closer.join();
}

TEST(LocalSocket, PairAndShutdown) {
  TLocalSocket a, b;
  ASSERT_TRUE(TLocalSocket::Pair(a, b));
  ASSERT_EQ(Send(a, "hi"), TIo::Done);
  EXPECT_EQ(ReadWhole(b, 10), "hi");
  a.Shutdown();
  ASSERT_TRUE(WaitFd(b.Fd(), POLLIN));
  size_t got = 0;
  std::vector<uint8_t> buf(4);
  EXPECT_EQ(b.ReadMessage(buf, got).Status, TIo::PeerGone);
  // Moving hands the descriptor over.
  TLocalSocket moved(std::move(b));
  EXPECT_FALSE(b.IsOpen());
  EXPECT_TRUE(moved.IsOpen());
}
