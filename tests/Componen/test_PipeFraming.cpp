#include "Shared/Componen/PipeFraming.h"

#include "diagnostics/Exception.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Pattern(size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + seed * 7 + i / 256) & 0xFF);
  return s;
}

std::string ControlBytes(uint32_t code) {
  uint8_t block[PIPE_MSG_BLOCK_SIZE];
  EncodePipeMsgBlock(code, block);
  return std::string(reinterpret_cast<char*>(block), sizeof block);
}

std::vector<std::string> Drain(TWriteQueue& q) {
  std::vector<std::string> out;
  for (TPacket p; q.Dequeue(p);) out.emplace_back(p.begin(), p.end());
  return out;
}

std::vector<size_t> Sizes(const std::vector<std::string>& packets) {
  std::vector<size_t> sizes;
  for (const auto& p : packets) sizes.push_back(p.size());
  return sizes;
}

void EnqueueString(TWriteQueue& q, const std::string& s) {
  q.Enqueue(s.data(), static_cast<int32_t>(s.size()));
}

// Feeds the packets to a receiver, each from where it lies (as a
// connection's worker does), and returns what it delivered.
std::vector<std::string> Feed(TPipeReceiver& r, const std::vector<std::string>& packets) {
  std::vector<std::string> delivered;
  const auto deliver = [&](const TPipeMessage& m) { delivered.push_back(m.Text()); };
  for (const auto& p : packets) r.Receive(PacketBytes(p), deliver);
  return delivered;
}

std::vector<std::string> DirEntries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

// A fresh $TMPDIR for the duration of a test.
class TTempDirGuard {
 public:
  TTempDirGuard() {
    char tmpl[] = "/tmp/velmar-frame-XXXXXX";
    Dir = mkdtemp(tmpl);
    const char* old = std::getenv("TMPDIR");
    FHadOld = old != nullptr;
    if (FHadOld) FOld = old;
    setenv("TMPDIR", Dir.c_str(), 1);
  }
  ~TTempDirGuard() {
    if (FHadOld)
      setenv("TMPDIR", FOld.c_str(), 1);
    else
      unsetenv("TMPDIR");
    for (const auto& n : DirEntries(Dir)) unlink((Dir + "/" + n).c_str());
    rmdir(Dir.c_str());
  }
  std::string Dir;

 private:
  bool FHadOld = false;
  std::string FOld;
};

}  // namespace

TEST(PipeMsgBlock, WireBytesAreLittleEndianAsSpecified) {
  const std::string start = ControlBytes(MB_START);
  const std::string end = ControlBytes(MB_END);
  EXPECT_EQ(start, std::string("\x10\0\0\0MAGCSTMBMAGC", 16));
  EXPECT_EQ(end, std::string("\x10\0\0\0MAGCETMBMAGC", 16));
  uint32_t code = 0;
  EXPECT_TRUE(DecodePipeMsgBlock(start.data(), start.size(), code));
  EXPECT_EQ(code, MB_START);
  // Wrong size field, wrong magic, or a length other than 16 is data.
  std::string bad = start;
  bad[0] = 17;
  EXPECT_FALSE(DecodePipeMsgBlock(bad.data(), bad.size(), code));
  bad = start;
  bad[15] = 'X';
  EXPECT_FALSE(DecodePipeMsgBlock(bad.data(), bad.size(), code));
  EXPECT_FALSE(DecodePipeMsgBlock((start + "x").data(), 17, code));
}

TEST(WriteQueue, EnqueueCopiesAndPrefixConcatenates) {
  TWriteQueue q;
  std::string src = "hello";
  EnqueueString(q, src);
  src[0] = 'J';  // the packet holds its own copy
  q.Enqueue("ab", 2, "cde", 3);
  EXPECT_EQ(Drain(q), (std::vector<std::string>{"hello", "abcde"}));
  EXPECT_THROW(q.Enqueue("ab", -1, "cde", 3), EAssertionFailed);
  EXPECT_FALSE(q.HasData());
}

