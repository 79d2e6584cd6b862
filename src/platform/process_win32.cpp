#include "platform/process.h"

#include <windows.h>

namespace Platform {

void RaiseToRealtimePriority() { SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS); }

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

}  // namespace Platform
