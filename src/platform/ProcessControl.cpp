#include "platform/ProcessControl.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

int CreateRunChannel(int& batchEnd, int& runEnd) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return errno;
  batchEnd = fds[0];
  runEnd = fds[1];
  return 0;
}

bool ChannelPeerGone(int fd) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) != 1) return false;
  if (p.revents & (POLLHUP | POLLRDHUP | POLLERR)) return true;
  if (!(p.revents & POLLIN)) return false;
  char c;
  return ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

int ChannelSend(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int TakeStdInput() {
  const int copy = ::fcntl(0, F_DUPFD_CLOEXEC, 3);
  if (copy < 0) return -1;
  const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, 0);  // dup2 clears close-on-exec on 0
    ::close(null);
  }
  return copy;
}

std::string ChannelReceive(int fd) {
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

}  // namespace Platform
