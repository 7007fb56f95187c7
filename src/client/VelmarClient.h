#pragma once
// The engine's side of the pipe: connect to the manager, send and receive
// whole messages with the transport's framing, and make JSON-RPC calls.
// One client is used by one thread at a time.
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Shared/Componen/PipeFraming.h"
#include "diagnostics/Exception.h"
#include "platform/Clock.h"
#include "platform/LocalSocket.h"

// Any failure of the client; the message says what happened.
VELMAR_DECLARE_EXCEPTION(EVelmarClientError, Exception, "EVelmarClientError");
// Nothing (or not all of it) arrived in time.
VELMAR_DECLARE_EXCEPTION(EVelmarClientTimeout, EVelmarClientError, "EVelmarClientTimeout");
// The manager closed the connection, or it was never open.
VELMAR_DECLARE_EXCEPTION(EVelmarClientDisconnected, EVelmarClientError, "EVelmarClientDisconnected");

class TVelmarClient {
 public:
  static constexpr uint32_t DEFAULT_TIMEOUT_MS = 30000;
  static constexpr uint32_t INFINITE_TIMEOUT = 0xFFFFFFFFu;

  TVelmarClient() = default;
  ~TVelmarClient() = default;
  TVelmarClient(const TVelmarClient&) = delete;
  TVelmarClient& operator=(const TVelmarClient&) = delete;

  // Connects to the pipe name (as the manager passes it in /RPC=), retrying
  // until someone listens or timeoutMs has passed (EVelmarClientTimeout).
  void Connect(const std::string& pipeName, uint32_t timeoutMs = DEFAULT_TIMEOUT_MS);
  bool Connected() const { return FSocket.IsOpen(); }
  void Close();

  // Sends one message of any length: longer than MAX_BUFFER bytes it goes as
  // start, pieces and end, exactly as the manager's queue cuts its replies.
  // Waits while the socket is full; EVelmarClientTimeout after timeoutMs.
  void Send(const void* data, size_t size, uint32_t timeoutMs = DEFAULT_TIMEOUT_MS);
  void Send(const std::string& message, uint32_t timeoutMs = DEFAULT_TIMEOUT_MS) {
    Send(message.data(), message.size(), timeoutMs);
  }
  // Sends count bytes as one raw pipe message, unframed (for peers and tests
  // that exercise the framing themselves).
  void SendPacket(const void* data, size_t size, uint32_t timeoutMs = DEFAULT_TIMEOUT_MS);

  // Receives one whole message, putting framed pieces together.
  std::string Receive(uint32_t timeoutMs = DEFAULT_TIMEOUT_MS);

  // Sends {"jsonrpc":"2.0","method":...,"params":...,"id":n} with ids
  // counting from 1 and returns the parsed reply carrying that id (replies
  // to earlier, abandoned calls are skipped). A reply that is not JSON
  // raises EVelmarClientError.
  nlohmann::json Call(const std::string& method, const nlohmann::json& params,
                      uint32_t timeoutMs = DEFAULT_TIMEOUT_MS);
  // The id the next Call will use.
  int64_t NextId() const { return FNextId; }

  Platform::TLocalSocket& Socket() { return FSocket; }

 private:
  void SendOne(const void* data, uint32_t size, const Platform::TDeadline& deadline);
  // Waits for events on the socket until the deadline; false on time-out.
  bool WaitSocket(short events, const Platform::TDeadline& deadline);
  // Reads one whole pipe message into FPacket; FPacketSize is its length.
  void ReceivePacket(const Platform::TDeadline& deadline);

  Platform::TLocalSocket FSocket;
  TPipeReceiver FReceiver;
  // Kept from packet to packet: room for any packet, touched only as far as
  // replies fill it.
  std::unique_ptr<Platform::TPacketBuffer> FPacket;
  size_t FPacketSize = 0;
  int64_t FNextId = 1;
};
