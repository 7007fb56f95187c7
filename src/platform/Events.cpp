#include "platform/Events.h"

#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "platform/Clock.h"

namespace Platform {
namespace {

int Remaining(uint32_t timeoutMs, uint64_t start) {
  if (timeoutMs == INFINITE) return -1;
  const uint64_t passed = MonotonicMs() - start;
  return passed >= timeoutMs ? 0 : static_cast<int>(timeoutMs - passed);
}

}  // namespace

TEvent::TEvent(bool manualReset, bool initialState) : FManualReset(manualReset) {
  FFd = ::eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (FFd < 0) throw std::runtime_error("eventfd failed");
}

TEvent::~TEvent() { CloseHandleClear(FFd); }

void TEvent::Set() {
  // A set event stays readable until reset, however often it is set: the
  // counter adds up and one read empties it.
  const uint64_t one = 1;
  ssize_t r;
  do r = ::write(FFd, &one, sizeof one);
  while (r < 0 && errno == EINTR);
}

void TEvent::Reset() {
  uint64_t value;
  ssize_t r;
  do r = ::read(FFd, &value, sizeof value);
  while (r < 0 && errno == EINTR);
}

bool TEvent::IsSet() const {
  pollfd p{FFd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

bool TEvent::WaitFor(uint32_t timeoutMs) {
  const int fd = FFd;
  if (WaitForAnyFd(std::span<const int>(&fd, 1), timeoutMs) != WAIT_OBJECT_0) return false;
  if (!FManualReset) Reset();
  return true;
}

uint32_t WaitForAnyFd(std::span<const int> fds, uint32_t timeoutMs) {
  std::vector<pollfd> polls(fds.size());
  for (size_t i = 0; i < fds.size(); ++i) polls[i] = {fds[i], POLLIN, 0};
  const uint64_t start = MonotonicMs();
  for (;;) {
    const int r = ::poll(polls.data(), polls.size(), Remaining(timeoutMs, start));
    if (r < 0) {
      if (errno == EINTR) continue;
      return WAIT_FAILED;
    }
    if (r == 0) return WAIT_TIMEOUT;
    for (size_t i = 0; i < polls.size(); ++i)
      if (polls[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) return WAIT_OBJECT_0 + static_cast<uint32_t>(i);
  }
}

uint32_t WaitForMultipleObjects(std::initializer_list<TEvent*> events, bool waitAll, uint32_t timeoutMs) {
  std::vector<int> fds;
  for (TEvent* e : events) fds.push_back(e->Fd());
  if (!waitAll) {
    const uint32_t r = WaitForAnyFd(fds, timeoutMs);
    if (r < fds.size()) {
      TEvent* e = *(events.begin() + r);
      if (!e->ManualReset()) e->Reset();
    }
    return r;
  }
  const uint64_t start = MonotonicMs();
  for (;;) {
    bool all = true;
    for (TEvent* e : events) all = all && e->IsSet();
    if (all) {
      for (TEvent* e : events)
        if (!e->ManualReset()) e->Reset();
      return WAIT_OBJECT_0;
    }
    std::vector<pollfd> polls;
    for (TEvent* e : events)
      if (!e->IsSet()) polls.push_back({e->Fd(), POLLIN, 0});
    const int r = ::poll(polls.data(), polls.size(), Remaining(timeoutMs, start));
    if (r == 0) return WAIT_TIMEOUT;
    if (r < 0 && errno != EINTR) return WAIT_FAILED;
  }
}

void CloseHandleClear(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace Platform
