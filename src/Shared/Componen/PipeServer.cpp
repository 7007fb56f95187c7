// The pipe server: client table, outbound queues and events, all on the
// owner's thread.
#include <algorithm>
#include <cerrno>
#include <exception>
#include <vector>

#include "Shared/Componen/Pipes.h"
#include "platform/ScopeExit.h"

using namespace Platform;

int32_t PipeErrorCode(int err) {
  switch (err) {
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
    case EACCES:  // TLocalListener::Accept's refusal of another user's client
      return ERROR_ACCESS_DENIED;
    case EISCONN:
      return ERROR_PIPE_CONNECTED;
    default:
      return err;
  }
}

void CheckPipeName(const std::string& value) {
  if (value.empty() || value.size() > MAX_NAME || value.find('\\') != std::string::npos)
    throw EPipeException("Invalid pipe name specified!");
}

void DisconnectAndClose(TLocalSocket& pipe, int killFd) {
  if (!pipe.IsOpen()) return;
  const TScopeExit close([&pipe] { pipe.Close(); });
  pipe.Flush(killFd);
  pipe.Shutdown();
}

void TPipeConnection::Disconnect(int killFd) {
  if (!FSocket.IsOpen()) return;
  const TScopeExit close([this] {
    std::lock_guard<std::mutex> lock(FWriteLock);
    FSocket.Close();
  });
  FSocket.Flush(killFd);
  FSocket.Shutdown();
}

TPipeServer::TPipeServer() : FBaseThread(GetCurrentThreadId()) {
  FHwnd = AllocateHWnd([this](TMessage& message) { WndMethod(message); });
}

TPipeServer::~TPipeServer() {
  FDestroying = true;
  try {
    DoShutdown();
  } catch (...) {
    // The threads are gone; an error of a last event has nobody to go to.
  }
  JoinEnded();
  FClients.clear();
  DeallocateHWnd(FHwnd);
}

void TPipeServer::SetPipeName(const std::string& value) {
  if (value == FPipeName) return;
  if (FActive) throw EPipeException("Cannot change property while server is active!");
  CheckPipeName(value);
  FPipeName = value;
}

void TPipeServer::SetActive(bool value) {
  if (value == FActive) return;
  if (value) DoStartup();
  else DoShutdown();
}

uint32_t TPipeServer::GetClient(int index) const { return FClients.at(static_cast<size_t>(index))->Pipe; }

void TPipeServer::DoStartup() {
  if (FActive) return;
  FKillEv.Reset();
  try {
    FListener = std::make_unique<TPipeListenThread>(this, &FKillEv);
    FListener->SetOnTerminate([this](TThreadEx* sender) { RemoveListenerThread(sender); });
    FListener->Start();
  } catch (...) {
    FListener.reset();  // only reached when it never ran
    throw;
  }
  FActive = true;
}

void TPipeServer::DoShutdown() {
  if (!FActive || FInShutDown) return;
  // Inside an event the notifying thread waits for us; waiting for it here
  // would never end, so the shutdown runs once that event has returned.
  if (InSendMessage() && !FDestroying) {
    PostMessage(FHwnd, WM_DOSHUTDOWN, 0, 0);
    return;
  }
  FInShutDown = true;
  std::exception_ptr raised;
  try {
    FKillEv.Set();
    Disconnect(0);
  } catch (...) {
    raised = std::current_exception();
  }
  // The threads' last notifications and termination handlers run here. An
  // event that raises meanwhile does not end the wait: the threads still
  // use this object.
  for (;;) {
    try {
      FThreadCount.WaitForEmpty();
      break;
    } catch (...) {
      if (!raised) raised = std::current_exception();
    }
  }
  JoinEnded();
  FActive = false;
  FInShutDown = false;
  if (raised) std::rethrow_exception(raised);
}

TPipeInfo* TPipeServer::AllocPipeInfo(uint32_t pipe) {
  auto info = std::make_unique<TPipeInfo>();
  info->Pipe = pipe;
  info->WriteQueue = std::make_unique<TWriteQueue>();
  info->KillEvent = std::make_unique<TEvent>(true, false);
  FClients.push_back(std::move(info));
  return FClients.back().get();
}

