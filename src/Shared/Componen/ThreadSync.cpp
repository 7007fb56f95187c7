#include "Shared/Componen/ThreadSync.h"

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

// Module state. The lock is never destroyed: threads may still finish while
// the program unloads.
std::mutex& InstCritSect() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}
int gInitialized = 0;            // under InstCritSect
TSyncManager* gSyncManager = nullptr;  // under InstCritSect

// The module is there for the whole program, as soon as it is loaded. It is
// not finalised at exit: a thread object may still be deregistering.
struct TModuleLifetime {
  TModuleLifetime() { InitializeThreadSync(); }
} gModuleLifetime;

}  // namespace

void InitializeThreadSync() {
  bool first;
  {
    std::lock_guard<std::mutex> g(InstCritSect());
    first = gInitialized++ == 0;
  }
  // The program's main thread gets its queue at once, so that messages
  // posted to it before it first looks are not lost.
  if (first && Platform::GetCurrentThreadId() == Platform::MainThreadId()) CreateMessageQueue();
}

void FinalizeThreadSync() {
  TSyncManager* manager = nullptr;
  {
    std::lock_guard<std::mutex> g(InstCritSect());
    if (gInitialized == 0) return;
    if (--gInitialized > 0) return;
    std::swap(manager, gSyncManager);
  }
  delete manager;
}

bool ThreadSyncInitialized() {
  std::lock_guard<std::mutex> g(InstCritSect());
  return gInitialized > 0;
}

// ---- TThreadSync ----------------------------------------------------------

TThreadSync::TThreadSync() : FSyncBaseTID(Platform::GetCurrentThreadId()) { TSyncManager::Instance().AddThread(*this); }

TThreadSync::~TThreadSync() {
  // The module may be finalised while a thread object is still being destroyed.
  if (ThreadSyncInitialized()) TSyncManager::Instance().RemoveThread(*this);
}

void TThreadSync::Synchronize(TMethod method) {
  FSyncRaise = nullptr;
  FMethod = std::move(method);
  try {
    TSyncManager::Instance().Synchronize(*this);
  } catch (...) {
    FMethod = nullptr;
    if (std::exception_ptr raised = std::exchange(FSyncRaise, nullptr)) std::rethrow_exception(raised);
    throw;
  }
  FMethod = nullptr;
  if (std::exception_ptr raised = std::exchange(FSyncRaise, nullptr)) std::rethrow_exception(raised);
}

// ---- TSyncManager ---------------------------------------------------------

TSyncManager& TSyncManager::Instance() {
  std::lock_guard<std::mutex> g(InstCritSect());
  Assert(gInitialized > 0);
  if (!gSyncManager) gSyncManager = new TSyncManager;
  return *gSyncManager;
}

TSyncInfo* TSyncManager::FindSyncInfo(uint32_t syncBaseTID) {
  for (TSyncInfo* info : FList)
    if (info->FSyncBaseTID == syncBaseTID) return info;
  return nullptr;
}

HWND TSyncManager::AllocateWindow() { return Platform::CreateWindow(&TSyncManager::ThreadWndProc); }

void TSyncManager::FreeSyncInfo(TSyncInfo* info) {
  if (info->FThreadWindow) {
    Platform::DestroyWindow(info->FThreadWindow);
    info->FThreadWindow = 0;
  }
  FList.erase(std::remove(FList.begin(), FList.end(), info), FList.end());
  delete info;
}

void TSyncManager::AddThread(TThreadSync& threadSync) {
  std::lock_guard<std::mutex> g(FThreadLock);
  TSyncInfo* info = FindSyncInfo(threadSync.FSyncBaseTID);
  if (!info) {
    info = new TSyncInfo;
    info->FSyncBaseTID = threadSync.FSyncBaseTID;
    FList.push_back(info);
  }
  // Made here, on the base thread, because only the owner may destroy it.
  if (info->FThreadCount == 0) info->FThreadWindow = AllocateWindow();
  ++info->FThreadCount;
}

void TSyncManager::RemoveThread(TThreadSync& threadSync) {
  std::lock_guard<std::mutex> g(FThreadLock);
  TSyncInfo* info = FindSyncInfo(threadSync.FSyncBaseTID);
  if (!info) return;
  if (Platform::PostMessage(info->FThreadWindow, CM_DESTROYWINDOW, 0, reinterpret_cast<LPARAM>(info))) return;
  // The base thread has ended and its window went with it: nobody will
  // handle the message, so count down here.
  info->FThreadWindow = 0;
  if (--info->FThreadCount <= 0) FreeSyncInfo(info);
}

void TSyncManager::DoDestroyWindow(TSyncInfo* info) {
  std::lock_guard<std::mutex> g(FThreadLock);
  if (std::find(FList.begin(), FList.end(), info) == FList.end()) return;
  if (--info->FThreadCount <= 0) FreeSyncInfo(info);
}

void TSyncManager::Synchronize(TThreadSync& threadSync) {
  HWND wnd = 0;
  {
    std::lock_guard<std::mutex> g(FThreadLock);
    if (TSyncInfo* info = FindSyncInfo(threadSync.FSyncBaseTID)) wnd = info->FThreadWindow;
  }
  // Never under the lock: the base thread takes it to handle the call.
  if (wnd) Platform::SendMessage(wnd, CM_EXECPROC, 0, reinterpret_cast<LPARAM>(&threadSync));
}

