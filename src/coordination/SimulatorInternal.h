#pragma once
// Shared between the simulator's source files; not for other modules.
#include <cstdint>
#include <string>

// Empties the processor reader's buffer (processor started or stopped).
void ResetProcessorReader();
// Writes one request line to the processor and reads its reply line.
std::string ExchangeWithProcessor(const std::string& method, std::string_view rpc);
// The call just parked at the barrier came through the processor bridge:
// its request text is forwarded when it is released.
void NoteParkedRequest(const std::string& method, const std::string& rpc);
// Drops the held calls without answering them (the server is going).
void ForgetParkedCalls();
// Whether clientID's "StartTimeStep" is held at the barrier.
bool IsHeldAtBarrier(uint32_t clientID);
