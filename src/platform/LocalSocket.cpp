#include "platform/LocalSocket.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/sockios.h>
#include <poll.h>
#include <sched.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace Platform {
namespace {

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Every socket we read from passes credentials: each received message then
// carries a control record, and end-of-stream carries none. That is how a
// zero-length message is told from the peer's hang-up — both read as 0 bytes,
// and poll cannot separate a queued empty message followed by a close.
void EnablePassCred(int fd) {
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on);
}

struct TRecvResult {
  ssize_t Length;  // message length (untruncated), or -1
  bool Message;    // a message was there (false: end of stream)
  int Error;       // errno when Length < 0
};

TRecvResult RecvMessage(int fd, void* buffer, size_t size, int flags) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  iovec iov{buffer, size};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  ssize_t r;
  do r = ::recvmsg(fd, &msg, flags | MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  while (r < 0 && errno == EINTR);
  if (r < 0) return {-1, false, errno};
  return {r, r > 0 || msg.msg_controllen > 0, 0};
}

bool BuildAddress(const std::string& pipeName, sockaddr_un& addr, socklen_t& len) {
  const std::string path = LocalSocketAddress(pipeName);
  if (path.size() > sizeof addr.sun_path) return false;
  std::memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  return true;
}


}  // namespace

uint32_t MapSocketErrno(int err) {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return ERROR_IO_PENDING;
    case EPIPE:
    case ECONNRESET:
      return ERROR_BROKEN_PIPE;
    case ENOTCONN:
    case ESHUTDOWN:
      return ERROR_NO_DATA;
    case ECONNREFUSED:
    case ENOENT:
      return ERROR_FILE_NOT_FOUND;
    case EADDRINUSE:
      return ERROR_ACCESS_DENIED;
    case EISCONN:
      return ERROR_PIPE_CONNECTED;
    default:
      return static_cast<uint32_t>(err);
  }
}

std::string LocalSocketAddress(const std::string& pipeName) {
  std::string address(1, '\0');
  if (const char* ns = std::getenv("VELMAR_PIPE_NAMESPACE")) address += ns;
  address += pipeName;
  return address;
}

// ---- TLocalSocket ----

TLocalSocket::TLocalSocket(int fd) : FFd(fd) {
  if (FFd >= 0) EnablePassCred(FFd);
}

TLocalSocket::~TLocalSocket() { Close(); }

TLocalSocket::TLocalSocket(TLocalSocket&& other) noexcept : FFd(other.FFd) { other.FFd = -1; }

TLocalSocket& TLocalSocket::operator=(TLocalSocket&& other) noexcept {
  if (this != &other) {
    Close();
    FFd = other.FFd;
    other.FFd = -1;
  }
  return *this;
}

uint32_t TLocalSocket::Pair(TLocalSocket& a, TLocalSocket& b) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
    return MapSocketErrno(errno);
  a = TLocalSocket(fds[0]);
  b = TLocalSocket(fds[1]);
  return ERROR_SUCCESS;
}

uint32_t TLocalSocket::Connect(const std::string& pipeName) {
  Close();
  sockaddr_un addr;
  socklen_t len;
  if (!BuildAddress(pipeName, addr, len)) return MapSocketErrno(ENAMETOOLONG);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return MapSocketErrno(errno);
  int r;
  do r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len);
  while (r < 0 && errno == EINTR);
  if (r < 0) {
    const int err = errno;
    CloseFd(fd);
    // A full backlog refuses a non-blocking connect with EAGAIN.
    if (err == EAGAIN) return ERROR_PIPE_BUSY;
    return MapSocketErrno(err);
  }
  FFd = fd;
  EnablePassCred(FFd);
  return ERROR_SUCCESS;
}

void TLocalSocket::Close() { CloseFd(FFd); }

void TLocalSocket::Shutdown() {
  if (FFd >= 0) ::shutdown(FFd, SHUT_RDWR);
}

