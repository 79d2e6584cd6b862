#include "platform/sync.h"

#include "platform/exception.h"

namespace Platform::Detail {

void CheckSemaphoreCounts(int32_t InitialCount, int32_t MaximumCount) {
  if (MaximumCount <= 0 || InitialCount < 0 || InitialCount > MaximumCount)
    throw Exception(Format("Invalid semaphore counts (initial %d, maximum %d)", InitialCount, MaximumCount));
}

}  // namespace Platform::Detail
