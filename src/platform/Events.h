#pragma once
// Events over eventfd, so they can be polled together with sockets and
// pipes: a set event reads as POLLIN on Fd().
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <span>

namespace Platform {

inline constexpr uint32_t INFINITE = 0xFFFFFFFFu;
inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_TIMEOUT = 258;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFFu;

class TEvent {
 public:
  explicit TEvent(bool manualReset = true, bool initialState = false);
  ~TEvent();
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  // Waits until set (an auto-reset event is reset by a successful wait).
  bool WaitFor(uint32_t timeoutMs);
  // For poll(): readable while set.
  int Fd() const { return FFd; }
  bool ManualReset() const { return FManualReset; }

 private:
  int FFd;
  bool FManualReset;
};

// Waits until any of the file descriptors is readable (POLLIN, POLLHUP or
// POLLERR). Returns WAIT_OBJECT_0 + index of the first ready one,
// WAIT_TIMEOUT, or WAIT_FAILED. EINTR is retried with the remaining time.
uint32_t WaitForAnyFd(std::span<const int> fds, uint32_t timeoutMs);

// The same over events; an auto-reset event that ends the wait is reset.
uint32_t WaitForMultipleObjects(std::initializer_list<TEvent*> events, bool waitAll, uint32_t timeoutMs);

// Closes fd when it is valid and sets it to -1.
void CloseHandleClear(int& fd);
// Whether fd is a valid descriptor value (not -1, not 0 is allowed).
inline bool IsHandle(int fd) { return fd >= 0; }

}  // namespace Platform
