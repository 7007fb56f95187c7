#pragma once
// The transport's wire format and the buffers on either side of it.
//
// Every packet is one pipe message. A message longer than MAX_BUFFER is sent
// as a start control packet, data packets of at most MAX_BUFFER bytes, and an
// end control packet; the reader (TPipeReceiver) puts it together again.
// Senders fill a TWriteQueue, which does the cutting; the consumer writes each
// dequeued packet with one write call.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Events.h"

// Largest payload of a data packet produced by splitting; also the worker's
// first receive buffer size and the chunk size of SendStream.
inline constexpr int32_t MAX_BUFFER = 65534;
inline constexpr uint32_t MB_MAGIC = 0x4347414D;  // "MAGC"
inline constexpr uint32_t MB_START = 0x424D5453;  // "STMB"
inline constexpr uint32_t MB_END = 0x424D5445;    // "ETMB"
inline constexpr const char* MB_PREFIX = "PMM";

// Largest message a peer may send us, whether as one packet or assembled
// from many: 64 MiB. The biggest real calls carry a few megabytes of
// population state; without a bound one client could fill the disk (or, with
// no temporary file, the memory) with a message that never ends. A message
// that goes past it is dropped whole and its connection closed.
inline constexpr int64_t MAX_MESSAGE_SIZE = int64_t{64} * 1024 * 1024;
// The error a connection ends with when its peer went past the bound
// (errno's "Message too long").
inline constexpr int32_t ERROR_MESSAGE_TOO_LARGE = 90;
// Reported (the connection goes on) when a long message could not be
// collected in its temporary file, a full $TMPDIR say, and is collected in
// memory instead.
inline constexpr int32_t ERROR_ASSEMBLED_IN_MEMORY = -90;

// The bound in force; MAX_MESSAGE_SIZE unless a test lowered it. Read when a
// receiver is made, so it holds for connections accepted afterwards.
int64_t GetMaxMessageSize();
void SetMaxMessageSize(int64_t bytes);

// Control packet; on the wire 16 bytes, every field unsigned 32-bit
// little-endian.
struct TPipeMsgBlock {
  uint32_t Size;
  uint32_t MagicStart;
  uint32_t ControlCode;
  uint32_t MagicEnd;
};
static_assert(sizeof(TPipeMsgBlock) == 16, "control packet is 16 bytes");

inline constexpr size_t PIPE_MSG_BLOCK_SIZE = 16;

// The 16 wire bytes of a control packet with the given code.
void EncodePipeMsgBlock(uint32_t controlCode, uint8_t (&out)[PIPE_MSG_BLOCK_SIZE]);
// Whether a whole pipe message is a control packet (16 bytes, Size 16, both
// magic words); if so its control code goes to controlCode.
bool DecodePipeMsgBlock(const void* data, size_t size, uint32_t& controlCode);

// One outbound packet: the bytes of one pipe message.
using TPacket = std::vector<uint8_t>;

// A client's outbound packet queue: filled by the owner's thread, emptied by
// the connection's worker. Unbounded. Long messages are split under the
// lock, so no other producer's packet can land between the pieces.
class TWriteQueue {
 public:
  TWriteQueue() = default;
  TWriteQueue(const TWriteQueue&) = delete;
  TWriteQueue& operator=(const TWriteQueue&) = delete;

  // Queues a copy of the prefix bytes followed by the buffer bytes as one
  // message: one packet, or a start packet, data packets of at most
  // MAX_BUFFER bytes and an end packet when it is longer.
  void Enqueue(const void* buffer, int32_t count) { Enqueue(nullptr, 0, buffer, count); }
  void Enqueue(const void* prefix, int32_t prefixCount, const void* buffer, int32_t count);
  void EnqueueStartPacket();
  void EnqueueEndPacket();
  // Moves the oldest packet into packet; false when the queue is empty.
  bool Dequeue(TPacket& packet);
  void Clear();
  // Signalled exactly while the queue holds at least one packet.
  Platform::TEvent& DataEvent() { return FDataEv; }
  // Whether the queue holds a packet (the event's state, without a system call).
  bool HasData();

