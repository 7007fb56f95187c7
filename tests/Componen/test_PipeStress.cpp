// Many clients at once, and many connections one after another.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cerrno>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Componen/PipeTestSupport.h"
#include "Shared/Componen/Pipes.h"

using namespace Platform;
using PipeTest::PumpUntil;
using PipeTest::TTestClient;

namespace {

size_t EntryCount(const char* dir) {
  size_t n = 0;
  if (DIR* d = ::opendir(dir)) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') ++n;
    ::closedir(d);
  }
  return n;
}

}  // namespace

TEST(PipeStress, SixtyFourClientsEachGetTheirOwnThousandReplies) {
  PipeTest::UseOwnPipeNamespace();
  const std::string name = "stress-calls";
  TPipeServer server;
  server.SetPipeName(name);
  std::atomic<int> messages{0};
  server.SetOnPipeMessage([&](TPipeServer* sender, uint32_t pipe, const TPipeMessage& message) {
    // The reply names the connection it was meant for.
    const std::string reply = std::to_string(pipe) + "|" + message.Text();
    sender->Write(pipe, reply.data(), static_cast<int32_t>(reply.size()));
    ++messages;
  });
  std::vector<uint32_t> connected;
  server.SetOnPipeConnect([&](TPipeServer*, uint32_t pipe) { connected.push_back(pipe); });
  server.SetActive(true);

  constexpr int kClients = 64;
  constexpr int kCalls = 1000;
  std::atomic<int> finished{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> clients;
  std::vector<std::string> prefixes(kClients);  // each client's connection, learnt from its first reply
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      TTestClient client;
      if (!client.Connect(name)) {
        ++wrong;
        ++finished;
        return;
      }
      for (int i = 0; i < kCalls; ++i) {
        const std::string call = "c" + std::to_string(c) + ":" + std::to_string(i);
        if (!client.SendPacket(call)) {
          ++wrong;
          break;
        }
        const auto reply = client.Receive(60000);
        const size_t bar = reply ? reply->find('|') : std::string::npos;
        if (bar == std::string::npos || reply->substr(bar + 1) != call) {
          ++wrong;
          break;
        }
        if (i == 0) prefixes[c] = reply->substr(0, bar);
        else if (reply->substr(0, bar) != prefixes[c]) {
          ++wrong;
          break;
        }
      }
      ++finished;
    });
  }
  EXPECT_TRUE(PumpUntil([&] { return finished.load() == kClients; }, {}, 600000));
  for (auto& t : clients) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(messages.load(), kClients * kCalls);
  // Every client saw replies for its own connection only.
  std::vector<std::string> seen(prefixes);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(std::unique(seen.begin(), seen.end()), seen.end());
  EXPECT_EQ(connected.size(), static_cast<size_t>(kClients));
  server.SetActive(false);
}

TEST(PipeStress, TenThousandConnectionsLeaveNothingBehind) {
  PipeTest::UseOwnPipeNamespace();
  const std::string name = "stress-cycles";
  // Threads of earlier tests may still be exiting (and closing their queues).
  ASSERT_TRUE(PumpUntil([] { return PipeTest::PipeThreadCount() == 0; }));
  const size_t fdsBefore = EntryCount("/proc/self/fd");
  {
    TPipeServer server;
    server.SetPipeName(name);
    int connects = 0, disconnects = 0, errors = 0, messages = 0;
    server.SetOnPipeConnect([&](TPipeServer*, uint32_t) { ++connects; });
    server.SetOnPipeDisconnect([&](TPipeServer*, uint32_t) { ++disconnects; });
    server.SetOnPipeError([&](TPipeServer*, uint32_t, TPipeContext, int32_t) { ++errors; });
    server.SetOnPipeMessage([&](TPipeServer* sender, uint32_t pipe, const TPipeMessage&) {
      ++messages;
      sender->Write(pipe, "ok", 2);
    });
    server.SetActive(true);
    constexpr int kCycles = 10000;
    for (int i = 0; i < kCycles; ++i) {
      TTestClient client;
      ASSERT_TRUE(client.Connect(name));
      if (i % 10 == 0) {
        // Some clients make a call first; the rest just come and go.
        ASSERT_TRUE(client.SendPacket("hi"));
        ASSERT_EQ(client.Receive(20000, true), "ok") << "cycle " << i;
      }
      client.Close();
      ASSERT_TRUE(PumpUntil([&] { return disconnects == i + 1; }));
    }
    EXPECT_EQ(connects, kCycles);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(messages, kCycles / 10);
    EXPECT_EQ(server.GetClientCount(), 0);
  }
  ProcessMessages();
  EXPECT_TRUE(PumpUntil([] { return PipeTest::PipeThreadCount() == 0; }));
  EXPECT_EQ(EntryCount("/proc/self/fd"), fdsBefore);
}

TEST(PipeStress, AFailingAcceptIsReportedAndRetriedUntilItWorks) {
  PipeTest::UseOwnPipeNamespace();
  const std::string name = "stress-accept";
  TPipeServer server;
  server.SetPipeName(name);
  std::vector<std::pair<uint32_t, int32_t>> errors;
  int connects = 0;
  server.SetOnPipeError([&](TPipeServer*, uint32_t pipe, TPipeContext context, int32_t code) {
    EXPECT_EQ(context, pcListener);
    errors.emplace_back(pipe, code);
  });
  server.SetOnPipeConnect([&](TPipeServer*, uint32_t) { ++connects; });
  server.SetActive(true);
  // Make sure the listener thread has its message queue before descriptors run out.
  TTestClient warmUp;
  ASSERT_TRUE(warmUp.Connect(name));
  ASSERT_TRUE(PumpUntil([&] { return connects == 1; }));

  // Every descriptor slot below the limit taken: accept fails with EMFILE.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int highest = 0;
  if (DIR* d = ::opendir("/proc/self/fd")) {
    while (dirent* e = ::readdir(d))
      if (e->d_name[0] != '.') highest = std::max(highest, std::atoi(e->d_name));
    ::closedir(d);
  }
  std::vector<int> fillers;
  int top = highest;
  for (;;) {
    const int fd = ::dup(2);
    if (fd < 0) break;
    fillers.push_back(fd);
    if (fd >= highest) {
      top = fd;
      break;
    }
  }
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(top + 1);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  // The one slot left goes to the client.
  ::close(fillers.back());
  fillers.pop_back();
  TTestClient client;
  ASSERT_TRUE(client.Connect(name));
  const bool reported = PumpUntil([&] { return errors.size() >= 2; }, {}, 20000);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  for (int fd : fillers) ::close(fd);
  ASSERT_TRUE(reported);
  for (const auto& [pipe, code] : errors) {
    EXPECT_EQ(pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(code, EMFILE);
  }
  // With descriptors back, the waiting client is accepted.
  EXPECT_TRUE(PumpUntil([&] { return connects == 2; }));
  server.SetActive(false);
}