TEST(WriteQueue, SplitsOnlyAboveMaxBuffer) {
  TWriteQueue q;
  const std::string big = Pattern(140000);
  EnqueueString(q, big);
  auto packets = Drain(q);
  EXPECT_EQ(Sizes(packets), (std::vector<size_t>{16, 65534, 65534, 8932, 16}));
  EXPECT_EQ(packets.front(), ControlBytes(MB_START));
  EXPECT_EQ(packets.back(), ControlBytes(MB_END));
  EXPECT_EQ(packets[1] + packets[2] + packets[3], big);

  EnqueueString(q, Pattern(65534));
  EXPECT_EQ(Sizes(Drain(q)), (std::vector<size_t>{65534}));

  const std::string odd = Pattern(65535);
  EnqueueString(q, odd);
  packets = Drain(q);
  EXPECT_EQ(Sizes(packets), (std::vector<size_t>{16, 65534, 1, 16}));
  EXPECT_EQ(packets[1] + packets[2], odd);

  EnqueueString(q, "");
  EXPECT_EQ(Sizes(Drain(q)), (std::vector<size_t>{0}));

  // A prefixed packet splits on its total length.
  const std::string body = Pattern(65530);
  q.Enqueue("12345", 5, body.data(), static_cast<int32_t>(body.size()));
  packets = Drain(q);
  EXPECT_EQ(Sizes(packets), (std::vector<size_t>{16, 65534, 1, 16}));
  EXPECT_EQ(packets[1] + packets[2], "12345" + body);
}

TEST(WriteQueue, KeepsOrderAndDataEventFollowsContents) {
  TWriteQueue q;
  EXPECT_FALSE(q.DataEvent().IsSet());

  EnqueueString(q, "a");
  EXPECT_TRUE(q.DataEvent().IsSet());
  EnqueueString(q, Pattern(70000));
  EnqueueString(q, "b");
  q.EnqueueStartPacket();
  q.EnqueueEndPacket();
  auto packets = Drain(q);
  ASSERT_EQ(packets.size(), 8u);
  EXPECT_EQ(packets[0], "a");
  EXPECT_EQ(packets[1], ControlBytes(MB_START));
  EXPECT_EQ(packets[4], ControlBytes(MB_END));
  EXPECT_EQ(packets[5], "b");
  EXPECT_EQ(packets[6], ControlBytes(MB_START));
  EXPECT_EQ(packets[7], ControlBytes(MB_END));
  EXPECT_FALSE(q.DataEvent().IsSet());
  TPacket none;
  EXPECT_FALSE(q.Dequeue(none));

  EnqueueString(q, "x");
  EnqueueString(q, Pattern(200000));
  q.Clear();
  EXPECT_FALSE(q.DataEvent().IsSet());
  EXPECT_FALSE(q.Dequeue(none));
  EnqueueString(q, "y");  // usable after Clear
  EXPECT_EQ(Drain(q), std::vector<std::string>{"y"});
}

TEST(WriteQueue, SplitIsAtomicAgainstOtherProducers) {
  TWriteQueue q;
  constexpr int kBig = 40, kSmall = 400;
  std::thread bigProducer([&] {
    for (int i = 0; i < kBig; ++i) EnqueueString(q, Pattern(140000, static_cast<unsigned>(i)));
  });
  std::thread smallProducer([&] {
    for (int i = 0; i < kSmall; ++i) EnqueueString(q, "s" + std::to_string(i));
  });
  // Consume concurrently, waiting on the data event as the worker does.
  std::vector<std::string> packets;
  const size_t expected = kBig * 5 + kSmall;
  while (packets.size() < expected) {
    ASSERT_TRUE(q.DataEvent().WaitFor(10000));
    auto more = Drain(q);
    packets.insert(packets.end(), more.begin(), more.end());
  }
  bigProducer.join();
  smallProducer.join();

  int bigSeen = 0, smallSeen = 0;
  for (size_t i = 0; i < packets.size();) {
    if (packets[i] == ControlBytes(MB_START)) {
      ASSERT_LE(i + 4, packets.size());
      EXPECT_EQ(packets[i + 1] + packets[i + 2] + packets[i + 3], Pattern(140000, static_cast<unsigned>(bigSeen)));
      EXPECT_EQ(packets[i + 4], ControlBytes(MB_END));
      ++bigSeen;
      i += 5;
    } else {
      EXPECT_EQ(packets[i], "s" + std::to_string(smallSeen));
      ++smallSeen;
      ++i;
    }
  }
  EXPECT_EQ(bigSeen, kBig);
  EXPECT_EQ(smallSeen, kSmall);
}

