#include "platform/Messages.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Events.h"

using namespace Platform;

namespace {

constexpr uint32_t WM_TEST = 0x0400;
constexpr uint32_t WM_OTHER = 0x0401;

bool Readable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1;
}

// Serves the calling thread's queue until done is true.
void ServeUntil(const std::atomic<bool>& done) {
  while (!done.load()) {
    WaitMessage(INFINITE);
    ProcessMessages();
  }
}

}  // namespace

TEST(Messages, SendFromAnotherThreadRunsOnOwnerAndWaitsForTheResult) {
  const uint32_t owner = GetCurrentThreadId();
  uint32_t ranOn = 0;
  bool inSend = false;
  HWND wnd = CreateWindow([&](HWND, uint32_t msg, WPARAM w, LPARAM l) -> LRESULT {
    ranOn = GetCurrentThreadId();
    inSend = InSendMessage();
    return msg == WM_TEST ? static_cast<LRESULT>(w) + l : -1;
  });
  ASSERT_NE(wnd, 0u);
  EXPECT_EQ(GetWindowThreadId(wnd), owner);

  std::atomic<bool> returned{false};
  LRESULT result = 0;
  std::thread sender([&] {
    result = SendMessage(wnd, WM_TEST, 40, 2);
    returned = true;
  });
  ASSERT_TRUE(WaitMessage(INFINITE));
  EXPECT_TRUE(HasMessages(true));
  EXPECT_FALSE(returned.load()) << "the sender must block until the owner handled the message";
  EXPECT_TRUE(ProcessMessages());
  sender.join();
  EXPECT_EQ(result, 42);
  EXPECT_EQ(ranOn, owner);
  EXPECT_TRUE(inSend);
  EXPECT_FALSE(InSendMessage());

  // On the owner thread the callback is called directly, not as a cross-thread send.
  EXPECT_EQ(SendMessage(wnd, WM_TEST, 1, 1), 2);
  EXPECT_FALSE(inSend);
  EXPECT_FALSE(HasMessages());
  DestroyWindow(wnd);
}

TEST(Messages, SendToAMissingOrDestroyedWindowGivesZeroAndNeverHangs) {
  EXPECT_EQ(SendMessage(0, WM_TEST, 0, 0), 0);
  EXPECT_FALSE(IsWindow(0));

  int calls = 0;
  HWND wnd = CreateWindow([&](HWND, uint32_t, WPARAM, LPARAM) -> LRESULT { return ++calls; });
  EXPECT_TRUE(IsWindow(wnd));

  // Destroyed while a sender waits: the sender gets 0 and the callback never runs.
  LRESULT result = -1;
  std::thread sender([&] { result = SendMessage(wnd, WM_TEST, 0, 0); });
  ASSERT_TRUE(WaitMessage(INFINITE));
  EXPECT_TRUE(DestroyWindow(wnd));
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(IsWindow(wnd));
  EXPECT_FALSE(HasMessages());
  ProcessMessages();
  EXPECT_EQ(calls, 0);

  // Already gone: 0 at once, posting fails, destroying again fails.
  std::thread late([&] { result = SendMessage(wnd, WM_TEST, 0, 0); });
  late.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(PostMessage(wnd, WM_TEST, 0, 0));
  EXPECT_FALSE(DestroyWindow(wnd));

  // A fresh window never gets an old window's handle.
  HWND again = CreateWindow(nullptr);
  EXPECT_NE(again, wnd);
  DestroyWindow(again);
}

TEST(Messages, WindowsOfAnEndingThreadGoWithItAndTheirSendersAreReleased) {
  std::atomic<HWND> wnd{0};  // atomic: the events below are invisible to TSan
  TEvent created, sending, release;
  std::thread owner([&] {
    wnd = CreateWindow([](HWND, uint32_t, WPARAM, LPARAM) -> LRESULT { return 7; });
    created.Set();
    // Wait until a send is queued, then end without serving it.
    while (!HasMessages(true)) MsgWaitForMultipleObjects({}, INFINITE, QS_SENDMESSAGE);
    sending.Set();
    release.WaitFor(INFINITE);
  });
  created.WaitFor(INFINITE);
  EXPECT_FALSE(DestroyWindow(wnd)) << "only the owner thread may destroy a window";
  LRESULT result = -1;
  std::thread sender([&] { result = SendMessage(wnd.load(), WM_TEST, 0, 0); });
  sending.WaitFor(INFINITE);
  release.Set();
  owner.join();
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(IsWindow(wnd));
}

