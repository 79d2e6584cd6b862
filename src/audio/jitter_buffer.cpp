#include "audio/jitter_buffer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "log/log.h"
#include "platform/exception.h"
#include "platform/mutex.h"

TJitterBuffer::TJitterBuffer(int32_t Threshold, uint32_t ReadMax, int32_t Capacity)
    : FThreshold(Threshold), FCapacity(Capacity), FReadMax(ReadMax) {
  FData.reserve(Capacity > 0 ? static_cast<size_t>(Capacity) : 0);
}

void TJitterBuffer::Write(const uint8_t* Data, uint16_t Size) {
  // Written after the lock is released: a log line is file work, and the
  // reader must not wait for it. The event is set after the release too, so
  // that the woken reader finds the lock free; a reader that empties the
  // buffer in between only wakes once more for nothing.
  std::string Line;
  bool Ready = false;
  {
    Platform::TLockGuard G(FLock);
    const int64_t Length = static_cast<int64_t>(FData.size());
    int64_t N = Size;
    if (Length + Size > FCapacity) N = FCapacity - Length;  // negative when over a lowered capacity
    if (N > 0) FData.insert(FData.end(), Data, Data + N);
    if (Size > N && N > 0) {
      ++FStats.Underflows;
      FStats.UnderflowBytes += static_cast<uint64_t>(Size - N);
      Line = Format("Jitter bubber: Drop underflow data [Write size=%d,Data size=<%d>]", static_cast<int>(N),
                    static_cast<int>(Size));
    } else if (N == 0 && Size > 0) {
      // No room at all: the stale content goes with the new data, so that the
      // reader starts again from fresh audio. An empty write has nothing to drop.
      Line = Format("Jitter bubber: Drop overflow data [Data size=<%d>]", static_cast<int>(Size));
      ++FStats.Overflows;
      FStats.OverflowBytes += Size + FData.size();
      FData.clear();
    }
    Ready = static_cast<int64_t>(FData.size()) >= FThreshold;
  }
  if (Ready) FDataEvent.Set();
  if (!Line.empty()) WriteLog(Line);
}

bool TJitterBuffer::Read(uint32_t TimeoutMs, TAudioBlock& Block) {
  if (!FDataEvent.Wait(TimeoutMs)) return false;
  Platform::TLockGuard G(FLock);
  const uint32_t Size = static_cast<uint32_t>(std::min<size_t>(FData.size(), FReadMax));
  Block.Data.reset(Size > 0 ? new uint8_t[Size] : nullptr);
  Block.Size = Size;
  if (Size > 0) {
    std::memcpy(Block.Data.get(), FData.data(), Size);
    FData.erase(FData.begin(), FData.begin() + Size);
  }
  if (static_cast<int64_t>(FData.size()) < FThreshold) FDataEvent.Reset();
  return true;
}

void TJitterBuffer::Clear() {
  Platform::TLockGuard G(FLock);
  FData.clear();
}

void TJitterBuffer::SetThreshold(int32_t Threshold) {
  Platform::TLockGuard G(FLock);
  FThreshold = Threshold;
}

void TJitterBuffer::SetReadMax(uint32_t ReadMax) {
  Platform::TLockGuard G(FLock);
  FReadMax = ReadMax;
}

void TJitterBuffer::SetCapacity(int32_t Capacity) {
  Platform::TLockGuard G(FLock);
  FCapacity = Capacity;
}

TJitterStats TJitterBuffer::Stats() {
  Platform::TLockGuard G(FLock);
  return FStats;
}

