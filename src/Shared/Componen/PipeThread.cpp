// The connection worker: one per client.

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "Shared/Componen/Pipes.h"
#include "platform/FdWait.h"
#include "platform/ScopeExit.h"

using namespace Platform;

// A message over the bound is reported as errno's "Message too long".
static_assert(ERROR_MESSAGE_TOO_LARGE == EMSGSIZE);

namespace {

std::mutex gTraceLock;
TPipeThread::TReadTrace gReadTrace;

void TraceRead(uint32_t pipe, size_t bufferSize, size_t length) {
  std::lock_guard<std::mutex> g(gTraceLock);
  if (gReadTrace) gReadTrace(pipe, bufferSize, length);
}

// How long a pending operation may still complete once the kill event is set.
constexpr uint32_t KILL_GRACE_MS = 100;
// Messages delivered in one go before the queued replies are written. An
// engine waits for each reply, so it never comes near; a client that keeps
// sending without reading would otherwise keep the worker reading, and its
// replies piling up in memory, for as long as it liked.
constexpr uint32_t MAX_DELIVERIES_BEFORE_WRITE = 64;

}  // namespace

void TPipeThread::SetReadTrace(TReadTrace trace) {
  std::lock_guard<std::mutex> g(gTraceLock);
  gReadTrace = std::move(trace);
}

TPipeThread::TPipeThread(HWND notifyWindow, uint32_t notifyThread, TWriteQueue* writeQueue, TThreadCounter* counter,
                         uint32_t pipe, TLocalSocket&& socket, TEvent* killEvent,
                         const std::atomic<bool>* notifySent)
    : FNotify(notifyWindow),
      FNotifyThread(notifyThread),
      FPipe(pipe),
      FSocket(std::move(socket)),
      FCounter(counter),
      FWriteQueue(writeQueue),
      FKillEvent(killEvent),
      FNotifySent(notifySent) {
  FKillEvent->Reset();
  SetPriority(tpLower);
  SetName("pipe-worker");
  // Last, so that a failure above leaves the count alone.
  if (FCounter) {
    FCounter->Increment();
    SetDoneCounter(FCounter);
  }
}

TPipeThread::~TPipeThread() {
  FReceiver.Discard();  // a partial message of a client that went away
}

void TPipeThread::Execute() {
  // The connection is cut off whatever way the body ends.
  const TScopeExit teardown([this] {
    // Detached first: from now on replies are only queued (a write already
    // under way finishes before the close, under the connection's lock).
    FWriteQueue->SetDirectSink(nullptr);
    FSocket.Disconnect(FKillEvent->Fd());
    FReceiver.Discard();  // a partial message of a client that went away
  });

  if (Sync().SyncBaseTID() != FNotifyThread) {
    PostMessage(FNotify, WM_THREADCTX, 0, 0);
    return;
  }
  Notify(TPipeConnectNotice{});
  // The owner's thread writes a reply to the socket itself (through
  // TPipeConnection's lock) when this worker has nothing queued or
  // half-written: a reply reaches the client without waiting for this
  // thread to wake. Packets whose sending must be reported still go through
  // the worker.
  FWriteQueue->SetDirectSink([this](const uint8_t* buffer, int32_t count) {
    if (FNotifySent && FNotifySent->load()) return false;
    return FSocket.Write(buffer, static_cast<size_t>(count)).Done();
  });

  while (!Terminated()) {
    bool ok = QueuedRead();
    if (ok) ok = QueuedWrite();
    if (ok) {
      // A pending read waits for readability, a pending write for room; the
      // queue is only watched while no write is pending.
      const TFdWait events[4] = {{FKillEvent->Fd(), POLLIN},
                                 {FPendingRead ? FSocket.Fd() : -1, POLLIN},
                                 {FPendingWrite ? FSocket.Fd() : -1, POLLOUT},
                                 {FWriteQueue->DataEvent().Fd(), POLLIN}};
      const uint32_t r = WaitForFds(std::span<const TFdWait>(events, FPendingWrite ? 3 : 4), INFINITE);
      switch (r) {
        case WAIT_OBJECT_0: {
          const TScopeExit terminate([this] { Terminate(); });
          const TFdWait writable[1] = {{FSocket.Fd(), POLLOUT}};
          if (FPendingWrite && WaitForFds(writable, KILL_GRACE_MS) == WAIT_OBJECT_0) CompleteWrite();
          const TFdWait readable[1] = {{FSocket.Fd(), POLLIN}};
          if (FPendingRead && WaitForFds(readable, KILL_GRACE_MS) == WAIT_OBJECT_0) CompleteRead();
          break;
        }
        case WAIT_OBJECT_0 + 1:
          ok = CompleteRead();
          break;
        case WAIT_OBJECT_0 + 2:
          ok = CompleteWrite();
          break;
        case WAIT_OBJECT_0 + 3:
          break;  // the next pass writes
        default:
          FErrno = errno;
          ok = false;
          break;
      }
    }
    if (!ok) {
      // The client's ordinary hang-up is not an error.
      const int32_t code = PipeErrorCode(FErrno);
      if (code != ERROR_BROKEN_PIPE) Notify(TPipeErrorNotice{pcWorker, code});
      Terminate();
    }
  }
}

