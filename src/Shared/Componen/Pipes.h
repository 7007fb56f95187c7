#pragma once
// The pipe server: one named local endpoint served to any number of clients.
//
// An active server runs a listener thread and one worker thread per client;
// it owns them and joins each once it has ended. The threads never touch
// the server: they report to its hidden window and
// hand connections over through synchronous calls, so every event runs on
// the thread that created the server (the owner's thread) while the
// reporting thread waits. That thread must run its message loop
// (Platform::ProcessMessages / WaitMessage) while the server is active.
//
// Clients are identified by a number that is never reused in the process
// (never 0 or 0xFFFFFFFF); 0 means all clients in Disconnect.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "Shared/Componen/PipeFraming.h"
#include "Shared/Componen/ThreadSync.h"
#include "diagnostics/Exception.h"
#include "platform/Events.h"
#include "platform/LocalSocket.h"

VELMAR_DECLARE_EXCEPTION(EPipeException, Exception, "EPipeException");

inline constexpr size_t MAX_NAME = 256;

// Notifications of the server's window; wParam is the client, lParam the
// TPipeNotice below.
inline constexpr uint32_t WM_PIPEERROR_L = WM_USER + 100;
inline constexpr uint32_t WM_PIPEERROR_W = WM_USER + 101;
inline constexpr uint32_t WM_PIPECONNECT = WM_USER + 102;
inline constexpr uint32_t WM_PIPESEND = WM_USER + 103;
inline constexpr uint32_t WM_PIPEMESSAGE = WM_USER + 104;
inline constexpr uint32_t WM_THREADCTX = WM_USER + 200;
inline constexpr uint32_t WM_DOSHUTDOWN = WM_USER + 300;
inline constexpr uint32_t WM_JOINENDED = WM_USER + 301;  // threads have ended: join them

enum TPipeContext { pcListener = 0, pcWorker = 1 };

// The codes OnPipeError reports are those of the Windows named pipes this
// transport stands in for; the sockets below speak errno. PipeErrorCode is
// the one place where one becomes the other.
inline constexpr int32_t ERROR_FILE_NOT_FOUND = 2;       // nobody listens at the name
inline constexpr int32_t ERROR_ACCESS_DENIED = 5;        // name in use; a client of another user refused
inline constexpr int32_t ERROR_BROKEN_PIPE = 109;        // the client hung up
inline constexpr int32_t ERROR_NO_DATA = 232;            // our end is shut down
inline constexpr int32_t ERROR_PIPE_CONNECTED = 535;
inline constexpr int32_t ERROR_IO_PENDING = 997;         // would block
// The OnPipeError code for a socket failure with errno err (any errno
// without a pipe counterpart is reported as itself).
int32_t PipeErrorCode(int err);

// What a transport thread tells its server. A notice is sent synchronously
// and lives on the sending thread's stack until the server has handled it.
struct TPipeConnectNotice {};
struct TPipeErrorNotice {
  TPipeContext Context;
  int32_t ErrorCode;  // as OnPipeError reports it
};
struct TPipeSentNotice {
  uint32_t Size;  // bytes written
};
struct TPipeMessageNotice {
  const TPipeMessage& Message;  // the whole message
};
using TPipeNotice = std::variant<TPipeConnectNotice, TPipeErrorNotice, TPipeSentNotice, TPipeMessageNotice>;
// The window message a notice travels as (one of the WM_PIPE* above).
uint32_t PipeNoticeMessage(const TPipeNotice& notice);
// Sends a notice to the server's window and waits until it has been
// handled; fds as for Platform::SendMessageWatching (empty: a plain send).
// Nothing is sent once the window is gone.
void SendPipeNotice(HWND window, uint32_t pipe, const TPipeNotice& notice, std::span<const int> fds = {});

class TPipeServer;

using TOnPipeConnect = std::function<void(TPipeServer* sender, uint32_t pipe)>;
using TOnPipeDisconnect = std::function<void(TPipeServer* sender, uint32_t pipe)>;
// The whole message, valid only during the call.
using TOnPipeMessage = std::function<void(TPipeServer* sender, uint32_t pipe, const TPipeMessage& message)>;
using TOnPipeSent = std::function<void(TPipeServer* sender, uint32_t pipe, uint32_t size)>;
using TOnPipeError = std::function<void(TPipeServer* sender, uint32_t pipe, TPipeContext context, int32_t errorCode)>;

// Raises "Invalid pipe name specified!" for an empty name, one longer than
// MAX_NAME characters, or one with a backslash.
void CheckPipeName(const std::string& value);

// Cuts a connection off: waits until the peer has read what was written (or
// has gone, or killFd is set), shuts the socket down and closes it.
void DisconnectAndClose(Platform::TLocalSocket& pipe, int killFd = -1);