TEST(Messages, PostedMessagesRunInOrderAfterSentOnesAndOnlyForLiveWindows) {
  std::vector<int> seen;
  HWND a = CreateWindow([&](HWND, uint32_t, WPARAM w, LPARAM) -> LRESULT {
    seen.push_back(static_cast<int>(w));
    return 0;
  });
  HWND b = CreateWindow([&](HWND, uint32_t, WPARAM w, LPARAM) -> LRESULT {
    seen.push_back(100 + static_cast<int>(w));
    return 0;
  });
  const int fd = QueueEventFd();
  EXPECT_FALSE(Readable(fd));
  EXPECT_TRUE(PostMessage(a, WM_TEST, 1, 0));
  EXPECT_TRUE(PostMessage(b, WM_TEST, 2, 0));
  EXPECT_TRUE(PostMessage(a, WM_TEST, 3, 0));
  EXPECT_TRUE(Readable(fd));
  EXPECT_FALSE(HasMessages(true));
  EXPECT_TRUE(seen.empty()) << "posting must not run the callback";

  std::thread sender([&] { SendMessage(a, WM_TEST, 9, 0); });
  while (!HasMessages(true)) WaitMessage(INFINITE);
  DestroyWindow(b);  // its posted message is dropped
  EXPECT_TRUE(ProcessMessages());
  sender.join();
  EXPECT_EQ(seen, (std::vector<int>{9, 1, 3}));
  EXPECT_FALSE(Readable(fd));
  EXPECT_FALSE(ProcessMessages());
  DestroyWindow(a);
}

TEST(Messages, NestedProcessingRunsMessagesArrivingMeanwhileBeforeItsCallerResumes) {
  std::vector<std::string> order;
  HWND wnd = 0;
  std::thread helper;
  wnd = CreateWindow([&](HWND self, uint32_t msg, WPARAM, LPARAM) -> LRESULT {
    if (msg == WM_TEST) {
      order.push_back("outer begins");
      // Another thread sends while this handler runs; a nested loop serves it.
      helper = std::thread([self] { SendMessage(self, WM_OTHER, 0, 0); });
      PostMessage(self, WM_OTHER, 1, 0);
      while (order.size() < 3) {
        WaitMessage(INFINITE);
        ProcessMessages();
      }
      order.push_back("outer ends");
    } else {
      order.push_back(InSendMessage() ? "nested sent" : "nested posted");
    }
    return 0;
  });
  PostMessage(wnd, WM_TEST, 0, 0);
  ProcessMessages();
  helper.join();
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order.front(), "outer begins");
  EXPECT_EQ(order.back(), "outer ends");
  EXPECT_NE(std::find(order.begin(), order.end(), "nested sent"), order.end());
  EXPECT_NE(std::find(order.begin(), order.end(), "nested posted"), order.end());
  DestroyWindow(wnd);
}

TEST(Messages, TwoThreadsSendingToEachOtherDoNotDeadlock) {
  HWND mine = CreateWindow([](HWND, uint32_t, WPARAM w, LPARAM) -> LRESULT { return static_cast<LRESULT>(w) * 2; });
  std::atomic<HWND> theirs{0};
  std::atomic<bool> stop{false};
  LRESULT fromMain = 0;
  std::thread other([&] {
    theirs = CreateWindow([&](HWND, uint32_t msg, WPARAM w, LPARAM) -> LRESULT {
      // Calls back into the main thread, which is blocked in its own send.
      return msg == WM_TEST ? SendMessage(mine, WM_TEST, w, 0) + 1 : 0;
    });
    ServeUntil(stop);
    DestroyWindow(theirs);
  });
  while (theirs.load() == 0) std::this_thread::yield();
  fromMain = SendMessage(theirs, WM_TEST, 10, 0);
  EXPECT_EQ(fromMain, 21);
  stop = true;
  PostMessage(theirs, WM_OTHER, 0, 0);
  other.join();
  DestroyWindow(mine);
}

