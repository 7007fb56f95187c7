#include "platform/FdWait.h"

#include <cerrno>
#include <climits>
#include <vector>

#include "platform/Clock.h"
#include "platform/Events.h"

namespace Platform {

uint32_t WaitForFds(std::span<const TFdWait> fds, uint32_t timeoutMs) {
  std::vector<pollfd> polls(fds.size());
  for (size_t i = 0; i < fds.size(); ++i) polls[i] = {fds[i].Fd, fds[i].Events, 0};
  const TDeadline deadline = timeoutMs == INFINITE ? TDeadline::Never() : TDeadline::After(timeoutMs);
  for (;;) {
    const int r = ::poll(polls.data(), polls.size(), deadline.RemainingMs(INT_MAX));
    if (r < 0) {
      if (errno == EINTR) continue;
      return WAIT_FAILED;
    }
    if (r == 0) return WAIT_TIMEOUT;
    for (size_t i = 0; i < polls.size(); ++i)
      if (polls[i].revents & (polls[i].events | POLLHUP | POLLERR | POLLNVAL)) return WAIT_OBJECT_0 + static_cast<uint32_t>(i);
  }
}

int PollFd(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  const int r = ::poll(&p, 1, timeoutMs);
  return r > 0 ? 1 : r;
}

void SleepMs(int ms) { ::poll(nullptr, 0, ms); }

}  // namespace Platform