TEST(PipeReceiver, SinglePacketsAreDeliveredAsTheyCame) {
  TPipeReceiver r;
  const std::string packet = "abc";
  const uint8_t* delivered = nullptr;
  std::string text;
  r.Receive(PacketBytes(packet), [&](const TPipeMessage& m) {
    // The very bytes it was given: no copy.
    EXPECT_EQ(m.File, nullptr);
    delivered = m.Bytes.data();
    text = m.Text();
  });
  EXPECT_EQ(delivered, reinterpret_cast<const uint8_t*>(packet.data()));
  EXPECT_EQ(text, "abc");

  EXPECT_EQ(Feed(r, {""}), std::vector<std::string>{""});
  EXPECT_FALSE(r.Assembling());
}

TEST(PipeReceiver, AssemblesAndAppliesControlRules) {
  const std::string start = ControlBytes(MB_START), end = ControlBytes(MB_END);
  TPipeReceiver r;
  // Start, three data packets (one empty, adding nothing), end: one delivery.
  EXPECT_EQ(Feed(r, {start, "one", "", "two", "three", end}), std::vector<std::string>{"onetwothree"});
  EXPECT_FALSE(r.Assembling());

  // End without start is ignored.
  EXPECT_TRUE(Feed(r, {end}).empty());
  // A start during an assembly restarts it.
  EXPECT_EQ(Feed(r, {start, "lost", start, "kept", end}), std::vector<std::string>{"kept"});
  // Any other control code discards the assembly silently.
  const std::string other = ControlBytes(0x12345678);
  EXPECT_TRUE(Feed(r, {start, "gone", other, end}).empty());
  EXPECT_FALSE(r.Assembling());
  // A 16-byte payload shaped like a control packet is taken as one.
  EXPECT_TRUE(Feed(r, {start}).empty());
  EXPECT_TRUE(r.Assembling());
  EXPECT_EQ(Feed(r, {"x", end}), std::vector<std::string>{"x"});
  // A 16-byte payload of any other shape is plain data.
  EXPECT_EQ(Feed(r, {"0123456789abcdef"}), std::vector<std::string>{"0123456789abcdef"});
}

TEST(PipeReceiver, AssemblyIsDroppedWhenTheHandlerRaises) {
  TPipeReceiver r;
  Feed(r, {ControlBytes(MB_START), "abc"});
  const std::string end = ControlBytes(MB_END);
  EXPECT_THROW(r.Receive(PacketBytes(end), [](const TPipeMessage&) { throw std::runtime_error("handler"); }),
               std::runtime_error);
  EXPECT_FALSE(r.Assembling());
  EXPECT_TRUE(Feed(r, {end}).empty());
}