TIo TPipeThread::ReadPacket() {
  FRcvRead = 0;
  // One read, into room for any packet: a single packet past the message
  // bound is refused by the receiver, one past the room (only a privileged
  // peer can send one) by the read.
  const TIoResult r = FSocket.ReceiveMessage(FRcvBuffer, FRcvRead);
  if (r.Done()) TraceRead(FPipe, FRcvBuffer.Capacity(), FRcvRead);
  else if (r.Status != TIo::WouldBlock) FErrno = r.Errno;
  return r.Status;
}

bool TPipeThread::QueuedRead() {
  if (FPendingRead) return true;
  // Replies first, all of them, once a flood of messages has been taken in:
  // the client reads them, or its worker reads nothing more from it.
  if (FDraining) {
    if (FWriteQueue->HasData()) return true;
    FDraining = false;
  }
  const uint32_t deliveredBefore = FDelivered;
  // Everything already waiting is read before the worker sleeps.
  for (;;) {
    const TIo r = ReadPacket();
    if (r == TIo::WouldBlock) {
      FPendingRead = true;
      return true;
    }
    if (r != TIo::Done || !TakeMessage()) return false;
    if (FDelivered - deliveredBefore >= MAX_DELIVERIES_BEFORE_WRITE && FWriteQueue->HasData()) {
      FDraining = true;
      return true;
    }
  }
}

bool TPipeThread::CompleteRead() {
  FPendingRead = false;
  // The socket is readable: take one packet.
  const TIo r = ReadPacket();
  if (r == TIo::WouldBlock) {
    FPendingRead = true;
    return true;
  }
  return r == TIo::Done && TakeMessage();
}

void TPipeThread::PacketSent() {
  // The hand-over is synchronous: go on only when the client has read it.
  FSocket.Flush(FKillEvent->Fd());
  if (!FNotifySent || FNotifySent->load()) Notify(TPipeSentNotice{static_cast<uint32_t>(FPacket.size())});
}

bool TPipeThread::QueuedWrite() {
  if (FPendingWrite || !FWriteQueue->HasData()) return true;
  if (!FWriteQueue->Dequeue(FPacket)) return true;
  const TIoResult r = FSocket.Write(FPacket.data(), FPacket.size());
  if (r.Done()) {
    const TScopeExit dispose([this] {
      FPacket.clear();
      FWriteQueue->WriteDone();
    });
    PacketSent();
    return true;
  }
  if (r.Status == TIo::WouldBlock) {
    FPendingWrite = true;
    return true;
  }
  // The packet stays in FPacket until the worker is destroyed.
  FErrno = r.Errno;
  return false;
}

bool TPipeThread::CompleteWrite() {
  // The socket has room again: the packet goes now.
  const TIoResult r = FSocket.Write(FPacket.data(), FPacket.size());
  if (r.Status == TIo::WouldBlock) return true;  // not enough room yet; keep waiting
  const TScopeExit done([this] {
    FPacket.clear();
    FPendingWrite = false;
    FWriteQueue->WriteDone();
  });
  if (!r.Done()) {
    FErrno = r.Errno;
    return false;
  }
  PacketSent();
  return true;
}

bool TPipeThread::TakeMessage() {
  // A message of one packet is handed out from the receive buffer, and a
  // packet of an assembly is written on from there: no copy either way.
  const bool accepted = FReceiver.Receive(std::span<const uint8_t>(FRcvBuffer.Data(), FRcvRead),
                                          [this](const TPipeMessage& message) { DeliverMessage(message); });
  // A peer that sends more than the bound is not served further: whatever
  // else it queued would only be the rest of the same message.
  if (!accepted) FErrno = EMSGSIZE;
  ReportMoveToMemory();
  return accepted;
}

void TPipeThread::ReportMoveToMemory() {
  if (FReceiver.TakeMovedToMemory()) Notify(TPipeErrorNotice{pcWorker, ERROR_ASSEMBLED_IN_MEMORY});
}

void TPipeThread::DeliverMessage(const TPipeMessage& message) {
  ++FDelivered;
  // An engine answers the reply with its next request, so this thread
  // need not be woken when the message has been handled: it sleeps until
  // the socket, the kill event or the queue calls for it, and only then
  // looks whether the handler has returned.
  const int watched[3] = {FSocket.Fd(), FKillEvent->Fd(), FWriteQueue->DataEvent().Fd()};
  SendPipeNotice(FNotify, FPipe, TPipeMessageNotice{message}, watched);
}
