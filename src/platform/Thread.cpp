#include "platform/Thread.h"

#include <cerrno>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <type_traits>

#include "platform/Messages.h"

namespace Platform {

static_assert(std::is_same_v<pthread_t, TThreadHandle>);

bool StartThread(TThreadHandle& handle, void* (*entry)(void*), void* arg) {
  return pthread_create(&handle, nullptr, entry, arg) == 0;
}

void JoinThread(TThreadHandle handle) { pthread_join(handle, nullptr); }

void NameCurrentThread(const std::string& name) { pthread_setname_np(pthread_self(), name.substr(0, 15).c_str()); }

void LowerCurrentThreadPriority() {
  // Linux sets nice values per thread: one step below the process's.
  errno = 0;
  const int nice = getpriority(PRIO_PROCESS, 0);
  if (errno == 0) setpriority(PRIO_PROCESS, static_cast<id_t>(GetCurrentThreadId()), nice + 1);
}

void YieldThread() { sched_yield(); }

}  // namespace Platform
