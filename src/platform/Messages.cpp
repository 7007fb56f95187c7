#include "platform/Messages.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unistd.h>
#include <sys/syscall.h>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/Events.h"
#include "platform/ScopeExit.h"

namespace Platform {
namespace {

struct TQueue;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// A queue's lock is held only for a few instructions and one or two event
// writes, so a thread that finds it taken (typically one just woken by
// those very writes) spins a little before it sleeps on it.
std::unique_lock<std::mutex> LockQueue(std::mutex& lock) {
  std::unique_lock<std::mutex> g(lock, std::try_to_lock);
  for (int spin = 0; !g.owns_lock() && spin < 200; ++spin) {
    CpuRelax();
    g.try_lock();
  }
  if (!g.owns_lock()) g.lock();
  return g;
}

// A message another thread sent; lives on the sender's stack until done.
struct TSent {
  HWND Wnd;
  uint32_t Msg;
  WPARAM WParam;
  LPARAM LParam;
  std::shared_ptr<TQueue> Reply;  // the sender's queue, woken on completion
  LRESULT Result = 0;             // Result, Done and Quiet are guarded by Reply->Lock
  bool Done = false;
  bool Quiet = false;  // the sender is not to be woken on completion
};

struct TPosted {
  HWND Wnd;
  uint32_t Msg;
  WPARAM WParam;
  LPARAM LParam;
};

struct TQueue {
  explicit TQueue(uint32_t tid) : ThreadId(tid) {}
  const uint32_t ThreadId;
  std::mutex Lock;
  std::condition_variable Changed;  // a send arrived or one of ours completed
  std::deque<TSent*> Sent;
  std::deque<TPosted> Posted;
  bool Closed = false;
  TEvent AnyEvent{true, false};   // set exactly while anything waits
  // Set exactly while a sent message waits, as long as the owner watches
  // it (SentWatched); unwatched it is left as it was. Only the owner waits
  // on it, and rarely: keeping it in step costs two system calls for every
  // message sent, which the calls of a run would pay for nothing.
  TEvent SentEvent{true, false};
  IMessagePump* Pump = nullptr;   // touched only by the owner thread
  bool AnySet = false;            // the events' states, under Lock
  bool SentSet = false;
  // The owner's waits on SentEvent: raised under Lock, lowered without it
  // (an event set for a wait that has ended does no harm).
  std::atomic<int> SentWatched{0};

  // Under Lock. An event is touched only when its state changes: each
  // change is a system call.
  void UpdateEvents() {
    const bool sent = !Sent.empty();
    const bool any = sent || !Posted.empty();
    if (SentWatched > 0 && sent != SentSet) {
      if (sent) SentEvent.Set(); else SentEvent.Reset();
      SentSet = sent;
    }
    if (any != AnySet) {
      if (any) AnyEvent.Set(); else AnyEvent.Reset();
      AnySet = any;
    }
  }
};

// The owner's wait on its own queue's SentEvent: the event is in step with
// the queue from the start of the wait to its end.
class TSentWatch {
 public:
  explicit TSentWatch(TQueue& q) : FQueue(q) {
    const auto g = LockQueue(FQueue.Lock);
    ++FQueue.SentWatched;
    FQueue.UpdateEvents();
  }
  ~TSentWatch() { --FQueue.SentWatched; }
  TSentWatch(const TSentWatch&) = delete;
  TSentWatch& operator=(const TSentWatch&) = delete;