void TPipeServer::AddWorkerThread(uint32_t pipe, TLocalSocket&& socket) {
  std::unique_ptr<TPipeThread> worker;
  try {
    TPipeInfo* info = AllocPipeInfo(pipe);
    worker = std::make_unique<TPipeThread>(FHwnd, FBaseThread, info->WriteQueue.get(), &FThreadCount, pipe,
                                           std::move(socket), info->KillEvent.get(), &FNotifySent);
    worker->SetOnTerminate([this](TThreadEx* sender) { RemoveWorkerThread(sender); });
    // A connection accepted just as the shutdown began must not keep it waiting.
    if (FInShutDown) info->KillEvent->Set();
    FWorkers.reserve(FWorkers.size() + 1);
    worker->Start();
    FWorkers.push_back(std::move(worker));
  } catch (...) {
    try {
      RemoveClient(pipe);
    } catch (...) {
    }
    worker.reset();  // never ran; closes the connection it took over
    DisconnectAndClose(socket);
  }
}

void TPipeServer::RemoveWorkerThread(TThreadEx* sender) {
  const TScopeExit ended([this, sender] { ThreadEnded(sender); });
  RemoveClient(static_cast<TPipeThread*>(sender)->Pipe());
}

void TPipeServer::RemoveListenerThread(TThreadEx* sender) {
  ThreadEnded(sender);
  if (!FInShutDown && FThreadCount.Count() == 1) FActive = false;
}

void TPipeServer::ThreadEnded(TThreadEx* sender) {
  // The thread waits for this handler to return, and does nothing after
  // it but report itself done: it is joined by a later message, never from
  // inside its own handler (the disconnect event may run a message loop).
  if (FListener.get() == sender) {
    FEnded.push_back(std::move(FListener));
  } else {
    auto it = std::find_if(FWorkers.begin(), FWorkers.end(), [sender](const auto& w) { return w.get() == sender; });
    if (it == FWorkers.end()) return;
    FEnded.push_back(std::move(*it));
    FWorkers.erase(it);
  }
  PostMessage(FHwnd, WM_JOINENDED, 0, 0);
}

void TPipeServer::JoinEnded() {
  // Every thread has run its termination handler when the count is 0; those
  // that could not (their owner's synchronisation window was gone) are
  // joined with the rest.
  if (FThreadCount.Count() == 0) {
    for (auto& worker : FWorkers) FEnded.push_back(std::move(worker));
    FWorkers.clear();
    if (FListener) FEnded.push_back(std::move(FListener));
  }
  std::vector<std::unique_ptr<TThreadEx>> ended = std::move(FEnded);
  FEnded.clear();
  for (auto& thread : ended) thread->WaitFor();
}

void TPipeServer::RemoveClient(uint32_t pipe) {
  auto it = std::find_if(FClients.rbegin(), FClients.rend(), [pipe](const auto& info) { return info->Pipe == pipe; });
  if (it == FClients.rend()) return;
  std::unique_ptr<TPipeInfo> info = std::move(*it);
  FClients.erase(std::next(it).base());
  info.reset();  // unsent packets go with the queue
  if (!FDestroying && FOPD) FOPD(this, pipe);
}

TPipeInfo* TPipeServer::GetClientInfo(uint32_t pipe) const {
  for (auto it = FClients.rbegin(); it != FClients.rend(); ++it)
    if ((*it)->Pipe == pipe) return it->get();
  return nullptr;
}

bool TPipeServer::Write(uint32_t pipe, const void* buffer, int32_t count) {
  TPipeInfo* info = GetClientInfo(pipe);
  if (!info) return false;
  info->WriteQueue->Enqueue(buffer, count);
  return true;
}

bool TPipeServer::Write(uint32_t pipe, const void* prefix, int32_t prefixCount, const void* buffer, int32_t count) {
  TPipeInfo* info = GetClientInfo(pipe);
  if (!info) return false;
  info->WriteQueue->Enqueue(prefix, prefixCount, buffer, count);
  return true;
}

std::vector<uint32_t> TPipeServer::BroadcastOrder() const {
  std::vector<uint32_t> pipes;
  for (int i = GetClientCount() - 1; i >= 0; --i) pipes.push_back(FClients[static_cast<size_t>(i)]->Pipe);
  return pipes;
}

