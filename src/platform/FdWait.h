#pragma once
// A wait on several descriptors, each for its own readiness: the stand-in
// for waiting on overlapped-operation events (a socket's "read completed" is
// its readability, "write completed" its writability).
#include <cstdint>
#include <poll.h>
#include <span>

namespace Platform {

struct TFdWait {
  int Fd;
  short Events;  // POLLIN and/or POLLOUT
};

// Waits until one of the descriptors is ready for what it asks (a hang-up or
// error counts as ready). Returns WAIT_OBJECT_0 + index of the first ready
// one, WAIT_TIMEOUT, or WAIT_FAILED with errno set. EINTR is retried.
uint32_t WaitForFds(std::span<const TFdWait> fds, uint32_t timeoutMs);

// One poll of one descriptor for up to timeoutMs (-1 without end): 1 ready,
// 0 timed out, -1 failed with errno set (EINTR is left to the caller, who
// knows its own deadline).
int PollFd(int fd, short events, int timeoutMs);
// Sleeps for ms milliseconds.
void SleepMs(int ms);

}  // namespace Platform