 private:
  TQueue& FQueue;
};

struct TWindow {
  HWND Handle;
  std::shared_ptr<TQueue> Queue;
  TWndProc Proc;
};

// The window table. Leaked on purpose: queues of threads that outlive static
// destruction still unregister their windows.
struct TRegistry {
  std::mutex Lock;
  std::unordered_map<HWND, std::shared_ptr<TWindow>> Windows;
  HWND Next = 1;
};

TRegistry& Registry() {
  static TRegistry* registry = new TRegistry;
  return *registry;
}

std::shared_ptr<TWindow> FindWindow(HWND wnd) {
  TRegistry& r = Registry();
  std::lock_guard<std::mutex> g(r.Lock);
  auto it = r.Windows.find(wnd);
  return it == r.Windows.end() ? nullptr : it->second;
}

void Complete(TSent* sent, LRESULT result) {
  std::shared_ptr<TQueue> reply = sent->Reply;  // sent may vanish once Done is set
  bool wake;
  {
    const auto g = LockQueue(reply->Lock);
    sent->Result = result;
    sent->Done = true;
    wake = !sent->Quiet;
  }
  if (wake) reply->Changed.notify_all();
}

void CloseQueue(const std::shared_ptr<TQueue>& q) {
  {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> g(r.Lock);
    for (auto it = r.Windows.begin(); it != r.Windows.end();)
      it = it->second->Queue == q ? r.Windows.erase(it) : std::next(it);
  }
  std::deque<TSent*> pending;
  {
    std::lock_guard<std::mutex> g(q->Lock);
    q->Closed = true;
    pending.swap(q->Sent);
    q->Posted.clear();
    q->UpdateEvents();
  }
  for (TSent* s : pending) Complete(s, 0);
}

// Closes the thread's queue when the thread ends, so that nobody waits for a
// thread that will never answer.
struct TQueueHolder {
  std::shared_ptr<TQueue> Queue;
  ~TQueueHolder() {
    if (Queue) CloseQueue(Queue);
  }
};

thread_local TQueueHolder tQueue;
thread_local bool tInSendMessage = false;
// The message from another thread being handled and not answered yet.
thread_local TSent* tReplyTo = nullptr;

const std::shared_ptr<TQueue>& CurrentQueue() {
  if (!tQueue.Queue) tQueue.Queue = std::make_shared<TQueue>(GetCurrentThreadId());
  return tQueue.Queue;
}

LRESULT CallProc(const std::shared_ptr<TWindow>& w, uint32_t msg, WPARAM wParam, LPARAM lParam) {
  return w->Proc ? w->Proc(w->Handle, msg, wParam, lParam) : DefWindowProc(w->Handle, msg, wParam, lParam);
}

// Runs a message sent from another thread and completes it, also when the
// callback raises (the sender then gets 0, the error goes on here).
void DispatchSent(const std::shared_ptr<TQueue>& q, TSent* sent) {
  LRESULT result = 0;
  const TScopeExit complete([sent, &result, previous = tInSendMessage, previousReplyTo = tReplyTo] {
    const bool answered = tReplyTo != sent;  // by ReplyMessage
    tInSendMessage = previous;
    tReplyTo = previousReplyTo;
    if (!answered) Complete(sent, result);
  });
  tReplyTo = sent;
  std::shared_ptr<TWindow> w = FindWindow(sent->Wnd);
  if (!w || w->Queue != q) return;
  tInSendMessage = true;
  result = CallProc(w, sent->Msg, sent->WParam, sent->LParam);
}

bool ProcessOneSent(const std::shared_ptr<TQueue>& q) {
  TSent* sent;
  {
    const auto g = LockQueue(q->Lock);
    if (q->Sent.empty()) return false;
    sent = q->Sent.front();
    q->Sent.pop_front();
    q->UpdateEvents();
  }
  DispatchSent(q, sent);
  return true;
}

}  // namespace

uint32_t GetCurrentThreadId() {
  thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
  return id;
}

// The main thread's id is the process id.
uint32_t MainThreadId() { return static_cast<uint32_t>(::getpid()); }

LRESULT DefWindowProc(HWND, uint32_t, WPARAM, LPARAM) { return 0; }

HWND CreateWindow(TWndProc proc) {
  auto w = std::make_shared<TWindow>();
  w->Queue = CurrentQueue();
  w->Proc = std::move(proc);
  TRegistry& r = Registry();
  std::lock_guard<std::mutex> g(r.Lock);
  w->Handle = r.Next++;
  r.Windows.emplace(w->Handle, w);
  return w->Handle;
}

bool DestroyWindow(HWND wnd) {
  const std::shared_ptr<TQueue>& q = CurrentQueue();
  {
    TRegistry& r = Registry();
    std::lock_guard<std::mutex> g(r.Lock);
    auto it = r.Windows.find(wnd);
    if (it == r.Windows.end() || it->second->Queue != q) return false;
    r.Windows.erase(it);
  }
  // Senders waiting for this window get 0 now; its posted messages go.
  std::vector<TSent*> orphans;
  {
    std::lock_guard<std::mutex> g(q->Lock);
    for (auto it = q->Sent.begin(); it != q->Sent.end();) {
      if ((*it)->Wnd == wnd) {
        orphans.push_back(*it);
        it = q->Sent.erase(it);
      } else {
        ++it;
      }
    }
    std::erase_if(q->Posted, [wnd](const TPosted& p) { return p.Wnd == wnd; });
    q->UpdateEvents();
  }
  for (TSent* s : orphans) Complete(s, 0);
  return true;
}

bool IsWindow(HWND wnd) { return wnd != 0 && FindWindow(wnd) != nullptr; }

uint32_t GetWindowThreadId(HWND wnd) {
  std::shared_ptr<TWindow> w = FindWindow(wnd);
  return w ? w->Queue->ThreadId : 0;
}

namespace {

LRESULT Send(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam, std::span<const int> watched) {
  std::shared_ptr<TWindow> w = FindWindow(wnd);
  if (!w) return 0;
  const std::shared_ptr<TQueue>& own = CurrentQueue();
  if (w->Queue == own) {
    const TScopeExit restore([previous = tReplyTo] { tReplyTo = previous; });
    tReplyTo = nullptr;
    return CallProc(w, msg, wParam, lParam);
  }

  TSent sent{wnd, msg, wParam, lParam, own};
  sent.Quiet = !watched.empty();
  {
    const auto g = LockQueue(w->Queue->Lock);
    if (w->Queue->Closed) return 0;
    w->Queue->Sent.push_back(&sent);
    w->Queue->UpdateEvents();
  }
  w->Queue->Changed.notify_all();
  w.reset();

  if (sent.Quiet) {
    // Asleep until something else calls for this thread; only then is the
    // message looked at, and from then on its completion wakes us.
    // On the stack: this runs for every engine call.
    constexpr size_t ON_STACK = 8;
    int local[ON_STACK];
    std::vector<int> spilled;
    int* fds = local;
    if (watched.size() + 1 > ON_STACK) {
      spilled.resize(watched.size() + 1);
      fds = spilled.data();
    }
    std::copy(watched.begin(), watched.end(), fds);
    fds[watched.size()] = own->SentEvent.Fd();
    const TSentWatch watch(*own);
    // What wakes us is most often the client's next call, sent once our
    // reply reached it; an owner that answers before it replies
    // (ReplyMessage) has completed the message by then.
    (void)WaitForAnyFd(std::span<const int>(fds, watched.size() + 1), INFINITE);
  }

  std::unique_lock<std::mutex> g = LockQueue(own->Lock);
  sent.Quiet = false;  // from now on its completion wakes us
  while (!sent.Done) {
    if (!own->Sent.empty()) {
      g.unlock();
      ProcessOneSent(own);
      g.lock();
      continue;
    }
    own->Changed.wait(g);
  }
  return sent.Result;
}

}  // namespace

LRESULT SendMessage(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam) { return Send(wnd, msg, wParam, lParam, {}); }

LRESULT SendMessageWatching(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam, std::span<const int> fds) {
  return Send(wnd, msg, wParam, lParam, fds);
}

bool PostMessage(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
  std::shared_ptr<TWindow> w = FindWindow(wnd);
  if (!w) return false;
  {
    const auto g = LockQueue(w->Queue->Lock);
    if (w->Queue->Closed) return false;
    w->Queue->Posted.push_back({wnd, msg, wParam, lParam});
    w->Queue->UpdateEvents();
  }
  w->Queue->Changed.notify_all();
  return true;
}

bool InSendMessage() { return tInSendMessage; }

bool ReplyMessage(LRESULT result) {
  TSent* const sent = std::exchange(tReplyTo, nullptr);
  if (!sent) return false;
  Complete(sent, result);
  return true;
}

bool ProcessOneMessage() {
  const std::shared_ptr<TQueue>& q = CurrentQueue();
  if (ProcessOneSent(q)) return true;
  TPosted posted;
  {
    const auto g = LockQueue(q->Lock);
    if (q->Posted.empty()) return false;
    posted = q->Posted.front();
    q->Posted.pop_front();
    q->UpdateEvents();
  }
  std::shared_ptr<TWindow> w = FindWindow(posted.Wnd);
  if (w && w->Queue == q) {
    const TScopeExit restore([previous = tInSendMessage, previousReplyTo = tReplyTo] {
      tInSendMessage = previous;
      tReplyTo = previousReplyTo;
    });
    tInSendMessage = false;
    tReplyTo = nullptr;
    CallProc(w, posted.Msg, posted.WParam, posted.LParam);
  }
  return true;
}

bool ProcessMessages() {
  bool any = false;
  while (ProcessOneMessage()) any = true;
  if (IMessagePump* pump = CurrentQueue()->Pump) {
    pump->ProcessEvents();
    while (ProcessOneMessage()) any = true;
  }
  return any;
}

bool HasMessages(bool sentOnly) {
  const std::shared_ptr<TQueue>& q = CurrentQueue();
  const auto g = LockQueue(q->Lock);
  return !q->Sent.empty() || (!sentOnly && !q->Posted.empty());
}

bool WaitMessage(uint32_t timeoutMs) {
  const std::shared_ptr<TQueue>& q = CurrentQueue();
  if (HasMessages()) return true;
  if (timeoutMs == 0) return false;
  if (timeoutMs != INFINITE && Clock().IdleWait(timeoutMs)) return false;
  if (q->Pump) {
    q->Pump->WaitEvents(timeoutMs);
    return HasMessages();
  }
  const int fd = q->AnyEvent.Fd();
  return WaitForAnyFd(std::span<const int>(&fd, 1), timeoutMs) == WAIT_OBJECT_0;
}

uint32_t MsgWaitForMultipleObjects(std::span<const int> fds, uint32_t timeoutMs, uint32_t wakeMask) {
  const std::shared_ptr<TQueue>& q = CurrentQueue();
  std::vector<int> all(fds.begin(), fds.end());
  if ((wakeMask & ~QS_SENDMESSAGE) != 0) {
    all.push_back(q->AnyEvent.Fd());
    return WaitForAnyFd(all, timeoutMs);
  }
  all.push_back(q->SentEvent.Fd());
  const TSentWatch watch(*q);
  return WaitForAnyFd(all, timeoutMs);
}

int QueueEventFd() { return CurrentQueue()->AnyEvent.Fd(); }

IMessagePump* SetMessagePump(IMessagePump* pump) {
  IMessagePump* previous = CurrentQueue()->Pump;
  CurrentQueue()->Pump = pump;
  return previous;
}

}  // namespace Platform
