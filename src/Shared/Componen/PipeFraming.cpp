#include "Shared/Componen/PipeFraming.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "diagnostics/Exception.h"
#include "platform/ScopeExit.h"
#include "platform/TempFile.h"

namespace {

void PutLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace

void EncodePipeMsgBlock(uint32_t controlCode, uint8_t (&out)[PIPE_MSG_BLOCK_SIZE]) {
  PutLE32(out + 0, static_cast<uint32_t>(PIPE_MSG_BLOCK_SIZE));
  PutLE32(out + 4, MB_MAGIC);
  PutLE32(out + 8, controlCode);
  PutLE32(out + 12, MB_MAGIC);
}

bool DecodePipeMsgBlock(const void* data, size_t size, uint32_t& controlCode) {
  if (size != PIPE_MSG_BLOCK_SIZE || data == nullptr) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  if (GetLE32(p) != PIPE_MSG_BLOCK_SIZE || GetLE32(p + 4) != MB_MAGIC || GetLE32(p + 12) != MB_MAGIC) return false;
  controlCode = GetLE32(p + 8);
  return true;
}

// ---- TWriteQueue ----

void TWriteQueue::UpdateState() {
  // The event is touched only when its state changes: each change is a
  // system call.
  const bool hasData = !FPackets.empty();
  if (hasData == FDataSet) return;
  if (hasData)
    FDataEv.Set();
  else
    FDataEv.Reset();
  FDataSet = hasData;
}

void TWriteQueue::Offer(TPacket&& packet) {
  if (FDirectSink && FPackets.empty() && !FWriting &&
      FDirectSink(packet.data(), static_cast<int32_t>(packet.size())))
    return;
  FPackets.push_back(std::move(packet));
}

void TWriteQueue::OfferControlPacket(uint32_t controlCode) {
  uint8_t block[PIPE_MSG_BLOCK_SIZE];
  EncodePipeMsgBlock(controlCode, block);
  Offer(TPacket(block, block + sizeof block));
}

void TWriteQueue::Enqueue(const void* prefix, int32_t prefixCount, const void* buffer, int32_t count) {
  if (prefixCount < 0 || count < 0) throw EAssertionFailed("Assertion failure");
  const int64_t total = static_cast<int64_t>(prefixCount) + count;
  if (total > INT32_MAX) throw EAssertionFailed("Assertion failure");
  const auto* head = static_cast<const uint8_t*>(prefix);
  const auto* body = static_cast<const uint8_t*>(buffer);
  // The bytes [from, from + size) of prefix and buffer taken as one.
  const auto copy = [&](int64_t from, int64_t size) {
    TPacket packet;
    packet.reserve(static_cast<size_t>(size));
    if (from < prefixCount) {
      const int64_t n = std::min<int64_t>(prefixCount - from, size);
      packet.insert(packet.end(), head + from, head + from + n);
      from += n;
      size -= n;
    }
    if (size > 0) packet.insert(packet.end(), body + (from - prefixCount), body + (from - prefixCount) + size);
    return packet;
  };

  std::lock_guard lock(FMutex);
  const Platform::TScopeExit update([this] { UpdateState(); });
  if (total <= MAX_BUFFER) {
    Offer(copy(0, total));
    return;
  }
  // Held for the whole sequence: no other producer's packet can come between
  // the pieces of this message.
  OfferControlPacket(MB_START);
  try {
    for (int64_t at = 0; at < total; at += MAX_BUFFER)
      FPackets.push_back(copy(at, std::min<int64_t>(MAX_BUFFER, total - at)));
  } catch (...) {
    // The end packet goes out even when copying failed part-way, so the
    // reader never stays inside a half message.
    OfferControlPacket(MB_END);
    throw;
  }
  OfferControlPacket(MB_END);
}

void TWriteQueue::EnqueueStartPacket() {
  std::lock_guard lock(FMutex);
  OfferControlPacket(MB_START);
  UpdateState();
}

void TWriteQueue::EnqueueEndPacket() {
  std::lock_guard lock(FMutex);
  OfferControlPacket(MB_END);
  UpdateState();
}

bool TWriteQueue::Dequeue(TPacket& packet) {
  std::lock_guard lock(FMutex);
  FWriting = !FPackets.empty();
  if (FWriting) {
    packet = std::move(FPackets.front());
    FPackets.pop_front();
  }
  UpdateState();
  return FWriting;
}

bool TWriteQueue::HasData() {
  std::lock_guard lock(FMutex);
  return !FPackets.empty();
}

void TWriteQueue::WriteDone() {
  std::lock_guard lock(FMutex);
  FWriting = false;
}

void TWriteQueue::SetDirectSink(TDirectSink sink) {
  std::lock_guard lock(FMutex);
  FDirectSink = std::move(sink);
}

void TWriteQueue::Clear() {
  std::lock_guard lock(FMutex);
  FDataEv.Reset();
  FDataSet = false;
  FPackets.clear();
}

// ---- TStream ----

int64_t TStream::GetSize() {
  const int64_t pos = Seek(0, soCurrent);
  const int64_t size = Seek(0, soEnd);
  Seek(pos, soBeginning);
  return size;
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EInOutError("Stream write error");
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EInOutError("Stream read error");
}

std::string TStream::ReadToEnd() {
  const int64_t left = GetSize() - GetPosition();
  std::string result;
  if (left <= 0) return result;
  result.resize(static_cast<size_t>(left));
  result.resize(static_cast<size_t>(Read(result.data(), left)));
  return result;
}

// ---- TFastMemStream ----

TFastMemStream::~TFastMemStream() { std::free(FMemory); }

uint8_t* TFastMemStream::Realloc(int64_t& newCapacity) {
  // Grow in big steps: the worker writes every received message here, and
  // most of them would otherwise cost a reallocation each.
  if (newCapacity > 0) {
    if (newCapacity <= 65535)
      newCapacity += 65535;
    else
      newCapacity += newCapacity / 4;
  }
  if (newCapacity == FCapacity) return FMemory;
  if (newCapacity == 0) {
    std::free(FMemory);
    return nullptr;
  }
  uint8_t* result;
  if (FCapacity == 0) {
    result = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(newCapacity), 1));
  } else {
    result = static_cast<uint8_t*>(std::realloc(FMemory, static_cast<size_t>(newCapacity)));
  }
  if (result == nullptr) throw std::bad_alloc();
  return result;
}

