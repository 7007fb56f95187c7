#pragma once
// Shared between the simulator's source files; not for other modules.
#include <cstdint>
#include <string>

#include "Shared/JSON.h"

// What the processor bridge knows of a request besides its text: enough to
// name it in the log and to check that the processor's answer replies to it.
struct TProcessorRequest {
  std::string Method;
  int64_t ClientID = -1;  // -1: the request names none
  bool HasId = false;     // the request has an "id" member (it may be null)
  IJsonValue Id;
};

// Empties the processor reader's buffer (processor stopped).
void ResetProcessorReader();
// The same, and forgets a failure of the previous processor (one started).
void ResetProcessorBridge();
// Writes one request line to the processor and reads its reply line.
// Once the processor has failed (no answer in time, a line not taken in,
// its output closed, an answer that is not the reply to its request),
// nothing more is written to it in the run: this answers empty at once.
std::string ExchangeWithProcessor(const TProcessorRequest& request, std::string_view rpc);
// Whether the processor has failed in the current run (or the last one);
// cleared when one is started.
bool ExternalProcessorFailed();
// The call just parked at the barrier came through the processor bridge:
// its request text is forwarded when it is released.
void NoteParkedRequest(TProcessorRequest request, const std::string& rpc);
// Drops the held calls without answering them (the server is going).
void ForgetParkedCalls();
// Whether clientID's "StartTimeStep" is held at the barrier.
bool IsHeldAtBarrier(uint32_t clientID);
