#pragma once
// Scheduling of the process's threads.

#include <cstddef>
#include <cstdint>

namespace Platform {

// Gives the audio path the highest scheduling the system grants: the realtime
// priority class for the whole process on Windows, a realtime policy for the
// calling thread on Linux where the process may have it. Quietly does nothing
// where it is not allowed.
void RaiseToRealtimePriority();

// The system's id of the calling thread.
uint32_t CurrentThreadId();

// How many threads the process has now, the system's own included.
size_t ThreadCount();

// Names the calling thread for the system's tools (top -H, ps, a debugger's
// thread list); at most 15 characters are kept on Linux. Quietly does nothing
// where the system cannot.
void NameCurrentThread(const char* Name);

}  // namespace Platform