void TFastMemStream::SetCapacity(int64_t newCapacity) {
  FMemory = Realloc(newCapacity);
  FCapacity = newCapacity;
}

void TFastMemStream::SetSize(int64_t newSize) {
  if (newSize < 0) newSize = 0;
  const int64_t oldPosition = FPosition;
  SetCapacity(newSize);
  FSize = newSize;
  if (oldPosition > newSize) FPosition = newSize;
}

void TFastMemStream::Clear() {
  SetCapacity(0);
  FSize = 0;
  FPosition = 0;
}

int64_t TFastMemStream::Read(void* buffer, int64_t count) {
  if (FPosition < 0 || count <= 0) return 0;
  const int64_t n = std::min(count, FSize - FPosition);
  if (n <= 0) return 0;
  std::memcpy(buffer, FMemory + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

int64_t TFastMemStream::Write(const void* buffer, int64_t count) {
  if (FPosition < 0 || count <= 0) return 0;
  const int64_t end = FPosition + count;
  if (end > FSize) {
    if (end > FCapacity) SetCapacity(end);
    FSize = end;
  }
  std::memcpy(FMemory + FPosition, buffer, static_cast<size_t>(count));
  FPosition = end;
  return count;
}

int64_t TFastMemStream::Seek(int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case soBeginning: FPosition = offset; break;
    case soCurrent: FPosition += offset; break;
    case soEnd: FPosition = FSize + offset; break;
  }
  return FPosition;
}

// ---- THandleStream ----

THandleStream::~THandleStream() {
  if (FHandle >= 0) Platform::CloseFd(FHandle);
}

int64_t THandleStream::Read(void* buffer, int64_t count) { return Platform::ReadFd(FHandle, buffer, count); }

int64_t THandleStream::Write(const void* buffer, int64_t count) { return Platform::WriteFd(FHandle, buffer, count); }

int64_t THandleStream::Seek(int64_t offset, TSeekOrigin origin) {
  return Platform::SeekFd(FHandle, offset,
                          origin == soBeginning   ? Platform::TFdSeek::Begin
                          : origin == soCurrent ? Platform::TFdSeek::Current
                                                : Platform::TFdSeek::End);
}

// ---- TPipeMultiMsg ----

TPipeMultiMsg::TPipeMultiMsg() { CreateTempBacking(); }

TPipeMultiMsg::~TPipeMultiMsg() = default;  // the stream closes the file

std::string TPipeMultiMsg::TempDirectory() {
  return Platform::TempDirectory();
}

void TPipeMultiMsg::CreateTempBacking() {
  const std::string dir = TempDirectory();
  // An unnamed file: it never appears in the directory, so nothing is left
  // behind even when the process is killed.
  const int fd = Platform::CreateUnnamedTempFile(dir, MB_PREFIX);
  if (fd >= 0) {
    try {
      FFile = std::make_unique<THandleStream>(fd);
    } catch (...) {
      Platform::CloseFd(fd);
      throw;
    }
  } else {
    FMemory = std::make_unique<TFastMemStream>();
  }
}

std::span<const uint8_t> TPipeMultiMsg::MemoryBytes() const {
  if (!FMemory || FMemory->GetSize() == 0) return {};
  return {FMemory->Memory(), static_cast<size_t>(FMemory->GetSize())};
}

void TPipeMultiMsg::Write(const void* data, int64_t size) {
  if (!FFile) {
    FMemory->WriteBuffer(data, size);
    return;
  }
  const int64_t held = FFile->GetPosition();
  if (FFile->Write(data, size) == size) return;
  // Whatever part of these bytes got in is written again below.
  auto memory = std::make_unique<TFastMemStream>();
  memory->SetCapacity(held + size);
  memory->SetSize(held);
  FFile->SetPosition(0);
  FFile->ReadBuffer(memory->Memory(), held);
  memory->SetPosition(held);
  memory->WriteBuffer(data, size);
  FMemory = std::move(memory);
  FFile.reset();  // closes the file
  FMovedToMemory = true;
}

std::string TPipeMessage::Text() const {
  if (File) {
    File->SetPosition(0);
    return File->ReadToEnd();
  }
  return std::string(reinterpret_cast<const char*>(Bytes.data()), Bytes.size());
}

// ---- TPipeReceiver ----

namespace {
std::atomic<int64_t> gMaxMessageSize{MAX_MESSAGE_SIZE};
}  // namespace

int64_t GetMaxMessageSize() { return gMaxMessageSize.load(std::memory_order_relaxed); }

void SetMaxMessageSize(int64_t bytes) { gMaxMessageSize.store(bytes, std::memory_order_relaxed); }

void TPipeReceiver::Append(const uint8_t* data, int64_t size) {
  if (size == 0) return;  // an empty packet adds nothing (and may have no memory)
  if (FMultiMsg->Handle() < 0 || size >= STAGE_SIZE) {
    // Held in memory anyway, or large enough to go as it is.
    WriteStaged();
    FMultiMsg->Write(data, size);
    NoteMovedToMemory(*FMultiMsg);
    return;
  }
  if (FStaged + size > STAGE_SIZE) WriteStaged();
  if (!FStage) FStage.reset(new uint8_t[STAGE_SIZE]);
  std::memcpy(FStage.get() + FStaged, data, static_cast<size_t>(size));
  FStaged += size;
}

void TPipeReceiver::WriteStaged() {
  if (FStaged == 0) return;
  const int64_t staged = FStaged;
  FStaged = 0;
  FMultiMsg->Write(FStage.get(), staged);
  NoteMovedToMemory(*FMultiMsg);
}

void TPipeReceiver::NoteMovedToMemory(const TPipeMultiMsg& assembly) {
  if (!assembly.MovedToMemory() || FMoveNoted) return;
  FMoveNoted = true;
  FMovedToMemory = true;
}

bool TPipeReceiver::Receive(std::span<const uint8_t> packet, const TDeliver& deliver) {
  const uint8_t* data = packet.data();
  const auto size = static_cast<int64_t>(packet.size());
  uint32_t code = 0;
  if (DecodePipeMsgBlock(data, packet.size(), code)) {
    FSkipping = false;
    FAssembled = 0;
    if (code == MB_START) {
      Discard();
      FMultiMsg = std::make_unique<TPipeMultiMsg>();
      FMoveNoted = false;
    } else if (code == MB_END) {
      if (FMultiMsg) {
        // Discarded after delivery, also when the handler raised or the
        // last bytes could not be written.
        std::unique_ptr<TPipeMultiMsg> assembly = std::move(FMultiMsg);
        const int64_t staged = std::exchange(FStaged, 0);
        if (staged > 0) assembly->Write(FStage.get(), staged);
        NoteMovedToMemory(*assembly);
        TPipeMessage message;
        if (assembly->Handle() >= 0) {
          message.File = &assembly->Stream();
          message.File->SetPosition(0);
        } else {
          message.Bytes = assembly->MemoryBytes();
        }
        deliver(message);
      }
    } else {
      Discard();
    }
    return true;
  }
  if (FSkipping) return true;  // the rest of a message already refused
  if (FMultiMsg) {
    if (size > FMaxSize - FAssembled) {
      // Freed now, not at the end packet: the file is what must not grow.
      Discard();
      FSkipping = true;
      return false;
    }
    Append(data, size);
    FAssembled += size;
    return true;
  }
  if (size > FMaxSize) return false;
  deliver(TPipeMessage{packet, nullptr});
  return true;
}
