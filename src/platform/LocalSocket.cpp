#include "platform/LocalSocket.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <cstdlib>
#include <cstring>
#include <linux/sockios.h>
#include <poll.h>
#include <sched.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/random.h>
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

// The outcome of a call that failed with err.
TIoResult Outcome(int err) {
  switch (err) {
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
      return {TIo::WouldBlock, EAGAIN};
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ESHUTDOWN:
      return {TIo::PeerGone, err};
    default:
      return {TIo::Failed, err};
  }
}

// The peer's orderly close: end of stream on a read.
constexpr TIoResult PEER_CLOSED{TIo::PeerGone, EPIPE};
// Our own descriptor is closed.
constexpr TIoResult NOT_OPEN{TIo::PeerGone, ENOTCONN};

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

bool NobodyListens(const TIoResult& r) {
  return r.Status == TIo::Failed && (r.Errno == ECONNREFUSED || r.Errno == ENOENT);
}

std::string LocalSocketAddress(const std::string& pipeName) {
  std::string address(1, '\0');
  if (const char* ns = std::getenv("VELMAR_PIPE_NAMESPACE")) address += ns;
  address += pipeName;
  return address;
}

std::string RandomHex(size_t digits) {
  static const char HEX[] = "0123456789abcdef";
  std::string bytes((digits + 1) / 2, '\0');
  size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  std::string text;
  for (const char b : bytes) {
    text += HEX[static_cast<unsigned char>(b) >> 4];
    text += HEX[static_cast<unsigned char>(b) & 15];
  }
  text.resize(digits);
  return text;
}

void EnsurePipeNamespace() {
  if (std::getenv("VELMAR_PIPE_NAMESPACE")) return;
  const std::string ns = "u" + std::to_string(::geteuid()) + "-" + RandomHex(16) + "-";
  ::setenv("VELMAR_PIPE_NAMESPACE", ns.c_str(), 1);
}

std::optional<uint32_t> ListenerUserId(const std::string& pipeName) {
  TLocalSocket probe;
  if (!probe.Connect(pipeName).Done()) return std::nullopt;
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(probe.Fd(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer)
    return std::nullopt;
  return static_cast<uint32_t>(peer.uid);
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

bool TLocalSocket::Pair(TLocalSocket& a, TLocalSocket& b) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return false;
  a = TLocalSocket(fds[0]);
  b = TLocalSocket(fds[1]);
  return true;
}

TIoResult TLocalSocket::Connect(const std::string& pipeName) {
  Close();
  sockaddr_un addr;
  socklen_t len;
  if (!BuildAddress(pipeName, addr, len)) return {TIo::Failed, ENAMETOOLONG};
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return {TIo::Failed, errno};
  int r;
  do r = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len);
  while (r < 0 && errno == EINTR);
  if (r < 0) {
    const int err = errno;
    CloseFd(fd);
    // A full backlog refuses a non-blocking connect with EAGAIN.
    if (err == EAGAIN) return {TIo::WouldBlock, EAGAIN};
    return {TIo::Failed, err};
  }
  FFd = fd;
  EnablePassCred(FFd);
  return {};
}

void TLocalSocket::Close() { CloseFd(FFd); }

void TLocalSocket::Shutdown() {
  if (FFd >= 0) ::shutdown(FFd, SHUT_RDWR);
}

TIoResult TLocalSocket::ReadMessage(std::vector<uint8_t>& buffer, size_t& length, size_t maxLength) {
  length = 0;
  if (FFd < 0) return NOT_OPEN;
  // The length first (MSG_TRUNC reports a packet's whole length), so that
  // the one read that takes the packet has room for all of it.
  const TRecvResult peek = RecvMessage(FFd, nullptr, 0, MSG_PEEK | MSG_TRUNC);
  if (peek.Length < 0) return Outcome(peek.Error);
  if (!peek.Message) return PEER_CLOSED;
  const size_t size = static_cast<size_t>(peek.Length);
  if (size > maxLength) return {TIo::Failed, EMSGSIZE};
  if (buffer.size() < size) buffer.resize(size);
  const TRecvResult got = RecvMessage(FFd, buffer.data(), buffer.size(), 0);
  if (got.Length < 0) return Outcome(got.Error);
  if (!got.Message) return PEER_CLOSED;
  length = static_cast<size_t>(got.Length);
  return {};
}

