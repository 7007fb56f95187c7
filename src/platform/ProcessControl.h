#pragma once
// What a batch of runs needs of processes beyond starting and watching them
// (platform/Process.h): asking one to stop, the processors to share among
// runs, and its own process id.
#include <cstdint>

namespace Platform {

// Asks the process to stop (SIGTERM through its handle, a pidfd): a manager
// treats it as the Stop command. False for an invalid handle or a process
// that is already gone.
bool RequestProcessStop(int hProcess);

// The processors this program may run on (its affinity mask, which a batch
// scheduler narrows to what it allotted); at least 1.
unsigned AvailableProcessors();

// This program's process id.
uint32_t CurrentProcessId();

}  // namespace Platform
