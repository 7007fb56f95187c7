#include "Shared/Componen/ThreadSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Platform;

namespace {

// A thread whose body is a lambda; it records what its termination step saw.
class TTestThread : public TThreadEx {
 public:
  explicit TTestThread(std::function<void(TTestThread&)> body) : FBody(std::move(body)) {}
  std::string TerminateError;  // written on the ending thread before it frees/joins

 protected:
  void Execute() override { FBody(*this); }
  void DoTerminate() override {
    try {
      TThreadEx::DoTerminate();
    } catch (const Exception& e) {
      TerminateError = e.Message();
    }
  }

 private:
  std::function<void(TTestThread&)> FBody;
};

// Runs the calling thread's messages until done.
void ServeUntil(const std::atomic<bool>& done) {
  while (!done.load()) {
    WaitMessage(INFINITE);
    ProcessMessages();
  }
}

}  // namespace

TEST(ThreadSync, SynchronizedMethodsRunOnTheBaseThreadAndTheirErrorsComeBack) {
  // Thread B creates the thread object, so B is its base thread.
  std::atomic<uint32_t> baseTid{0};
  std::atomic<bool> done{false};
  std::vector<uint32_t> ranOn;  // touched only on B
  std::string caught, terminateError;
  uint32_t terminateRanOn = 0;
  std::thread b([&] {
    baseTid = GetCurrentThreadId();
    auto* t = new TTestThread([&](TTestThread& self) {
      self.Synchronize([&] { ranOn.push_back(GetCurrentThreadId()); });
      try {
        self.Synchronize([] { throw Exception("raised on the base thread"); });
      } catch (const Exception& e) {
        caught = e.Message();
      }
      self.Synchronize([&] { ranOn.push_back(GetCurrentThreadId()); });
    });
    t->SetOnTerminate([&](TThreadEx* sender) {
      terminateRanOn = GetCurrentThreadId();
      EXPECT_EQ(sender, t);
      throw Exception("from the termination handler");
    });
    t->Start();
    std::atomic<bool> ended{false};
    std::thread joiner([&] {
      t->WaitFor();
      terminateError = t->TerminateError;
      ended = true;
      // Wake B so it sees ended.
      PostMessage(TSyncManager::Instance().SyncWindow(baseTid), WM_USER, 0, 0);
    });
    ServeUntil(ended);
    joiner.join();
    delete t;
    ProcessMessages();  // the posted window destruction
    done = true;
  });
  b.join();
  ASSERT_EQ(ranOn.size(), 2u);
  EXPECT_EQ(ranOn[0], baseTid.load());
  EXPECT_EQ(ranOn[1], baseTid.load());
  EXPECT_EQ(caught, "raised on the base thread");
  EXPECT_EQ(terminateRanOn, baseTid.load());
  EXPECT_EQ(terminateError, "from the termination handler");
}

TEST(ThreadSync, TheBaseWindowLivesExactlyAsLongAsItsThreadObjects) {
  std::atomic<bool> ok{false};
  std::thread b([&] {
    const uint32_t tid = GetCurrentThreadId();
    TSyncManager& m = TSyncManager::Instance();
    EXPECT_EQ(m.SyncWindow(tid), 0u);
    auto* first = new TTestThread([](TTestThread&) {});
    const HWND wnd = m.SyncWindow(tid);
    EXPECT_TRUE(IsWindow(wnd));
    EXPECT_EQ(GetWindowThreadId(wnd), tid);
    auto* second = new TTestThread([](TTestThread&) {});
    EXPECT_EQ(m.SyncWindow(tid), wnd) << "one window per base thread";

    // Destroyed on another thread: only a posted message, handled on B.
    std::thread([&] { delete first; }).join();
    EXPECT_TRUE(IsWindow(wnd));
    ProcessMessages();
    EXPECT_TRUE(IsWindow(wnd)) << "a thread object of B still exists";

    std::thread([&] { delete second; }).join();
    EXPECT_TRUE(IsWindow(wnd)) << "destroyed only on B";
    ProcessMessages();
    EXPECT_FALSE(IsWindow(wnd));
    EXPECT_EQ(m.SyncWindow(tid), 0u);

    // A later thread object makes a new window.
    auto* third = new TTestThread([](TTestThread&) {});
    EXPECT_TRUE(IsWindow(m.SyncWindow(tid)));
    EXPECT_NE(m.SyncWindow(tid), wnd);
    delete third;
    ProcessMessages();
    EXPECT_EQ(m.SyncWindow(tid), 0u);
    ok = true;
  });
  b.join();
  EXPECT_TRUE(ok.load());
}