  // A packet that fits in one write may skip the queue: while a direct sink
  // is attached, the queue is empty and no packet taken from it is still
  // being written, Enqueue offers the packet to the sink on the caller's
  // thread (it returns true when the packet went out whole) and queues it
  // only when refused. The worker thus need not wake up to pass a reply on.
  // The sink is called under the queue's lock; nullptr detaches it.
  using TDirectSink = std::function<bool(const uint8_t* buffer, int32_t count)>;
  void SetDirectSink(TDirectSink sink);
  // Ends the write of a packet Dequeue handed out.
  void WriteDone();

 private:
  // Under FMutex: offers a whole packet to the direct sink, else queues it.
  void Offer(TPacket&& packet);
  void OfferControlPacket(uint32_t controlCode);
  void UpdateState();

  std::mutex FMutex;
  Platform::TEvent FDataEv{true, false};
  std::deque<TPacket> FPackets;
  TDirectSink FDirectSink;
  bool FWriting = false;  // a dequeued packet is not written yet
  bool FDataSet = false;  // FDataEv's state
};

enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };

// A byte stream with a position, as the receiving side hands messages out.
class TStream {
 public:
  virtual ~TStream() = default;
  // Read/Write return the bytes moved (fewer on end of data or failure).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t GetSize();

  int64_t GetPosition() { return Seek(0, soCurrent); }
  void SetPosition(int64_t position) { Seek(position, soBeginning); }
  // Like Write/Read, but raise EInOutError when not every byte moved.
  void WriteBuffer(const void* buffer, int64_t count);
  void ReadBuffer(void* buffer, int64_t count);
  // Everything from the current position to the end.
  std::string ReadToEnd();
};

// A memory stream whose capacity grows in large steps (Realloc).
class TFastMemStream : public TStream {
 public:
  TFastMemStream() = default;
  ~TFastMemStream() override;
  TFastMemStream(const TFastMemStream&) = delete;
  TFastMemStream& operator=(const TFastMemStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t GetSize() override { return FSize; }
  void SetSize(int64_t newSize);
  // Empties the stream and releases its memory.
  void Clear();

  uint8_t* Memory() { return FMemory; }
  const uint8_t* Memory() const { return FMemory; }
  int64_t Capacity() const { return FCapacity; }
  void SetCapacity(int64_t newCapacity);

 protected:
  // Raises a requested capacity N > 0 by 65535 when N <= 65535, else by N/4,
  // and (re)allocates to it; returns the memory and leaves the recorded
  // capacity in newCapacity.
  virtual uint8_t* Realloc(int64_t& newCapacity);

 private:
  uint8_t* FMemory = nullptr;
  int64_t FSize = 0;
  int64_t FPosition = 0;
  int64_t FCapacity = 0;
};

// A stream over an open file descriptor, which it closes when destroyed.
class THandleStream : public TStream {
 public:
  explicit THandleStream(int fd) : FHandle(fd) {}
  ~THandleStream() override;
  THandleStream(const THandleStream&) = delete;
  THandleStream& operator=(const THandleStream&) = delete;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int Handle() const { return FHandle; }

 private:
  int FHandle;
};

// Collects one multi-packet message. Backed by an unnamed temporary file
// (gone when closed, also if the process dies), or by memory when no file
// can be made.
class TPipeMultiMsg {
 public:
  TPipeMultiMsg();
  ~TPipeMultiMsg();
  TPipeMultiMsg(const TPipeMultiMsg&) = delete;
  TPipeMultiMsg& operator=(const TPipeMultiMsg&) = delete;