// A watching send returns the handler's result whatever wakes it first: the
// watched descriptor before the handler is done (it then waits for the
// handler), the descriptor after it, or a message sent back to the sender.
TEST(Messages, AWatchingSendReturnsOnlyOnceTheMessageIsHandled) {
  TEvent watched(true, false);
  std::atomic<bool> handlerDone{false};
  std::atomic<int> mode{0};
  std::atomic<HWND> senderWnd{0};
  HWND owner = CreateWindow([&](HWND, uint32_t, WPARAM w, LPARAM) -> LRESULT {
    if (mode == 0) {
      // The descriptor fires while the handler still runs.
      watched.Set();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else if (mode == 2) {
      // The handler calls back into the blocked sender.
      return SendMessage(senderWnd, WM_TEST, w, 0) + 1;
    }
    handlerDone = true;
    return static_cast<LRESULT>(w) * 2;
  });
  std::atomic<bool> stop{false};
  std::vector<LRESULT> results;
  std::vector<bool> doneOnReturn;
  std::thread sender([&] {
    senderWnd = CreateWindow([](HWND, uint32_t, WPARAM w, LPARAM) -> LRESULT { return static_cast<LRESULT>(w) * 3; });
    const int fd[1] = {watched.Fd()};
    for (int m = 0; m < 3; ++m) {
      mode = m;
      handlerDone = false;
      watched.Reset();
      if (m == 1) {
        // The descriptor fires well after the handler has returned.
        std::thread later([&] {
          while (!handlerDone) std::this_thread::sleep_for(std::chrono::milliseconds(1));
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          watched.Set();
        });
        results.push_back(SendMessageWatching(owner, WM_TEST, 5, 0, fd));
        later.join();
      } else {
        results.push_back(SendMessageWatching(owner, WM_TEST, 5, 0, fd));
      }
      doneOnReturn.push_back(handlerDone || m == 2);
    }
    stop = true;
    DestroyWindow(senderWnd);
    PostMessage(owner, WM_OTHER, 0, 0);
  });
  ServeUntil(stop);
  sender.join();
  EXPECT_EQ(results, (std::vector<LRESULT>{10, 10, 16}));
  EXPECT_EQ(doneOnReturn, (std::vector<bool>{true, true, true}));
  DestroyWindow(owner);
}

TEST(Messages, ReplyMessageLetsTheSenderGoOnWhileTheCallbackRuns) {
  // The callback answers, then waits for the sender to have gone on: without
  // the early answer both would wait for ever (bounded here by 5 s).
  TEvent senderWentOn(true, false);
  std::atomic<bool> sawSenderGoOn{false};
  std::vector<bool> replies;
  HWND owner = CreateWindow([&](HWND, uint32_t msg, WPARAM w, LPARAM) -> LRESULT {
    if (msg != WM_TEST) return 0;
    replies.push_back(ReplyMessage(static_cast<LRESULT>(w) + 1));
    replies.push_back(ReplyMessage(99));  // answered already
    sawSenderGoOn = senderWentOn.WaitFor(5000);
    return 1000;  // goes nowhere
  });
  std::atomic<bool> stop{false};
  LRESULT result = 0;
  std::thread sender([&] {
    result = SendMessage(owner, WM_TEST, 41, 0);
    senderWentOn.Set();
    // A watching sender is answered the same way.
    const int fd[1] = {senderWentOn.Fd()};
    result += SendMessageWatching(owner, WM_TEST, 9, 0, fd) * 1000;
    stop = true;
    PostMessage(owner, WM_OTHER, 0, 0);
  });
  ServeUntil(stop);
  sender.join();
  EXPECT_TRUE(sawSenderGoOn.load());
  EXPECT_EQ(result, 42 + 10 * 1000);
  EXPECT_EQ(replies, (std::vector<bool>{true, false, true, false}));
  DestroyWindow(owner);
}

TEST(Messages, ReplyMessageAnswersOnlyTheInnermostMessageFromAnotherThread) {
  // Outside a message, in a posted one, in a send from the thread itself:
  // nothing to answer. Inside a nested message: that one, not the outer.
  EXPECT_FALSE(ReplyMessage(1));
  std::vector<std::string> seen;
  std::atomic<bool> innerSent{false};
  std::thread inner;
  LRESULT innerResult = 0;
  HWND owner = 0;
  owner = CreateWindow([&](HWND wnd, uint32_t msg, WPARAM w, LPARAM) -> LRESULT {
    if (msg == WM_OTHER) {
      seen.push_back(ReplyMessage(5) ? "posted answered" : "posted not");
      return 0;
    }
    if (w == 1) {  // the outer message
      seen.push_back(SendMessage(wnd, WM_TEST, 3, 0) == 30 ? "own send ran" : "own send failed");
      PostMessage(wnd, WM_OTHER, 0, 0);
      ProcessMessages();
      // Another thread's message handled inside this one answers itself.
      inner = std::thread([&] {
        innerResult = SendMessage(owner, WM_TEST, 2, 0);
        innerSent = true;
      });
      while (!innerSent) {
        WaitMessage(10);
        ProcessMessages();
      }
      seen.push_back(ReplyMessage(7) ? "outer answered" : "outer not");
      return 8;
    }
    if (w == 2) {
      seen.push_back(ReplyMessage(20) ? "inner answered" : "inner not");
      return 21;
    }
    seen.push_back(ReplyMessage(31) ? "own answered" : "own not");
    return 30;
  });
  std::atomic<bool> stop{false};
  LRESULT outerResult = 0;
  std::thread outer([&] {
    outerResult = SendMessage(owner, WM_TEST, 1, 0);
    stop = true;
    PostMessage(owner, WM_OTHER, 1, 0);
  });
  ServeUntil(stop);
  outer.join();
  inner.join();
  EXPECT_EQ(innerResult, 20);
  EXPECT_EQ(outerResult, 7);
  ProcessMessages();
  ASSERT_GE(seen.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + 5),
            (std::vector<std::string>{"own not", "own send ran", "posted not", "inner answered", "outer answered"}));
  DestroyWindow(owner);
}