TEST(PipeReceiver, RefusesMessagesPastTheSizeBound) {
  EXPECT_EQ(TPipeReceiver().MaxSize(), MAX_MESSAGE_SIZE);
  const std::string start = ControlBytes(MB_START), end = ControlBytes(MB_END);
  TPipeReceiver r;
  r.SetMaxSize(10);
  auto feedOne = [&](const std::string& p, std::vector<std::string>& out) {
    return r.Receive(PacketBytes(p), [&](const TPipeMessage& m) { out.push_back(m.Text()); });
  };
  std::vector<std::string> out;
  // Exactly the bound passes, assembled or single.
  for (const auto& p : {start, std::string("12345"), std::string("67890"), end, std::string("abcdefghij")})
    EXPECT_TRUE(feedOne(p, out));
  EXPECT_EQ(out, (std::vector<std::string>{"1234567890", "abcdefghij"}));
  out.clear();
  // One byte more: refused at the packet that crosses it, the assembly gone
  // at once, the rest of that message dropped up to the next control packet.
  EXPECT_TRUE(feedOne(start, out));
  EXPECT_TRUE(feedOne("123456", out));
  EXPECT_FALSE(feedOne("78901", out));
  EXPECT_FALSE(r.Assembling());
  EXPECT_TRUE(feedOne("tail", out));
  EXPECT_TRUE(feedOne(end, out));
  EXPECT_TRUE(out.empty());
  // A single packet past the bound is not delivered; what follows is.
  EXPECT_FALSE(feedOne("abcdefghijk", out));
  EXPECT_TRUE(feedOne("ok", out));
  EXPECT_EQ(out, std::vector<std::string>{"ok"});
}

TEST(PipeReceiver, RoundTripsWhatTheQueueProduces) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{16}, size_t{65534}, size_t{65535}, size_t{140000}, size_t{300001}}) {
    TWriteQueue q;
    const std::string message = Pattern(n, static_cast<unsigned>(n));
    EnqueueString(q, message);
    TPipeReceiver r;
    const auto delivered = Feed(r, Drain(q));
    ASSERT_EQ(delivered.size(), 1u) << n;
    EXPECT_EQ(delivered[0], message) << n;
  }
}

TEST(PipeReceiver, AssemblesPacketsOfAnySizeInOrder) {
  // Small and large packets mixed, one alone larger than the receiver
  // gathers before writing, several times what it gathers in all.
  const std::vector<size_t> sizes = {70000, 3, 65534, 65534, 65534, 65534, 65534, 1, 300000, 65534, 0, 12345, 65534};
  std::vector<std::string> packets = {ControlBytes(MB_START)};
  std::string whole;
  for (size_t i = 0; i < sizes.size(); ++i) {
    packets.push_back(Pattern(sizes[i], static_cast<unsigned>(i)));
    whole += packets.back();
  }
  packets.push_back(ControlBytes(MB_END));
  TPipeReceiver r;
  for (int round = 0; round < 4; ++round) {
    // The same receiver again and again: its staging memory is kept.
    const auto delivered = Feed(r, packets);
    ASSERT_EQ(delivered.size(), 1u);
    EXPECT_TRUE(delivered[0] == whole) << "round " << round << ": " << delivered[0].size() << " bytes";
  }
  // A message cut off by a new start leaves nothing of itself in the next.
  std::vector<std::string> cut(packets.begin(), packets.begin() + 4);
  cut.push_back(ControlBytes(MB_START));
  cut.push_back("tail");
  cut.push_back(ControlBytes(MB_END));
  EXPECT_EQ(Feed(r, cut), std::vector<std::string>{"tail"});
}