TEST(ThreadSync, ACallToABaseThreadThatHasEndedDoesNotRunAndDoesNotHang) {
  TTestThread* t = nullptr;
  uint32_t bTid = 0;
  std::thread b([&] {
    bTid = GetCurrentThreadId();
    t = new TTestThread([](TTestThread&) {});
  });
  b.join();  // B ends without ever serving its window
  bool ran = false;
  t->Synchronize([&] { ran = true; });
  EXPECT_FALSE(ran);
  delete t;  // its registration is dropped here, as nobody can handle the message
  EXPECT_EQ(TSyncManager::Instance().SyncWindow(bTid), 0u);
}

TEST(ThreadSync, WaitForEmptyServesSynchronousCallsUntilTheCountIsZero) {
  TThreadCounter counter;
  EXPECT_TRUE(counter.EmptyEvent().IsSet());
  counter.WaitForEmpty();  // at 0: returns at once

  const uint32_t mainTid = GetCurrentThreadId();
  std::vector<uint32_t> ranOn;
  int terminated = 0;
  constexpr int kThreads = 3;
  std::vector<std::unique_ptr<TTestThread>> threads;
  for (int i = 0; i < kThreads; ++i) {
    counter.Increment();
    auto& t = threads.emplace_back(std::make_unique<TTestThread>([&](TTestThread& self) {
      for (int k = 0; k < 5; ++k) self.Synchronize([&] { ranOn.push_back(GetCurrentThreadId()); });
    }));
    t->SetPriority(tpLower);
    t->SetOnTerminate([&](TThreadEx*) {
      ++terminated;
      counter.Decrement();  // the last thing the base thread does for this thread
    });
    t->Start();
  }
  EXPECT_FALSE(counter.EmptyEvent().IsSet());
  counter.WaitForEmpty();
  EXPECT_EQ(counter.Count(), 0);
  EXPECT_EQ(terminated, kThreads);
  ASSERT_EQ(ranOn.size(), 5u * kThreads);
  for (uint32_t tid : ranOn) EXPECT_EQ(tid, mainTid);
  threads.clear();  // joined
  // The threads' posted window destructions.
  ProcessMessages();
}

TEST(ThreadSync, CounterNeverGoesBelowZero) {
  TThreadCounter counter;
  counter.Decrement();
  EXPECT_EQ(counter.Count(), 0);
  EXPECT_TRUE(counter.EmptyEvent().IsSet());
  counter.Increment();
  counter.Increment();
  EXPECT_EQ(counter.Count(), 2);
  EXPECT_FALSE(counter.EmptyEvent().IsSet());
  counter.Decrement();
  EXPECT_FALSE(counter.EmptyEvent().IsSet());
  counter.Decrement();
  counter.Decrement();
  EXPECT_EQ(counter.Count(), 0);
  EXPECT_TRUE(counter.EmptyEvent().IsSet());
}

TEST(ThreadSync, ObjectWindowsRouteMessagesToTheirMethod) {
  HWND plain = AllocateHWnd(nullptr);
  EXPECT_TRUE(IsWindow(plain));
  EXPECT_EQ(SendMessage(plain, WM_USER + 5, 1, 2), 0);
  EXPECT_TRUE(PostMessage(plain, WM_USER + 5, 1, 2));
  FlushMessages();
  EXPECT_FALSE(HasMessages());

  std::vector<uint32_t> seen;
  HWND wnd = AllocateHWnd([&](TMessage& m) {
    seen.push_back(m.Msg);
    m.Result = static_cast<LRESULT>(m.WParam) * 10 + m.LParam;
  });
  LRESULT fromThread = 0;
  std::thread sender([&] { fromThread = SendMessage(wnd, WM_USER + 1, 4, 2); });
  while (!HasMessages(true)) WaitMessage(INFINITE);
  FlushMessages();
  sender.join();
  EXPECT_EQ(fromThread, 42);
  EXPECT_EQ(seen, std::vector<uint32_t>{WM_USER + 1});

  DeallocateHWnd(wnd);
  DeallocateHWnd(plain);
  EXPECT_FALSE(IsWindow(wnd));
  EXPECT_FALSE(IsWindow(plain));
}

TEST(ThreadSync, HandleHelpers) {
  EXPECT_FALSE(::IsHandle(0u));
  EXPECT_FALSE(::IsHandle(INVALID_HANDLE_VALUE));
  EXPECT_TRUE(::IsHandle(1u));
  EXPECT_TRUE(Platform::IsHandle(0));  // descriptor 0 is a descriptor
  EXPECT_FALSE(Platform::IsHandle(-1));

  int fd = -1;
  Platform::CloseHandleClear(fd);
  EXPECT_EQ(fd, -1);
}

TEST(ThreadSync, ModuleInitialisationIsCounted) {
  EXPECT_TRUE(ThreadSyncInitialized());
  InitializeThreadSync();
  FinalizeThreadSync();
  EXPECT_TRUE(ThreadSyncInitialized()) << "the program's own initialisation still holds";
}