TEST(Messages, AnErrorInACallbackReachesTheOwnerAndTheSenderGetsZero) {
  HWND wnd = CreateWindow([](HWND, uint32_t, WPARAM, LPARAM) -> LRESULT { throw std::runtime_error("boom"); });
  LRESULT result = -1;
  std::thread sender([&] { result = SendMessage(wnd, WM_TEST, 0, 0); });
  while (!HasMessages(true)) WaitMessage(INFINITE);
  EXPECT_THROW(ProcessMessages(), std::runtime_error);
  sender.join();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(InSendMessage());
  EXPECT_THROW(SendMessage(wnd, WM_TEST, 0, 0), std::runtime_error);
  DestroyWindow(wnd);
}

TEST(Messages, WaitMessageOffersTheWaitToTheClockAndWakesOnArrival) {
  {
    TManualClock clock(5000);
    TClockGuard guard(clock);
    EXPECT_FALSE(WaitMessage(60000));
    EXPECT_EQ(clock.TickCount(), 65000u);
    // A waiting message ends the wait before the clock is asked.
    HWND wnd = CreateWindow(nullptr);
    PostMessage(wnd, WM_TEST, 0, 0);
    EXPECT_TRUE(WaitMessage(60000));
    EXPECT_EQ(clock.TickCount(), 65000u);
    ProcessMessages();
    DestroyWindow(wnd);
  }
  // With the system clock the wait blocks until a message comes.
  HWND wnd = CreateWindow(nullptr);
  std::thread poster([&] { PostMessage(wnd, WM_TEST, 0, 0); });
  EXPECT_TRUE(WaitMessage(INFINITE));
  poster.join();
  ProcessMessages();
  EXPECT_FALSE(WaitMessage(1));
  DestroyWindow(wnd);
}

TEST(Messages, SendOnlyWaitIgnoresPostedMessages) {
  HWND wnd = CreateWindow(nullptr);
  TEvent ev;
  const int fds[] = {ev.Fd()};
  PostMessage(wnd, WM_TEST, 0, 0);
  EXPECT_EQ(MsgWaitForMultipleObjects(fds, 0, QS_SENDMESSAGE), WAIT_TIMEOUT);
  EXPECT_EQ(MsgWaitForMultipleObjects(fds, 0, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
  ev.Set();
  EXPECT_EQ(MsgWaitForMultipleObjects(fds, 0, QS_SENDMESSAGE), WAIT_OBJECT_0);
  ProcessMessages();
  DestroyWindow(wnd);
}

namespace {
class TCountingPump : public IMessagePump {
 public:
  int Processed = 0;
  std::vector<uint32_t> Waits;
  void ProcessEvents() override { ++Processed; }
  void WaitEvents(uint32_t ms) override { Waits.push_back(ms); }
};
}  // namespace

TEST(Messages, APumpTakesPartOnlyOnItsOwnThread) {
  TCountingPump pump;
  EXPECT_EQ(SetMessagePump(&pump), nullptr);
  ProcessMessages();
  EXPECT_EQ(pump.Processed, 1);
  EXPECT_FALSE(WaitMessage(100));
  EXPECT_EQ(pump.Waits, std::vector<uint32_t>{100});

  std::thread other([] {
    ProcessMessages();
    WaitMessage(0);
  });
  other.join();
  EXPECT_EQ(pump.Processed, 1);
  EXPECT_EQ(SetMessagePump(nullptr), &pump);
  ProcessMessages();
  EXPECT_EQ(pump.Processed, 1);
}

TEST(Messages, ThreadIds) {
  EXPECT_NE(GetCurrentThreadId(), 0u);
  uint32_t other = 0;
  std::thread t([&] { other = GetCurrentThreadId(); });
  t.join();
  EXPECT_NE(other, GetCurrentThreadId());
  EXPECT_NE(other, MainThreadId());
}
