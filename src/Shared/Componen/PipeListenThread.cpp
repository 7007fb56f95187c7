// The listener: accepts clients while the server is active.
#include <atomic>
#include <cerrno>
#include <cstring>

#include "Shared/Componen/Pipes.h"
#include "diagnostics/Format.h"
#include "platform/FdWait.h"
#include "platform/Process.h"

using namespace Platform;

namespace {

// Pause after a failed accept (for example, out of descriptors), so a
// lasting failure is reported a few times a second instead of in a busy loop.
constexpr uint32_t ACCEPT_RETRY_MS = 100;

// Client identities are never reused in the process, so a new client can
// never be taken for one whose record is still being removed.
uint32_t NextPipeIdentity() {
  static std::atomic<uint32_t> last{0};
  for (;;) {
    const uint32_t pipe = ++last;
    if (IsHandle(pipe)) return pipe;
  }
}

}  // namespace

TPipeListenThread::TPipeListenThread(TPipeServer* pipeServer, TEvent* killEvent)
    : FNotify(pipeServer->FHwnd),
      FNotifyThread(pipeServer->FBaseThread),
      FPipeName(pipeServer->FPipeName),
      FKillEvent(killEvent),
      FPipeServer(pipeServer) {
  // Bound here, on the owner's thread, so that a name in use fails the
  // server's start instead of being reported from the thread.
  const int err = FListener.Listen(FPipeName);
  if (err == EADDRINUSE) {
    // Anyone may bind any abstract name: say when the holder is not one of
    // our own programs.
    const std::optional<uint32_t> holder = Platform::ListenerUserId(FPipeName);
    if (holder && *holder != Platform::CurrentUserId())
      throw EPipeException(FormatV("Pipe \"%s\" is already in use by a process of another user (user id %d)",
                                   FPipeName, *holder));
    throw EPipeException(FormatV("Pipe \"%s\" is already in use by another program", FPipeName));
  }
  if (err != 0) throw EPipeException(FormatV("Pipe \"%s\" cannot be served: %s", FPipeName, std::strerror(err)));
  SetPriority(tpLower);
  SetName("pipe-listener");
  pipeServer->FThreadCount.Increment();
  SetDoneCounter(&pipeServer->FThreadCount);
}

TPipeListenThread::~TPipeListenThread() {
  FConnection.Close();
  FListener.Close();
}

void TPipeListenThread::DoWorker() { FPipeServer->AddWorkerThread(FPipe, std::move(FConnection)); }

void TPipeListenThread::Execute() {
  if (Sync().SyncBaseTID() != FNotifyThread) {
    PostMessage(FNotify, WM_THREADCTX, 0, 0);
    return;
  }
  while (!Terminated()) {
    FConnected = false;
    FErrno = 0;
    const TFdWait events[2] = {{FKillEvent->Fd(), POLLIN}, {FListener.Fd(), POLLIN}};
    const uint32_t r = WaitForFds(events, INFINITE);
    if (r == WAIT_OBJECT_0) {
      Terminate();
    } else if (r == WAIT_OBJECT_0 + 1) {
      const TIoResult a = FListener.Accept(FConnection);
      if (a.Done()) FConnected = true;
      else if (a.Status != TIo::WouldBlock) FErrno = a.Errno;  // would block: someone else was faster
    } else {
      FErrno = errno;
    }

    if (FConnected) {
      FPipe = NextPipeIdentity();
      // The server takes the connection over on its own thread.
      Synchronize([this] { DoWorker(); });
      FPipe = INVALID_HANDLE_VALUE;
      FConnection.Close();  // still ours only when the hand-over did not happen
    } else if (!Terminated() && FErrno != 0 && PipeErrorCode(FErrno) != ERROR_NO_DATA) {
      const int32_t code = PipeErrorCode(FErrno);
      SendPipeNotice(FNotify, FPipe, TPipeErrorNotice{pcListener, code});
      // A refused client is gone already: the next one is taken at once,
      // so refusing a flood of them cannot delay an engine's connection.
      if (code != ERROR_ACCESS_DENIED) FKillEvent->WaitFor(ACCEPT_RETRY_MS);
    }
  }
}