HWND TSyncManager::SyncWindow(uint32_t syncBaseTID) {
  std::lock_guard<std::mutex> g(FThreadLock);
  TSyncInfo* info = FindSyncInfo(syncBaseTID);
  return info ? info->FThreadWindow : 0;
}

size_t TSyncManager::Count() {
  std::lock_guard<std::mutex> g(FThreadLock);
  return FList.size();
}

LRESULT TSyncManager::ThreadWndProc(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case CM_EXECPROC: {
      auto* sync = reinterpret_cast<TThreadSync*>(lParam);
      sync->FSyncRaise = nullptr;
      try {
        if (sync->FMethod) sync->FMethod();
      } catch (...) {
        sync->FSyncRaise = std::current_exception();
      }
      return 0;
    }
    case CM_DESTROYWINDOW:
      Instance().DoDestroyWindow(reinterpret_cast<TSyncInfo*>(lParam));
      return 0;
    default:
      return Platform::DefWindowProc(wnd, msg, wParam, lParam);
  }
}

TSyncManager::~TSyncManager() {
  std::lock_guard<std::mutex> g(FThreadLock);
  while (!FList.empty()) FreeSyncInfo(FList.back());
}

// ---- TThreadEx ------------------------------------------------------------

TThreadEx::TThreadEx() : FSync(new TThreadSync) {}

TThreadEx::~TThreadEx() {
  // A thread that still runs is stopped and joined first.
  if (FStarted && !FJoined) {
    Terminate();
    WaitFor();
  }
  delete FSync;
  if (FDoneCounter) FDoneCounter->Decrement();  // only when it never ran
}

void TThreadEx::Start() {
  if (FStarted) return;
  FStarted = true;
  if (!Platform::StartThread(FHandle, &TThreadEx::ThreadProc, this)) {
    FStarted = false;
    throw Exception("Thread creation error");
  }
}

void TThreadEx::WaitFor() {
  if (!FStarted || FJoined) return;
  Platform::JoinThread(FHandle);
  FJoined = true;
}

void* TThreadEx::ThreadProc(void* arg) {
  auto* self = static_cast<TThreadEx*>(arg);
  if (!self->FName.empty()) Platform::NameCurrentThread(self->FName);
  if (self->FPriority == tpLower) Platform::LowerCurrentThreadPriority();
  try {
    if (!self->Terminated()) self->Execute();
  } catch (...) {
    self->FFatalException = std::current_exception();
  }
  try {
    self->DoTerminate();
  } catch (...) {
    if (!self->FFatalException) self->FFatalException = std::current_exception();
  }
  // The last touch of the object: its owner may join and destroy it as soon
  // as the count shows it done.
  if (TThreadCounter* done = std::exchange(self->FDoneCounter, nullptr)) done->Decrement();
  return nullptr;
}

void TThreadEx::DoTerminate() {
  if (FOnTerminate) Synchronize([this] { HandleTerminate(); });
}

void TThreadEx::HandleTerminate() {
  if (FOnTerminate) FOnTerminate(this);
}

// ---- TThreadCounter -------------------------------------------------------

TThreadCounter::TThreadCounter() = default;

void TThreadCounter::Increment() {
  std::lock_guard<std::mutex> g(FLock);
  ++FCount;
  FEmpty.Reset();
}

void TThreadCounter::Decrement() {
  std::lock_guard<std::mutex> g(FLock);
  if (FCount > 0) --FCount;
  if (FCount == 0) FEmpty.Set();
}

int32_t TThreadCounter::Count() {
  std::lock_guard<std::mutex> g(FLock);
  return FCount;
}

void TThreadCounter::WaitForEmpty() {
  const int fds[] = {FEmpty.Fd()};
  for (;;) {
    if (Count() == 0) return;
    const uint32_t r = Platform::MsgWaitForMultipleObjects(fds, Platform::INFINITE, Platform::QS_SENDMESSAGE);
    if (r == Platform::WAIT_OBJECT_0 + 1) FlushMessages();
    else if (r == Platform::WAIT_FAILED) return;
  }
}

// ---- windows and handles --------------------------------------------------

HWND AllocateHWnd(TWndMethod method) {
  std::lock_guard<std::mutex> g(InstCritSect());
  Assert(gInitialized > 0);
  if (!method) return Platform::CreateWindow(nullptr);
  return Platform::CreateWindow([method = std::move(method)](HWND, uint32_t msg, WPARAM wParam, LPARAM lParam) {
    TMessage message{msg, wParam, lParam, 0};
    method(message);
    return message.Result;
  });
}

void DeallocateHWnd(HWND wnd) {
  std::lock_guard<std::mutex> g(InstCritSect());
  Platform::DestroyWindow(wnd);
}

void FlushMessages() {
  while (Platform::ProcessOneMessage()) Platform::YieldThread();
}

void CreateMessageQueue() { Platform::QueueEventFd(); }
