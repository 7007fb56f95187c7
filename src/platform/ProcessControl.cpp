#include "platform/ProcessControl.h"

#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace Platform {

bool RequestProcessStop(int hProcess) {
  if (hProcess < 0) return false;
  return ::syscall(SYS_pidfd_send_signal, hProcess, SIGTERM, nullptr, 0) == 0;
}

unsigned AvailableProcessors() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (::sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
  const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1u;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

}  // namespace Platform
