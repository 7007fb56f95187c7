#pragma once
// The transport's threads and how they reach the thread that created them.
//
// A transport thread never touches its owner's state directly. It either
// runs a method on its base thread (the thread that created the thread
// object) and waits for it (Synchronize), or sends notifications to a hidden
// window of the owner. Both are served only while the base thread runs its
// message loop (Platform::ProcessMessages / WaitMessage) or waits in
// TThreadCounter::WaitForEmpty or FlushMessages.
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/Exception.h"
#include "platform/Events.h"
#include "platform/Messages.h"
#include "platform/Thread.h"

using Platform::HWND;
using Platform::LPARAM;
using Platform::LRESULT;
using Platform::WPARAM;

// Messages of the per-base-thread synchronisation window.
inline constexpr uint32_t CM_EXECPROC = 0x8FFD;       // lParam: a TThreadSync
inline constexpr uint32_t CM_DESTROYWINDOW = 0x8FFC;  // lParam: a TSyncInfo

// First message number free for a program's own use.
inline constexpr uint32_t WM_USER = 1024;

// The invalid value of a pipe handle / client identity.
inline constexpr uint32_t INVALID_HANDLE_VALUE = 0xFFFFFFFFu;

class TSyncManager;
class TThreadEx;
class TThreadCounter;

// One synchronous-call channel of a thread object to its base thread.
class TThreadSync {
 public:
  using TMethod = std::function<void()>;

  // Registers the calling thread as the base thread.
  TThreadSync();
  // Deregisters; the base thread drops its window once the last
  // registration is gone.
  ~TThreadSync();
  TThreadSync(const TThreadSync&) = delete;
  TThreadSync& operator=(const TThreadSync&) = delete;

  // Runs method on the base thread and waits for it; an error raised there
  // is raised again here. Nothing runs when the base thread has no
  // synchronisation window any more.
  void Synchronize(TMethod method);
  uint32_t SyncBaseTID() const { return FSyncBaseTID; }

 private:
  friend class TSyncManager;
  std::exception_ptr FSyncRaise;
  TMethod FMethod;
  const uint32_t FSyncBaseTID;
};

// One base thread's registration.
struct TSyncInfo {
  uint32_t FSyncBaseTID = 0;
  HWND FThreadWindow = 0;
  int32_t FThreadCount = 0;
};

// The process's list of base threads and their synchronisation windows.
class TSyncManager {
 public:
  // Requires the module to be initialised (InitializeThreadSync).
  static TSyncManager& Instance();

  void AddThread(TThreadSync& threadSync);
  void RemoveThread(TThreadSync& threadSync);
  void Synchronize(TThreadSync& threadSync);
  // The synchronisation window of a base thread, or 0 when it has none.
  HWND SyncWindow(uint32_t syncBaseTID);
  // Number of base threads with a registration.
  size_t Count();

  ~TSyncManager();

 private:
  friend void FinalizeThreadSync();
  TSyncManager() = default;
  TSyncInfo* FindSyncInfo(uint32_t syncBaseTID);  // under FThreadLock
  HWND AllocateWindow();
  void FreeSyncInfo(TSyncInfo* info);  // under FThreadLock
  void DoDestroyWindow(TSyncInfo* info);
  static LRESULT ThreadWndProc(HWND wnd, uint32_t msg, WPARAM wParam, LPARAM lParam);

  std::mutex FThreadLock;
  std::vector<TSyncInfo*> FList;
};

enum TThreadPriority { tpNormal, tpLower };

// The transport's thread base class. Created suspended: Start runs it. The
// object belongs to whoever created it: WaitFor joins the thread, and the
// destructor stops and joins a thread that still runs.
class TThreadEx {
 public:
  using TNotifyEvent = std::function<void(TThreadEx* sender)>;

  TThreadEx();
  virtual ~TThreadEx();
  TThreadEx(const TThreadEx&) = delete;
  TThreadEx& operator=(const TThreadEx&) = delete;

  void Start();
  // Asks the thread to end; Execute looks at Terminated.
  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  // Waits for the thread to end; rethrows nothing.
  void WaitFor();

  void SetOnTerminate(TNotifyEvent handler) { FOnTerminate = std::move(handler); }
  void SetPriority(TThreadPriority priority) { FPriority = priority; }
  // The name the system shows for the thread (at most 15 characters).
  void SetName(std::string name) { FName = std::move(name); }
  // Decremented once the thread has run its last step (after DoTerminate),
  // or when the object is destroyed if it never ran: once the count is 0,
  // joining the thread does not wait for more than its return.
  void SetDoneCounter(TThreadCounter* counter) { FDoneCounter = counter; }
  // The error that ended Execute, if one did.
  std::exception_ptr FatalException() const { return FFatalException; }

  void Synchronize(TThreadSync::TMethod method) { FSync->Synchronize(std::move(method)); }
  TThreadSync& Sync() { return *FSync; }

 protected:
  virtual void Execute() = 0;
  // Runs on the ending thread after Execute: the termination handler runs
  // on the base thread while this thread waits.
  virtual void DoTerminate();

 private:
  static void* ThreadProc(void* arg);
  void HandleTerminate();

  TThreadSync* FSync;
  Platform::TThreadHandle FHandle{};
  bool FStarted = false;
  bool FJoined = false;
  std::atomic<bool> FTerminated{false};
  TThreadPriority FPriority = tpNormal;
  std::string FName;
  TNotifyEvent FOnTerminate;
  std::exception_ptr FFatalException;
  TThreadCounter* FDoneCounter = nullptr;
};

// Counts live transport threads; the server's shutdown waits for 0.
class TThreadCounter {
 public:
  TThreadCounter();
  void Increment();
  // Never below 0.
  void Decrement();
  int32_t Count();
  // Returns when the count is 0; until then keeps running messages that
  // other threads send to the calling thread.
  void WaitForEmpty();
  // Signalled exactly while the count is 0.
  Platform::TEvent& EmptyEvent() { return FEmpty; }

 private:
  std::mutex FLock;
  Platform::TEvent FEmpty{true, true};
  int32_t FCount = 0;
};

// A window message record for object-method window procedures.
struct TMessage {
  uint32_t Msg = 0;
  WPARAM WParam = 0;
  LPARAM LParam = 0;
  LRESULT Result = 0;
};
using TWndMethod = std::function<void(TMessage& message)>;

// A hidden window on the calling thread whose messages go to method (a
// plain window with default processing when method is empty).
HWND AllocateHWnd(TWndMethod method);
void DeallocateHWnd(HWND wnd);

// Runs every message waiting for the calling thread, yielding after each.
void FlushMessages();
// Makes sure the calling thread has a message queue.
void CreateMessageQueue();

// Module state: the initialisation is counted; the last finalisation frees
// the manager. The module is initialised once when the program loads.
void InitializeThreadSync();
void FinalizeThreadSync();
bool ThreadSyncInitialized();

// Pipe handles / client identities: 0 and all bits set are no handle.
inline bool IsHandle(uint32_t handle) { return handle != 0 && handle != INVALID_HANDLE_VALUE; }
// Descriptors use Platform::IsHandle and Platform::CloseHandleClear.