bool TPipeServer::Broadcast(const void* buffer, int32_t count) { return Broadcast(nullptr, 0, buffer, count); }

bool TPipeServer::Broadcast(const void* prefix, int32_t prefixCount, const void* buffer, int32_t count) {
  for (uint32_t pipe : BroadcastOrder())
    if (!Write(pipe, prefix, prefixCount, buffer, count)) return false;
  return true;
}

bool TPipeServer::SendStream(uint32_t pipe, TStream* stream) {
  if (!stream) return false;
  TPipeInfo* info = GetClientInfo(pipe);
  if (!info) return false;
  TWriteQueue& queue = *info->WriteQueue;
  queue.EnqueueStartPacket();
  const TScopeExit end([&queue] { queue.EnqueueEndPacket(); });
  stream->SetPosition(0);
  std::vector<uint8_t> chunk(MAX_BUFFER);
  for (;;) {
    const int64_t n = stream->Read(chunk.data(), MAX_BUFFER);
    if (n <= 0) break;
    queue.Enqueue(chunk.data(), static_cast<int32_t>(n));
  }
  return true;
}

bool TPipeServer::Disconnect(uint32_t pipe) {
  if (pipe == 0) {
    for (auto it = FClients.rbegin(); it != FClients.rend(); ++it) (*it)->KillEvent->Set();
    return true;
  }
  TPipeInfo* info = GetClientInfo(pipe);
  if (!info) return false;
  info->KillEvent->Set();
  return true;
}

uint32_t PipeNoticeMessage(const TPipeNotice& notice) {
  struct {
    uint32_t operator()(const TPipeConnectNotice&) const { return WM_PIPECONNECT; }
    uint32_t operator()(const TPipeErrorNotice& n) const {
      return n.Context == pcListener ? WM_PIPEERROR_L : WM_PIPEERROR_W;
    }
    uint32_t operator()(const TPipeSentNotice&) const { return WM_PIPESEND; }
    uint32_t operator()(const TPipeMessageNotice&) const { return WM_PIPEMESSAGE; }
  } message;
  return std::visit(message, notice);
}

void SendPipeNotice(HWND window, uint32_t pipe, const TPipeNotice& notice, std::span<const int> fds) {
  if (!IsWindow(window)) return;
  // The one place a notice goes into a window message; WndMethod takes it out.
  const auto param = reinterpret_cast<LPARAM>(&notice);
  if (fds.empty())
    SendMessage(window, PipeNoticeMessage(notice), pipe, param);
  else
    SendMessageWatching(window, PipeNoticeMessage(notice), pipe, param, fds);
}

void TPipeServer::HandleNotice(uint32_t pipe, const TPipeNotice& notice) {
  struct {
    TPipeServer& Server;
    uint32_t Pipe;
    void operator()(const TPipeConnectNotice&) const {
      if (Server.FOPC) Server.FOPC(&Server, Pipe);
    }
    void operator()(const TPipeErrorNotice& n) const {
      if (Server.FOPE) Server.FOPE(&Server, Pipe, n.Context, n.ErrorCode);
    }
    void operator()(const TPipeSentNotice& n) const {
      if (Server.FOPS) Server.FOPS(&Server, Pipe, n.Size);
    }
    void operator()(const TPipeMessageNotice& n) const {
      if (Server.FOPM) Server.FOPM(&Server, Pipe, n.Message);
    }
  } handle{*this, pipe};
  std::visit(handle, notice);
}

void TPipeServer::WndMethod(TMessage& message) {
  switch (message.Msg) {
    case WM_PIPEERROR_L:
    case WM_PIPEERROR_W:
    case WM_PIPECONNECT:
    case WM_PIPESEND:
    case WM_PIPEMESSAGE:
      HandleNotice(static_cast<uint32_t>(message.WParam), *reinterpret_cast<const TPipeNotice*>(message.LParam));
      break;
    case WM_THREADCTX:
      throw EPipeException("The notify window and the component window do not exist in the same thread!");
    case WM_DOSHUTDOWN:
      SetActive(false);
      break;
    case WM_JOINENDED:
      JoinEnded();
      break;
    default:
      message.Result = DefWindowProc(FHwnd, message.Msg, message.WParam, message.LParam);
      break;
  }
}