// A worker's connection, owned by the worker: it alone reads from it, waits
// on it, flushes and closes it. It has one other writer: a reply may go
// straight from the server's thread to the socket (the write queue's direct
// sink), so that it does not wait for the worker to wake. Writes and the
// close are serialised by one lock: such a write never meets a closed (or
// reused) descriptor, and every packet goes out whole, in the order written.
class TPipeConnection {
 public:
  explicit TPipeConnection(Platform::TLocalSocket&& socket) : FSocket(std::move(socket)) {}
  TPipeConnection(const TPipeConnection&) = delete;
  TPipeConnection& operator=(const TPipeConnection&) = delete;

  // Any thread.
  Platform::TIoResult Write(const void* buffer, size_t count) {
    std::lock_guard<std::mutex> lock(FWriteLock);
    return FSocket.Write(buffer, count);
  }

  // The worker only.
  int Fd() const { return FSocket.Fd(); }
  Platform::TIoResult ReceiveMessage(Platform::TPacketBuffer& buffer, size_t& length) {
    return FSocket.ReceiveMessage(buffer, length);
  }
  bool Flush(int killFd) { return FSocket.Flush(killFd); }
  // DisconnectAndClose for the connection.
  void Disconnect(int killFd);

 private:
  std::mutex FWriteLock;
  Platform::TLocalSocket FSocket;
};

// One client in the server's table.
struct TPipeInfo {
  uint32_t Pipe = 0;
  std::unique_ptr<Platform::TEvent> KillEvent;  // manual reset; set: the worker ends
  std::unique_ptr<TWriteQueue> WriteQueue;
};

// Serves one connection: one read always outstanding, queued packets written
// one at a time, every event reported synchronously to the server's window.
// Owned by the server.
class TPipeThread : public TThreadEx {
 public:
  // notifySent, when given, tells whether anyone listens to WM_PIPESEND;
  // while nobody does, a sent packet costs no round trip to the owner.
  TPipeThread(HWND notifyWindow, uint32_t notifyThread, TWriteQueue* writeQueue, TThreadCounter* counter,
              uint32_t pipe, Platform::TLocalSocket&& socket, Platform::TEvent* killEvent,
              const std::atomic<bool>* notifySent = nullptr);
  ~TPipeThread() override;
  uint32_t Pipe() const { return FPipe; }

  // Sees every packet the workers read (the receive buffer's size after
  // the read and the packet's length); for tests of the receive buffer.
  // Set it while no worker runs.
  using TReadTrace = std::function<void(uint32_t pipe, size_t bufferSize, size_t length)>;
  static void SetReadTrace(TReadTrace trace);

 protected:
  void Execute() override;

 private:
  void Notify(const TPipeNotice& notice) { SendPipeNotice(FNotify, FPipe, notice); }
  bool QueuedRead();
  bool CompleteRead();
  bool QueuedWrite();
  bool CompleteWrite();
  // The packet of FRcvRead bytes in FRcvBuffer, taken where it lies. False
  // when the message went past the size bound (FErrno is then EMSGSIZE):
  // the connection ends.
  bool TakeMessage();
  // Tells the server when an assembly had to move from its file to memory.
  void ReportMoveToMemory();
  void DeliverMessage(const TPipeMessage& message);
  // Reads the next packet whole into FRcvBuffer with one read. A failure's
  // errno is kept in FErrno.
  Platform::TIo ReadPacket();
  void PacketSent();

  HWND FNotify;
  uint32_t FNotifyThread;
  uint32_t FPipe;
  TPipeConnection FSocket;
  int FErrno = 0;  // why the connection ends (EMSGSIZE: a message over the bound)
  TThreadCounter* FCounter;
  TWriteQueue* FWriteQueue;
  TPacket FPacket;  // taken from the queue, not yet written
  size_t FRcvRead = 0;
  bool FPendingRead = false;
  bool FPendingWrite = false;
  uint32_t FDelivered = 0;  // messages delivered so far
  bool FDraining = false;   // writing every queued packet before reading on
  TPipeReceiver FReceiver;  // holds the multi-packet message being assembled
  // The receive buffer, kept for the connection's life: room for any packet
  // a peer can send, touched only as far as packets fill it.
  Platform::TPacketBuffer FRcvBuffer;
  Platform::TEvent* FKillEvent;
  const std::atomic<bool>* FNotifySent;
};

// Accepts connections while the server is active and hands each to the
// server on its owner's thread. The endpoint is bound by the constructor, so
// a name in use fails there. Owned by the server.
class TPipeListenThread : public TThreadEx {
 public:
  TPipeListenThread(TPipeServer* pipeServer, Platform::TEvent* killEvent);
  ~TPipeListenThread() override;