  TStream& Stream() { return FFile ? static_cast<TStream&>(*FFile) : *FMemory; }
  // The backing file, or -1 when the message is held in memory.
  int Handle() const { return FFile ? FFile->Handle() : -1; }
  // The bytes of a message held in memory (empty for one in a file).
  std::span<const uint8_t> MemoryBytes() const;
  // Appends to the message. When its file cannot take the bytes (a full
  // disk, a file-size limit), what it holds moves to memory and the message
  // goes on there: the bound on a message's size bounds that memory too.
  void Write(const void* data, int64_t size);
  // Whether the message moved to memory that way.
  bool MovedToMemory() const { return FMovedToMemory; }

  // Where backing files are made: $TMPDIR, else /tmp.
  static std::string TempDirectory();

 private:
  void CreateTempBacking();

  // Exactly one is set.
  std::unique_ptr<THandleStream> FFile;
  std::unique_ptr<TFastMemStream> FMemory;
  bool FMovedToMemory = false;
};

// A whole message as a receiver hands it out, valid during its delivery
// only. A message that lies in memory (a single packet in the reader's own
// buffer, or an assembly held in memory) is its bytes where they lie; an
// assembly collected in a temporary file is that file.
struct TPipeMessage {
  std::span<const uint8_t> Bytes;  // empty when File is set
  TStream* File = nullptr;         // at position 0
  // Its text: a copy, read from the file when there is one.
  std::string Text() const;
};

// Text as the bytes of a packet.
inline std::span<const uint8_t> PacketBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// The reading rules: fed each whole pipe message in arrival order, it hands
// out whole messages. A 16-byte message shaped like a control packet is one.
class TPipeReceiver {
 public:
  // Receives a whole message, valid only during the call.
  using TDeliver = std::function<void(const TPipeMessage& message)>;

  TPipeReceiver() : FMaxSize(GetMaxMessageSize()) {}
  TPipeReceiver(const TPipeReceiver&) = delete;
  TPipeReceiver& operator=(const TPipeReceiver&) = delete;

  // Applies the rules to one pipe message, read where it lies. A
  // single-packet message is delivered as those very bytes, with no copy;
  // a packet of an assembly is written on from there. An assembly is
  // discarded after its delivery, also when deliver raises.
  //
  // False when a message went past MaxSize(): nothing of it is delivered,
  // a partial assembly is thrown away at once, and the rest of its packets
  // are dropped up to the next control packet.
  bool Receive(std::span<const uint8_t> packet, const TDeliver& deliver);
  bool Assembling() const { return FMultiMsg != nullptr; }
  // Drops a partial assembly (connection ended mid-message).
  void Discard() {
    FMultiMsg.reset();
    FAssembled = 0;
    FStaged = 0;
  }
  int64_t MaxSize() const { return FMaxSize; }
  void SetMaxSize(int64_t bytes) { FMaxSize = bytes; }
  // True once for each assembly that had to move from its temporary file
  // to memory (see TPipeMultiMsg::Write).
  bool TakeMovedToMemory() { return std::exchange(FMovedToMemory, false); }

 private:
  // Data packets on their way to a file-backed assembly are gathered here
  // and written STAGE_SIZE at a time: a few large writes cost the file
  // system far less than many packet-sized ones. Kept from one assembly to
  // the next, since fresh memory is dear to touch.
  static constexpr int64_t STAGE_SIZE = 256 * 1024;
  void Append(const uint8_t* data, int64_t size);
  void WriteStaged();
  void NoteMovedToMemory(const TPipeMultiMsg& assembly);

  std::unique_ptr<TPipeMultiMsg> FMultiMsg;
  std::unique_ptr<uint8_t[]> FStage;
  int64_t FStaged = 0;        // bytes in FStage, not yet in FMultiMsg
  int64_t FAssembled = 0;     // bytes in FMultiMsg so far, staged ones included
  bool FSkipping = false;     // inside a message that went past the bound
  bool FMovedToMemory = false;  // not yet taken by TakeMovedToMemory
  bool FMoveNoted = false;      // the current assembly's move is counted
  int64_t FMaxSize;
};