TEST(FastMemStream, CapacityGrowsInLargeSteps) {
  TFastMemStream s;
  s.SetCapacity(1000);
  EXPECT_EQ(s.Capacity(), 66535);
  s.SetCapacity(100000);
  EXPECT_EQ(s.Capacity(), 125000);
  s.SetCapacity(65535);
  EXPECT_EQ(s.Capacity(), 131070);

  TFastMemStream w;
  const std::string data = Pattern(70000);
  w.WriteBuffer(data.data(), 10);
  EXPECT_EQ(w.Capacity(), 10 + 65535);
  uint8_t* before = w.Memory();
  w.WriteBuffer(data.data() + 10, 100);  // fits: no reallocation
  EXPECT_EQ(w.Memory(), before);
  w.WriteBuffer(data.data() + 110, static_cast<int64_t>(data.size()) - 110);
  EXPECT_EQ(w.Capacity(), 70000 + 70000 / 4);
  EXPECT_EQ(w.GetSize(), 70000);
  w.SetPosition(0);
  EXPECT_EQ(w.ReadToEnd(), data);

  w.Clear();
  EXPECT_EQ(w.Memory(), nullptr);
  EXPECT_EQ(w.Capacity(), 0);
  EXPECT_EQ(w.GetSize(), 0);
  w.WriteBuffer("z", 1);
  ASSERT_NE(w.Memory(), nullptr);
  EXPECT_EQ(w.Memory()[0], 'z');
}

TEST(FastMemStream, ReadSeekAndSize) {
  TFastMemStream s;
  s.WriteBuffer("abcdef", 6);
  EXPECT_EQ(s.Seek(-2, soEnd), 4);
  char buf[8] = {};
  EXPECT_EQ(s.Read(buf, 8), 2);
  EXPECT_EQ(std::string(buf, 2), "ef");
  EXPECT_EQ(s.Read(buf, 8), 0);
  s.SetPosition(2);
  s.WriteBuffer("XY", 2);  // overwrite in the middle keeps the size
  EXPECT_EQ(s.GetSize(), 6);
  s.SetPosition(0);
  EXPECT_EQ(s.ReadToEnd(), "abXYef");
  s.SetSize(3);
  EXPECT_EQ(s.GetPosition(), 3);
  EXPECT_THROW(s.ReadBuffer(buf, 1), EInOutError);
}

TEST(PipeMultiMsg, FileBackedWithoutAName) {
  TTempDirGuard tmp;
  int fd;
  {
    TPipeMultiMsg m;
    fd = m.Handle();
    ASSERT_GE(fd, 0);
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096] = {};
    ASSERT_GT(readlink(link, target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind(tmp.Dir + "/", 0), 0u) << target;
    EXPECT_NE(std::string(target).find("(deleted)"), std::string::npos) << target;

    const std::string data = Pattern(150000);
    m.Stream().WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    EXPECT_EQ(m.Stream().GetSize(), 150000);
    m.Stream().SetPosition(0);
    EXPECT_EQ(m.Stream().ReadToEnd(), data);
    EXPECT_TRUE(DirEntries(tmp.Dir).empty());
  }
  EXPECT_TRUE(DirEntries(tmp.Dir).empty());
  // Destruction closed the file.
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
}

TEST(PipeMultiMsg, FallsBackToMemory) {
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", "/nonexistent/velmar-no-such-dir", 1);
  {
    TPipeMultiMsg m;
    EXPECT_EQ(m.Handle(), -1);
    EXPECT_NE(dynamic_cast<TFastMemStream*>(&m.Stream()), nullptr);
    m.Stream().WriteBuffer("abc", 3);
    m.Stream().SetPosition(0);
    EXPECT_EQ(m.Stream().ReadToEnd(), "abc");
  }
  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
}

TEST(PipeMultiMsg, NothingLeftWhenTheProcessIsKilled) {
  TTempDirGuard tmp;
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(ready[0]);
    TPipeMultiMsg m;
    const std::string data = Pattern(100000);
    m.Stream().WriteBuffer(data.data(), static_cast<int64_t>(data.size()));
    const char ok = m.Handle() >= 0 ? 'f' : 'm';
    if (write(ready[1], &ok, 1) != 1) _exit(2);
    for (;;) pause();
  }
  close(ready[1]);
  char state = 0;
  ASSERT_EQ(read(ready[0], &state, 1), 1);
  close(ready[0]);
  EXPECT_EQ(state, 'f');  // the child really held a file
  EXPECT_TRUE(DirEntries(tmp.Dir).empty());
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_TRUE(DirEntries(tmp.Dir).empty());
}