uint32_t TLocalSocket::ReadMessage(std::vector<uint8_t>& buffer, size_t& length, size_t maxLength) {
  length = 0;
  if (FFd < 0) return ERROR_NO_DATA;
  // The length first (MSG_TRUNC reports a packet's whole length), so that
  // the one read that takes the packet has room for all of it.
  const TRecvResult peek = RecvMessage(FFd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
  if (peek.Length < 0) return MapSocketErrno(peek.Error);
  if (!peek.Message) return ERROR_BROKEN_PIPE;
  const size_t size = static_cast<size_t>(peek.Length);
  if (size > maxLength) return MapSocketErrno(EMSGSIZE);
  if (buffer.size() < size) buffer.resize(size);
  const TRecvResult got = RecvMessage(FFd, buffer.data(), buffer.size(), 0);
  if (got.Length < 0) return MapSocketErrno(got.Error);
  if (!got.Message) return ERROR_BROKEN_PIPE;
  length = static_cast<size_t>(got.Length);
  return ERROR_SUCCESS;
}

bool TLocalSocket::HasMessage() {
  if (FFd < 0) return false;
  pollfd p{FFd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

uint32_t TLocalSocket::Write(const void* buffer, uint32_t count, uint32_t& bytesWritten) {
  bytesWritten = 0;
  if (FFd < 0) return ERROR_NO_DATA;
  ssize_t r;
  do r = ::send(FFd, buffer, count, MSG_NOSIGNAL | MSG_DONTWAIT);
  while (r < 0 && errno == EINTR);
  if (r < 0) return MapSocketErrno(errno);
  bytesWritten = static_cast<uint32_t>(r);
  return ERROR_SUCCESS;
}

uint32_t TLocalSocket::UnsentBytes() const {
  if (FFd < 0) return 0;
  int pending = 0;
  if (::ioctl(FFd, SIOCOUTQ, &pending) != 0) return 0;
  return pending > 0 ? static_cast<uint32_t>(pending) : 0;
}

uint32_t TLocalSocket::Flush(int killFd) {
  if (FFd < 0) return ERROR_SUCCESS;
  // No readiness event reports "the peer has read everything", so poll the
  // send queue: a few yields first (a reader that is waiting takes the data
  // at once), then short sleeps growing to 10 ms, always watching the kill
  // event and the peer's hang-up. A peer that answers what it read (an
  // engine sends its next call only after reading our reply) wakes the
  // wait at once: while nothing was waiting to be read when the flush
  // began, the arrival of a message ends the sleep.
  int spins = 0;
  int sleepMs = 1;
  bool watchInput = !HasMessage();
  for (;;) {
    if (UnsentBytes() == 0) return ERROR_SUCCESS;
    pollfd p[2] = {{FFd, static_cast<short>(watchInput ? POLLIN : 0), 0}, {killFd, POLLIN, 0}};
    const nfds_t n = killFd >= 0 ? 2 : 1;
    int timeout = 0;
    if (spins < 20) {
      ++spins;
      sched_yield();
    } else {
      timeout = sleepMs;
      if (sleepMs < 10) ++sleepMs;
    }
    const int r = ::poll(p, n, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      return MapSocketErrno(errno);
    }
    if (n == 2 && (p[1].revents & POLLIN)) return ERROR_OPERATION_ABORTED;
    if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return ERROR_SUCCESS;
    // Input stays readable until the worker reads it: watched once only.
    if (p[0].revents & POLLIN) watchInput = false;
  }
}

// ---- TLocalListener ----

TLocalListener::~TLocalListener() { Close(); }

uint32_t TLocalListener::Listen(const std::string& pipeName, int backlog) {
  Close();
  sockaddr_un addr;
  socklen_t len;
  if (!BuildAddress(pipeName, addr, len)) return MapSocketErrno(ENAMETOOLONG);
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return MapSocketErrno(errno);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 || ::listen(fd, backlog) != 0) {
    const int err = errno;
    CloseFd(fd);
    return MapSocketErrno(err);
  }
  FFd = fd;
  return ERROR_SUCCESS;
}

uint32_t TLocalListener::Accept(TLocalSocket& connection) {
  if (FFd < 0) return ERROR_NO_DATA;
  int fd;
  do fd = ::accept4(FFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return MapSocketErrno(errno);
  // The engines are this user's own children. A process of another user
  // could pose as one of them and end or spoil the run: it is hung up on.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer ||
      peer.uid != ::geteuid()) {
    CloseFd(fd);
    return ERROR_ACCESS_DENIED;
  }
  connection = TLocalSocket(fd);
  return ERROR_SUCCESS;
}

void TLocalListener::Close() { CloseFd(FFd); }

}  // namespace Platform
