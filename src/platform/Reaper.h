#pragma once
// The reaper of the children started by SpawnProcess, private to platform:
// a background thread reaps every child as soon as it exits and keeps its
// exit code for the handle the caller holds. The reaper owns a duplicate
// pidfd per child, so the caller may close its handle at any time without
// leaving a zombie. It also keeps the count read by ProcessExitsSeen
// (platform/Process.h).
#include <cstdint>

namespace Platform::ProcessDetail {

// Takes a newly created child by its pidfd; false (with errno) when the
// pidfd cannot be duplicated.
bool WatchChild(int handle);

// The handle is being closed: its exit code is kept no longer. The child is
// still reaped when it exits later.
void ForgetChild(int handle);

// The exit code of the child behind handle (STILL_ACTIVE while it runs),
// reaping it first when it has ended; false for a handle not taken by
// WatchChild.
bool ChildExitCode(int handle, uint32_t& exitCode);

}  // namespace Platform::ProcessDetail
