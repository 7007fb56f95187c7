#pragma once
// The local message endpoint: AF_UNIX SOCK_SEQPACKET sockets in the abstract
// namespace, at "\0" + $VELMAR_PIPE_NAMESPACE + name. Every send is one whole
// message at the other end. All sockets are non-blocking; an operation says
// how it ended (TIo) and with which errno.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Platform {

// How a socket operation ended.
enum class TIo {
  Done,
  WouldBlock,  // nothing to read, no room to write, nobody to accept: wait on Fd()
  PeerGone,    // the peer has closed its end, or ours is shut down
  Failed,      // anything else
};

// The outcome and, unless Done, the errno that tells it: EAGAIN for
// WouldBlock; EPIPE or ECONNRESET for a peer that has gone (EPIPE also for
// its orderly close), ENOTCONN or ESHUTDOWN for our end shut down; for
// Failed the system's errno (EMSGSIZE: a message over the reader's bound).
struct TIoResult {
  TIo Status = TIo::Done;
  int Errno = 0;
  bool Done() const { return Status == TIo::Done; }
};

// Whether a Connect failed because nobody listens at the name.
bool NobodyListens(const TIoResult& r);

// The address bytes for a pipe name (abstract: the first byte is '\0').
std::string LocalSocketAddress(const std::string& pipeName);

// When VELMAR_PIPE_NAMESPACE is not set, sets it in this process's
// environment, which the children inherit, to a namespace of this user's
// own: "u" + the user id + "-" + 16 random hex digits + "-". An abstract
// name is open to anyone to bind: one nobody can guess cannot be taken
// first. Call before any thread starts.
void EnsurePipeNamespace();
// hex digits drawn from the kernel's random source (getrandom).
std::string RandomHex(size_t digits);

// The user id of the process listening at a name in use (the kernel's
// record of the listener, SO_PEERCRED); none when nobody answers.
std::optional<uint32_t> ListenerUserId(const std::string& pipeName);

// The longest packet a peer can hand us: a packet is bounded by its sender's
// send buffer, which a process without privileges can raise to twice the
// kernel's net.core.wmem_max. Read from the kernel once; capped at 64 MiB + 1.
size_t LargestPacket();

// Room for any packet a peer can send, so that one read takes it whole. Its
// memory is not cleared: pages are touched (and committed) only as packets
// fill them, so a buffer that only ever holds short calls costs a few pages.
class TPacketBuffer {
 public:
  TPacketBuffer() : FCapacity(LargestPacket()), FData(new uint8_t[FCapacity]) {}
  uint8_t* Data() { return FData.get(); }
  const uint8_t* Data() const { return FData.get(); }
  size_t Capacity() const { return FCapacity; }

 private:
  size_t FCapacity;
  std::unique_ptr<uint8_t[]> FData;
};

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

  // A connected pair (for tests and in-process peers); false with errno set
  // when none could be made.
  static bool Pair(TLocalSocket& a, TLocalSocket& b);

  // Connects to a listening name. Does not wait: WouldBlock when the
  // listener's backlog is full, Failed with ECONNREFUSED or ENOENT when
  // nobody listens at the name (NobodyListens).
  TIoResult Connect(const std::string& pipeName);

  bool IsOpen() const { return FFd >= 0; }
  int Fd() const { return FFd; }
  void Close();
  // Stops both directions; the peer reads a hang-up. The descriptor stays.
  void Shutdown();

  // Reads the next message whole, with one read: its length is looked at
  // first, and buffer grows to it when it is shorter (buffer never shrinks,
  // so a buffer kept by the caller soon needs no more growing). length is
  // the message's length, which may be 0. WouldBlock when no message is
  // waiting; PeerGone once the peer has closed and nothing is left; Failed
  // with EMSGSIZE when the message is longer than maxLength: it is then
  // left unread and nothing is allocated for it.
  TIoResult ReadMessage(std::vector<uint8_t>& buffer, size_t& length, size_t maxLength = SIZE_MAX);
  // Reads the next message with one read (no look at its length first):
  // the way to read on a hot path. length is the message's length, which
  // may be 0. WouldBlock, PeerGone as for ReadMessage; Failed with EMSGSIZE
  // when the message did not fit the buffer, which only a privileged peer
  // can cause: it is then consumed, and the caller ends the connection.
  TIoResult ReceiveMessage(TPacketBuffer& buffer, size_t& length);
  // Whether a message can be read without blocking.
  bool HasMessage();

  // Sends count bytes as one message: Done when all of it went;
  // WouldBlock when the socket is full (wait for POLLOUT and write again);
  // PeerGone when the peer has gone.
  TIoResult Write(const void* buffer, size_t count);

  // Waits until the peer has read everything sent so far, or has gone
  // (true either way); false when killFd (an event, -1 for none) was set
  // first or the wait failed.
  bool Flush(int killFd = -1);
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

  // Binds and listens: 0, or the errno (EADDRINUSE when the name is
  // already in use, by this or any other process).
  int Listen(const std::string& pipeName, int backlog = 128);
  // Takes one pending connection. WouldBlock when none is waiting (poll
  // Fd() for POLLIN). A connection from a process of another user than ours
  // is closed at once: Failed with EACCES.
  TIoResult Accept(TLocalSocket& connection);
  bool IsOpen() const { return FFd >= 0; }
  int Fd() const { return FFd; }
  void Close();

 private:
  int FFd = -1;
};

}  // namespace Platform