TIoResult TLocalSocket::ReceiveMessage(TPacketBuffer& buffer, size_t& length) {
  length = 0;
  if (FFd < 0) return NOT_OPEN;
  // MSG_TRUNC: the result is the packet's whole length, also when it did
  // not fit.
  const TRecvResult got = RecvMessage(FFd, buffer.Data(), buffer.Capacity(), MSG_TRUNC);
  if (got.Length < 0) return Outcome(got.Error);
  if (!got.Message) return PEER_CLOSED;
  if (static_cast<size_t>(got.Length) > buffer.Capacity()) return {TIo::Failed, EMSGSIZE};
  length = static_cast<size_t>(got.Length);
  return {};
}

size_t LargestPacket() {
  static const size_t largest = [] {
    constexpr size_t CAP = (size_t{64} << 20) + 1;
    // The kernel's own default send buffer, should the setting be unreadable.
    size_t wmemMax = 212992;
    char text[32] = {};
    const int fd = ::open("/proc/sys/net/core/wmem_max", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      const ssize_t n = ::read(fd, text, sizeof text - 1);
      ::close(fd);
      char* end = nullptr;
      const unsigned long long v = n > 0 ? std::strtoull(text, &end, 10) : 0;
      if (end != text && v > 0) wmemMax = static_cast<size_t>(std::min<unsigned long long>(v, CAP));
    }
    return std::min(CAP, 2 * wmemMax + 4096);
  }();
  return largest;
}

bool TLocalSocket::HasMessage() {
  if (FFd < 0) return false;
  pollfd p{FFd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & (POLLIN | POLLHUP | POLLERR));
}

TIoResult TLocalSocket::Write(const void* buffer, size_t count) {
  if (FFd < 0) return NOT_OPEN;
  ssize_t r;
  do r = ::send(FFd, buffer, count, MSG_NOSIGNAL | MSG_DONTWAIT);
  while (r < 0 && errno == EINTR);
  if (r < 0) return Outcome(errno);
  return {};  // a packet goes whole or not at all
}

uint32_t TLocalSocket::UnsentBytes() const {
  if (FFd < 0) return 0;
  int pending = 0;
  if (::ioctl(FFd, SIOCOUTQ, &pending) != 0) return 0;
  return pending > 0 ? static_cast<uint32_t>(pending) : 0;
}

bool TLocalSocket::Flush(int killFd) {
  if (FFd < 0) return true;
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
    if (UnsentBytes() == 0) return true;
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
      return false;
    }
    if (n == 2 && (p[1].revents & POLLIN)) return false;
    if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return true;
    // Input stays readable until the worker reads it: watched once only.
    if (p[0].revents & POLLIN) watchInput = false;
  }
}

// ---- TLocalListener ----

TLocalListener::~TLocalListener() { Close(); }

int TLocalListener::Listen(const std::string& pipeName, int backlog) {
  Close();
  sockaddr_un addr;
  socklen_t len;
  if (!BuildAddress(pipeName, addr, len)) return ENAMETOOLONG;
  int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 || ::listen(fd, backlog) != 0) {
    const int err = errno;
    CloseFd(fd);
    return err;
  }
  FFd = fd;
  return 0;
}

TIoResult TLocalListener::Accept(TLocalSocket& connection) {
  if (FFd < 0) return NOT_OPEN;
  int fd;
  do fd = ::accept4(FFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return Outcome(errno);
  // The engines are this user's own children. A process of another user
  // could pose as one of them and end or spoil the run: it is hung up on.
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || size != sizeof peer ||
      peer.uid != ::geteuid()) {
    CloseFd(fd);
    return {TIo::Failed, EACCES};
  }
  connection = TLocalSocket(fd);
  return {};
}

void TLocalListener::Close() { CloseFd(FFd); }

}  // namespace Platform
