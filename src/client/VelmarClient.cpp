#include "client/VelmarClient.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/FdWait.h"

using namespace Platform;

namespace {

TDeadline DeadlineAfter(uint32_t timeoutMs) {
  return timeoutMs == TVelmarClient::INFINITE_TIMEOUT ? TDeadline::Never() : TDeadline::After(timeoutMs);
}

// Milliseconds left for a poll: -1 waits without end.
int RemainingMs(const TDeadline& deadline) { return deadline.RemainingMs(1000000); }

std::string ErrnoText(int err) { return "errno " + std::to_string(err); }

}  // namespace

void TVelmarClient::Connect(const std::string& pipeName, uint32_t timeoutMs) {
  Close();
  const TDeadline deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    const TIoResult r = FSocket.Connect(pipeName);
    if (r.Done()) return;
    // Nobody listens yet, or the listener's backlog is full: try again.
    if (!NobodyListens(r) && r.Status != TIo::WouldBlock)
      throw EVelmarClientError("Could not connect to pipe \"" + pipeName + "\" (" + ErrnoText(r.Errno) + ")");
    const int left = RemainingMs(deadline);
    if (left == 0)
      throw EVelmarClientTimeout("Could not connect to pipe \"" + pipeName + "\" within " +
                                 std::to_string(timeoutMs) + " ms");
    // Nobody listens yet (the manager may still be starting): try again soon.
    SleepMs(left < 0 || left > 10 ? 10 : left);
  }
}

void TVelmarClient::Close() {
  FSocket.Close();
  FReceiver.Discard();
  FPacketSize = 0;
}

bool TVelmarClient::WaitSocket(short events, const TDeadline& deadline) {
  for (;;) {
    const int r = PollFd(FSocket.Fd(), events, RemainingMs(deadline));
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) throw EVelmarClientError("Waiting on the pipe failed (errno " + std::to_string(errno) + ")");
  }
}

void TVelmarClient::SendOne(const void* data, uint32_t size, const TDeadline& deadline) {
  for (;;) {
    const TIoResult r = FSocket.Write(data, size);
    if (r.Done()) return;
    if (r.Status == TIo::PeerGone) throw EVelmarClientDisconnected("The manager closed the pipe");
    if (r.Status != TIo::WouldBlock)
      throw EVelmarClientError("Writing to the pipe failed (" + ErrnoText(r.Errno) + ")");
    if (!WaitSocket(POLLOUT, deadline)) throw EVelmarClientTimeout("Timed out writing to the pipe");
  }
}

void TVelmarClient::SendPacket(const void* data, size_t size, uint32_t timeoutMs) {
  if (!FSocket.IsOpen()) throw EVelmarClientDisconnected("Not connected");
  if (size > UINT32_MAX) throw EVelmarClientError("Packet too long");
  SendOne(data, static_cast<uint32_t>(size), DeadlineAfter(timeoutMs));
}

void TVelmarClient::Send(const void* data, size_t size, uint32_t timeoutMs) {
  if (!FSocket.IsOpen()) throw EVelmarClientDisconnected("Not connected");
  const TDeadline deadline = DeadlineAfter(timeoutMs);
  if (size <= static_cast<size_t>(MAX_BUFFER)) {
    SendOne(data, static_cast<uint32_t>(size), deadline);
    return;
  }
  if (size > static_cast<size_t>(INT32_MAX)) throw EVelmarClientError("Message too long");
  // Cut as the manager's queue cuts (a start packet, data packets of at most
  // MAX_BUFFER bytes, an end packet), but sent from where the message lies
  // rather than copied into packets first.
  uint8_t control[PIPE_MSG_BLOCK_SIZE];
  EncodePipeMsgBlock(MB_START, control);
  SendOne(control, sizeof control, deadline);
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t at = 0; at < size; at += static_cast<size_t>(MAX_BUFFER))
    SendOne(bytes + at, static_cast<uint32_t>(std::min(size - at, static_cast<size_t>(MAX_BUFFER))), deadline);
  EncodePipeMsgBlock(MB_END, control);
  SendOne(control, sizeof control, deadline);
}

void TVelmarClient::ReceivePacket(const TDeadline& deadline) {
  FPacketSize = 0;
  if (!FPacket) FPacket = std::make_unique<TPacketBuffer>();
  // A reply is rarely there yet when this is called (the manager has just
  // been sent the request): waiting first saves a read that would find
  // nothing.
  for (;;) {
    if (!WaitSocket(POLLIN, deadline)) throw EVelmarClientTimeout("Timed out waiting for a message");
    const TIoResult r = FSocket.ReceiveMessage(*FPacket, FPacketSize);
    if (r.Done()) return;
    if (r.Status == TIo::PeerGone) throw EVelmarClientDisconnected("The manager closed the pipe");
    if (r.Status != TIo::WouldBlock)
      throw EVelmarClientError("Reading from the pipe failed (" + ErrnoText(r.Errno) + ")");
  }
}

std::string TVelmarClient::Receive(uint32_t timeoutMs) {
  if (!FSocket.IsOpen()) throw EVelmarClientDisconnected("Not connected");
  const TDeadline deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    ReceivePacket(deadline);
    std::string message;
    bool delivered = false;
    const bool accepted =
        FReceiver.Receive(std::span<const uint8_t>(FPacket->Data(), FPacketSize), [&](const TPipeMessage& m) {
          message = m.Text();
          delivered = true;
        });
    if (!accepted)
      throw EVelmarClientError("A message from the manager is larger than " +
                               std::to_string(FReceiver.MaxSize()) + " bytes");
    if (delivered) return message;
  }
}

nlohmann::json TVelmarClient::Call(const std::string& method, const nlohmann::json& params, uint32_t timeoutMs) {
  const TDeadline deadline = DeadlineAfter(timeoutMs);
  const int64_t id = FNextId++;
  nlohmann::json request = {{"jsonrpc", "2.0"}, {"method", method}, {"id", id}};
  if (!params.is_null()) request["params"] = params;
  Send(request.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace),
       deadline.IsNever() ? INFINITE_TIMEOUT : static_cast<uint32_t>(RemainingMs(deadline)));
  for (;;) {
    const int left = RemainingMs(deadline);
    if (left == 0) throw EVelmarClientTimeout("Timed out waiting for the reply to \"" + method + "\"");
    const std::string text = Receive(left < 0 ? INFINITE_TIMEOUT : static_cast<uint32_t>(left));
    nlohmann::json reply = nlohmann::json::parse(text, nullptr, false);
    if (reply.is_discarded()) throw EVelmarClientError("The reply to \"" + method + "\" is not JSON: " + text);
    if (!reply.is_object()) return reply;
    const auto it = reply.find("id");
    // A null id answers a request the manager could not read: ours.
    if (it == reply.end() || it->is_null() || *it == id) return reply;
    // Otherwise it is the late reply to an earlier call that timed out.
  }
}
