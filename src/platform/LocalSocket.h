#pragma once
// The local message endpoint: AF_UNIX SOCK_SEQPACKET sockets in the abstract
// namespace, at "\0" + $VELMAR_PIPE_NAMESPACE + name. Every send is one whole
// message at the other end. All sockets are non-blocking; results are the
// Windows error codes the transport tests, so its code reads like the
// overlapped-pipe code it stands in for. Other failures return the errno.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Platform {

inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;   // nobody listens at the name
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;    // the name is in use
inline constexpr uint32_t ERROR_BROKEN_PIPE = 109;    // peer closed its end
inline constexpr uint32_t ERROR_PIPE_BUSY = 231;      // listener's backlog is full
inline constexpr uint32_t ERROR_NO_DATA = 232;        // our end is shut down
inline constexpr uint32_t ERROR_PIPE_CONNECTED = 535;
inline constexpr uint32_t ERROR_OPERATION_ABORTED = 995;  // interrupted by the kill event
inline constexpr uint32_t ERROR_IO_PENDING = 997;     // would block: wait on Fd()

// The errno → Windows code mapping used by every call below.
uint32_t MapSocketErrno(int err);

// The address bytes for a pipe name (abstract: the first byte is '\0').
std::string LocalSocketAddress(const std::string& pipeName);

// One connected endpoint. Movable, not copyable; closes on destruction.
class TLocalSocket {
 public:
  TLocalSocket() = default;
  explicit TLocalSocket(int fd);  // adopts a connected socket
  ~TLocalSocket();
  TLocalSocket(TLocalSocket&& other) noexcept;
  TLocalSocket& operator=(TLocalSocket&& other) noexcept;
  TLocalSocket(const TLocalSocket&) = delete;
  TLocalSocket& operator=(const TLocalSocket&) = delete;

  // A connected pair (for tests and in-process peers).
  static uint32_t Pair(TLocalSocket& a, TLocalSocket& b);

  // Connects to a listening name; ERROR_FILE_NOT_FOUND when nobody listens,
  // ERROR_PIPE_BUSY when its backlog is full. Does not wait.
  uint32_t Connect(const std::string& pipeName);

  bool IsOpen() const { return FFd >= 0; }
  int Fd() const { return FFd; }
  void Close();
  // Stops both directions; the peer reads a hang-up. The descriptor stays.
  void Shutdown();

  // Reads the next message whole, with one read: its length is looked at
  // first, and buffer grows to it when it is shorter (buffer never shrinks,
  // so a buffer kept by the caller soon needs no more growing). length is
  // the message's length, which may be 0. ERROR_SUCCESS; ERROR_IO_PENDING
  // when no message is waiting; ERROR_BROKEN_PIPE when the peer has closed
  // and nothing is left; EMSGSIZE's code when the message is longer than
  // maxLength: it is then left unread and nothing is allocated for it.
  uint32_t ReadMessage(std::vector<uint8_t>& buffer, size_t& length, size_t maxLength = SIZE_MAX);
  // Whether a message can be read without blocking.
  bool HasMessage();

  // Sends count bytes as one message. ERROR_SUCCESS with bytesWritten =
  // count; ERROR_IO_PENDING when the socket is full (wait for POLLOUT and
  // write again); ERROR_BROKEN_PIPE when the peer has gone.
  uint32_t Write(const void* buffer, uint32_t count, uint32_t& bytesWritten);

  // Waits until the peer has read everything sent so far, or has gone
  // (ERROR_SUCCESS either way), or killFd (an event, -1 for none) is set
  // (ERROR_OPERATION_ABORTED).
  uint32_t Flush(int killFd = -1);
  // Bytes sent but not yet read by the peer.
  uint32_t UnsentBytes() const;

 private:
  int FFd = -1;
};

// A listening name.
class TLocalListener {
 public:
  TLocalListener() = default;
  ~TLocalListener();
  TLocalListener(const TLocalListener&) = delete;
  TLocalListener& operator=(const TLocalListener&) = delete;

  // Binds and listens; ERROR_ACCESS_DENIED when the name is already in use
  // (by this or any other process), other codes for other failures.
  uint32_t Listen(const std::string& pipeName, int backlog = 128);
  // Takes one pending connection; ERROR_IO_PENDING when none is waiting
  // (poll Fd() for POLLIN). A connection from a process of another user
  // than ours is closed at once and reported as ERROR_ACCESS_DENIED.
  uint32_t Accept(TLocalSocket& connection);
  bool IsOpen() const { return FFd >= 0; }
  int Fd() const { return FFd; }
  void Close();

 private:
  int FFd = -1;
};

}  // namespace Platform
