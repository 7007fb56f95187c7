#include "platform/Reaper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Events.h"
#include "platform/Process.h"

namespace Platform {

namespace ProcessDetail {

namespace {

uint32_t ExitCodeFromSiginfo(const siginfo_t& si) {
  if (si.si_code == CLD_EXITED) return static_cast<uint32_t>(si.si_status);
  return 128u + static_cast<uint32_t>(si.si_status);
}

std::atomic<uint64_t> GExitsSeen{0};

// Reaps every child as soon as it exits and keeps its exit code for the
// handle the caller holds. The reaper owns a duplicate pidfd per child, so
// the caller may close its handle at any time without leaving a zombie.
class TReaper {
 public:
  struct TChild {
    int OwnFd = -1;
    bool Reaped = false;
    uint32_t ExitCode = STILL_ACTIVE;
  };

  TReaper() : FWake(true, false), FThread([this] { Run(); }) {}

  ~TReaper() {
    {
      std::lock_guard<std::mutex> lock(FLock);
      FStop = true;
    }
    FWake.Set();
    FThread.join();
    for (auto& child : FWatched) CloseHandleClear(child->OwnFd);
  }

  // Takes a newly created child; false when its pidfd cannot be duplicated.
  bool Add(int handle) {
    auto child = std::make_shared<TChild>();
    child->OwnFd = ::fcntl(handle, F_DUPFD_CLOEXEC, 3);
    if (child->OwnFd < 0) return false;
    {
      std::lock_guard<std::mutex> lock(FLock);
      // A stale entry under this number belonged to a handle closed some
      // other way; the number now names the new child.
      FByHandle[handle] = child;
      FWatched.push_back(child);
    }
    FWake.Set();
    return true;
  }

  void Forget(int handle) {
    std::lock_guard<std::mutex> lock(FLock);
    FByHandle.erase(handle);
  }

  bool ExitCode(int handle, uint32_t& exitCode) {
    std::lock_guard<std::mutex> lock(FLock);
    const auto it = FByHandle.find(handle);
    if (it == FByHandle.end()) return false;
    TChild& child = *it->second;
    if (!child.Reaped) TryReap(child);
    exitCode = child.ExitCode;
    return true;
  }

 private:
  // With FLock held.
  static void TryReap(TChild& child) {
    if (child.Reaped || child.OwnFd < 0) return;
    siginfo_t si{};
    int r;
    do r = ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(child.OwnFd), &si, WEXITED | WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r == 0 && si.si_pid != 0) {
      child.Reaped = true;
      child.ExitCode = ExitCodeFromSiginfo(si);
    } else if (r < 0 && errno == ECHILD) {
      // Reaped by someone else's waitpid(-1): the code is lost.
      child.Reaped = true;
      child.ExitCode = 0;
    }
    if (child.Reaped) GExitsSeen.fetch_add(1, std::memory_order_release);
  }

  void Run() {
    std::vector<std::shared_ptr<TChild>> watching;
    std::vector<pollfd> polls;
    for (;;) {
      // Reset before the look at what to do: a Set that comes after the
      // look (a stop, a new child) stays set for the poll below. Reset after
      // it, a stop at exit could be lost and the join wait for ever.
      FWake.Reset();
      {
        std::lock_guard<std::mutex> lock(FLock);
        if (FStop) return;
        // Only this thread closes the reaper's own descriptors.
        for (auto& child : FWatched)
          if (child->Reaped) CloseHandleClear(child->OwnFd);
        std::erase_if(FWatched, [](const std::shared_ptr<TChild>& c) { return c->OwnFd < 0; });
        watching = FWatched;
      }
      polls.assign(1, pollfd{FWake.Fd(), POLLIN, 0});
      for (auto& child : watching) polls.push_back(pollfd{child->OwnFd, POLLIN, 0});
      const int r = ::poll(polls.data(), polls.size(), -1);
      if (r < 0) continue;  // EINTR
      std::lock_guard<std::mutex> lock(FLock);
      for (size_t i = 1; i < polls.size(); ++i)
        if (polls[i].revents) TryReap(*watching[i - 1]);
    }
  }

  std::mutex FLock;
  bool FStop = false;
  std::map<int, std::shared_ptr<TChild>> FByHandle;
  std::vector<std::shared_ptr<TChild>> FWatched;
  TEvent FWake;
  std::thread FThread;  // last: starts once everything else is built
};

TReaper& Reaper() {
  static TReaper reaper;
  return reaper;
}

}  // namespace

bool WatchChild(int handle) { return Reaper().Add(handle); }

void ForgetChild(int handle) { Reaper().Forget(handle); }

bool ChildExitCode(int handle, uint32_t& exitCode) { return Reaper().ExitCode(handle, exitCode); }

}  // namespace ProcessDetail

uint64_t ProcessExitsSeen() { return ProcessDetail::GExitsSeen.load(std::memory_order_acquire); }

}  // namespace Platform
