// Feeds the framing receiver an arbitrary sequence of pipe messages and
// checks what it hands out against a plain model of the reading rules.
//
// Input: a list of records. Each starts with an op byte: op % 4 == 0 is a
// start control packet, 1 an end control packet, 2 a control packet whose
// code is the next 4 bytes, 3 a message whose length is the next byte and
// whose bytes follow (a 16-byte one may itself look like a control packet).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Shared/Componen/PipeFraming.h"

namespace {

std::string ControlPacket(uint32_t code) {
  uint8_t b[PIPE_MSG_BLOCK_SIZE];
  EncodePipeMsgBlock(code, b);
  return std::string(reinterpret_cast<const char*>(b), sizeof b);
}

std::vector<std::string> SplitMessages(const uint8_t* data, size_t size) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < size) {
    const uint8_t op = data[i++];
    switch (op % 4) {
      case 0: out.push_back(ControlPacket(MB_START)); break;
      case 1: out.push_back(ControlPacket(MB_END)); break;
      case 2: {
        uint32_t code = 0;
        for (int k = 0; k < 4 && i < size; ++k) code |= uint32_t(data[i++]) << (8 * k);
        out.push_back(ControlPacket(code));
        break;
      }
      default: {
        const size_t len = i < size ? data[i++] : 0;
        const size_t n = std::min(len, size - i);
        out.emplace_back(reinterpret_cast<const char*>(data + i), n);
        i += n;
      }
    }
  }
  return out;
}

// The rules, written out plainly.
std::vector<std::string> Model(const std::vector<std::string>& messages) {
  std::vector<std::string> delivered;
  std::optional<std::string> assembly;
  for (const std::string& m : messages) {
    uint32_t code = 0;
    if (DecodePipeMsgBlock(m.data(), m.size(), code)) {
      if (code == MB_START) {
        assembly = std::string();
      } else if (code == MB_END) {
        if (assembly) delivered.push_back(*assembly);
        assembly.reset();
      } else {
        assembly.reset();
      }
    } else if (assembly) {
      *assembly += m;
    } else {
      delivered.push_back(m);
    }
  }
  return delivered;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> messages = SplitMessages(data, size);
  std::vector<std::string> delivered;
  TPipeReceiver receiver;
  for (const std::string& m : messages) {
    receiver.Receive(PacketBytes(m), [&](const TPipeMessage& message) {
      // A message in memory is whole; one in a file starts at its beginning.
      if (message.File && message.File->GetPosition() != 0) abort();
      delivered.push_back(message.Text());
    });
  }
  if (delivered != Model(messages)) abort();
  if (receiver.Assembling()) receiver.Discard();
  if (receiver.Assembling()) abort();
  return 0;
}
