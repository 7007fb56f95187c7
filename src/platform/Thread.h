#pragma once
// The system thread under the transport's thread class.
#include <string>

namespace Platform {

using TThreadHandle = unsigned long;  // a pthread_t

// Runs entry(arg) on a new thread, to be joined by JoinThread; false on
// failure.
bool StartThread(TThreadHandle& handle, void* (*entry)(void*), void* arg);
void JoinThread(TThreadHandle handle);
// The name the system shows for the calling thread (cut to 15 characters).
void NameCurrentThread(const std::string& name);
// One nice step below the process's, for the calling thread only.
void LowerCurrentThreadPriority();
// Lets another ready thread run.
void YieldThread();

}  // namespace Platform
