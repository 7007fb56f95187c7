#pragma once
// A raw client of the pipe server and helpers to run the owner's message
// loop while waiting for something to happen.
#include <gtest/gtest.h>
#include <dirent.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Shared/Componen/PipeFraming.h"
#include "platform/Events.h"
#include "platform/LocalSocket.h"
#include "platform/Messages.h"

namespace PipeTest {

// Every test process talks on names of its own.
inline void UseOwnPipeNamespace() {
  static const bool done = [] {
    const std::string ns = "velmar-test-" + std::to_string(::getpid()) + "-";
    ::setenv("VELMAR_PIPE_NAMESPACE", ns.c_str(), 1);
    return true;
  }();
  (void)done;
}

// Runs the calling thread's messages until done() holds, also waking when
// one of fds is readable; false after timeoutMs (a guard against hangs).
inline bool PumpUntil(const std::function<bool()>& done, std::vector<int> fds = {}, uint32_t timeoutMs = 20000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    Platform::ProcessMessages();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    Platform::MsgWaitForMultipleObjects(fds, 50, Platform::QS_ALLINPUT);
  }
}

// Transport threads still alive (they name themselves "pipe-...").
inline size_t PipeThreadCount() {
  size_t n = 0;
  if (DIR* d = ::opendir("/proc/self/task")) {
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      const std::string path = std::string("/proc/self/task/") + e->d_name + "/comm";
      if (FILE* f = std::fopen(path.c_str(), "r")) {
        char comm[32] = {};
        if (std::fgets(comm, sizeof comm, f) && std::string(comm).rfind("pipe-", 0) == 0) ++n;
        std::fclose(f);
      }
    }
    ::closedir(d);
  }
  return n;
}

inline std::string ControlPacket(uint32_t code) {
  uint8_t block[PIPE_MSG_BLOCK_SIZE];
  EncodePipeMsgBlock(code, block);
  return std::string(reinterpret_cast<const char*>(block), sizeof block);
}

class TTestClient {
 public:
  // Connects, retrying while the listener's backlog is full.
  bool Connect(const std::string& pipeName) {
    for (int i = 0; i < 1000; ++i) {
      const Platform::TIoResult r = FSocket.Connect(pipeName);
      if (r.Done()) return true;
      if (r.Status != Platform::TIo::WouldBlock) return false;  // not a full backlog
      sched_yield();
    }
    return false;
  }
  int Fd() const { return FSocket.Fd(); }
  void Close() { FSocket.Close(); }

  // One packet, exactly these bytes.
  bool SendPacket(const std::string& bytes) {
    for (;;) {
      const Platform::TIo r = FSocket.Write(bytes.data(), bytes.size()).Status;
      if (r == Platform::TIo::Done) return true;
      if (r != Platform::TIo::WouldBlock) return false;
      pollfd p{FSocket.Fd(), POLLOUT, 0};
      ::poll(&p, 1, 1000);
    }
  }

  // One raw packet, or nullopt on time-out or hang-up. With pump, the
  // calling thread's messages run while it waits.
  std::optional<std::string> ReceivePacket(uint32_t timeoutMs = 20000, bool pump = false) {
    std::optional<std::string> got;
    bool gone = false;
    auto tryRead = [&] {
      // Readiness first: a message arriving between the two calls would
      // otherwise be read with the size of "nothing waiting".
      if (!FSocket.HasMessage()) return false;
      std::vector<uint8_t> buffer;
      size_t n = 0;
      const Platform::TIo r = FSocket.ReadMessage(buffer, n).Status;
      if (r == Platform::TIo::WouldBlock) return false;
      if (r != Platform::TIo::Done) {
        gone = true;
        return true;
      }
      got = std::string(reinterpret_cast<const char*>(buffer.data()), n);
      return true;
    };
    if (pump) {
      PumpUntil(tryRead, {FSocket.Fd()}, timeoutMs);
    } else {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
      while (!tryRead() && std::chrono::steady_clock::now() < deadline) {
        pollfd p{FSocket.Fd(), POLLIN, 0};
        ::poll(&p, 1, 100);
      }
    }
    FGone = gone;
    return gone ? std::nullopt : got;
  }
  // Whether the last ReceivePacket found the connection gone (not a time-out).
  bool Gone() const { return FGone; }

  // One whole message, reassembled by the reading rules; the raw packets
  // go to packets when given.
  std::optional<std::string> Receive(uint32_t timeoutMs = 20000, bool pump = false,
                                     std::vector<size_t>* packets = nullptr) {
    std::optional<std::string> assembly;
    for (;;) {
      std::optional<std::string> packet = ReceivePacket(timeoutMs, pump);
      if (!packet) return std::nullopt;
      if (packets) packets->push_back(packet->size());
      uint32_t code = 0;
      if (DecodePipeMsgBlock(packet->data(), packet->size(), code)) {
        if (code == MB_START) assembly = std::string();
        else if (code == MB_END && assembly) return assembly;
        else assembly.reset();
        continue;
      }
      if (!assembly) return packet;
      *assembly += *packet;
    }
  }

  // Whether the server has cut the connection (a read finds the hang-up).
  bool HungUp(uint32_t timeoutMs = 20000, bool pump = false) {
    for (;;) {
      std::optional<std::string> packet = ReceivePacket(timeoutMs, pump);
      if (!packet) return FGone;
    }
  }

 private:
  Platform::TLocalSocket FSocket;
  bool FGone = false;
};

}  // namespace PipeTest