 protected:
  void Execute() override;

 private:
  void DoWorker();

  HWND FNotify;
  uint32_t FNotifyThread;
  int FErrno = 0;  // why the last accept or wait failed; 0: it did not
  uint32_t FPipe = INVALID_HANDLE_VALUE;
  std::string FPipeName;
  bool FConnected = false;
  Platform::TEvent* FKillEvent;
  Platform::TLocalListener FListener;
  Platform::TLocalSocket FConnection;  // accepted, not yet handed over
  TPipeServer* FPipeServer;
};

class TPipeServer {
 public:
  TPipeServer();
  virtual ~TPipeServer();
  TPipeServer(const TPipeServer&) = delete;
  TPipeServer& operator=(const TPipeServer&) = delete;

  const std::string& GetPipeName() const { return FPipeName; }
  void SetPipeName(const std::string& value);
  bool GetActive() const { return FActive; }
  // true starts the listener (an error passes out, the server stays
  // inactive); false stops every thread and waits for them, running the
  // threads' last notifications meanwhile. Set to false inside an event it
  // is deferred until that event's thread is released.
  void SetActive(bool value);
  int GetClientCount() const { return static_cast<int>(FClients.size()); }
  // Oldest connection first.
  uint32_t GetClient(int index) const;
  HWND GetWindowHandle() const { return FHwnd; }

  // Queue bytes for a client (copied; split when long); false when the
  // client is not connected.
  bool Write(uint32_t pipe, const void* buffer, int32_t count);
  bool Write(uint32_t pipe, const void* prefix, int32_t prefixCount, const void* buffer, int32_t count);
  // Write to every client, newest first; false when a write failed.
  bool Broadcast(const void* buffer, int32_t count);
  bool Broadcast(const void* prefix, int32_t prefixCount, const void* buffer, int32_t count);
  // The clients in the order a broadcast writes to them: newest first.
  std::vector<uint32_t> BroadcastOrder() const;
  // Always framed as a multi-packet message, even when short or empty.
  bool SendStream(uint32_t pipe, TStream* stream);
  // Ends one client's connection, or every client's with pipe 0.
  bool Disconnect(uint32_t pipe);

  void SetOnPipeConnect(TOnPipeConnect handler) { FOPC = std::move(handler); }
  void SetOnPipeDisconnect(TOnPipeDisconnect handler) { FOPD = std::move(handler); }
  void SetOnPipeMessage(TOnPipeMessage handler) { FOPM = std::move(handler); }
  void SetOnPipeSent(TOnPipeSent handler) {
    FNotifySent = static_cast<bool>(handler);
    FOPS = std::move(handler);
  }
  void SetOnPipeError(TOnPipeError handler) { FOPE = std::move(handler); }

 private:
  friend class TPipeListenThread;

  void DoStartup();
  void DoShutdown();
  TPipeInfo* AllocPipeInfo(uint32_t pipe);
  void AddWorkerThread(uint32_t pipe, Platform::TLocalSocket&& socket);
  void RemoveWorkerThread(TThreadEx* sender);
  void RemoveListenerThread(TThreadEx* sender);
  // A thread's termination handler has returned: it is joined soon after.
  void ThreadEnded(TThreadEx* sender);
  // Joins and destroys the threads that have ended.
  void JoinEnded();
  void RemoveClient(uint32_t pipe);
  TPipeInfo* GetClientInfo(uint32_t pipe) const;
  void WndMethod(TMessage& message);
  void HandleNotice(uint32_t pipe, const TPipeNotice& notice);

  uint32_t FBaseThread;
  HWND FHwnd = 0;
  std::string FPipeName = "PipeServer";
  bool FActive = false;
  bool FInShutDown = false;
  bool FDestroying = false;
  Platform::TEvent FKillEv{true, false};
  std::vector<std::unique_ptr<TPipeInfo>> FClients;
  // The threads, which the server owns: the listener, the workers, and the
  // threads whose termination handler has run, to be joined. Touched on
  // the owner's thread only.
  TThreadCounter FThreadCount;
  std::unique_ptr<TPipeListenThread> FListener;
  std::vector<std::unique_ptr<TPipeThread>> FWorkers;
  std::vector<std::unique_ptr<TThreadEx>> FEnded;
  TOnPipeSent FOPS;
  std::atomic<bool> FNotifySent{false};  // FOPS is set; read by the workers
  TOnPipeConnect FOPC;
  TOnPipeDisconnect FOPD;
  TOnPipeMessage FOPM;
  TOnPipeError FOPE;
};
