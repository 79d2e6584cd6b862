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
    if (N > 0) {
      FData.insert(FData.end(), Data, Data + N);
      // Without packets the content is all stream: nothing to keep apart.
      if (!FPieces.empty()) {
        if (FPieces.back().Whole)
          FPieces.push_back({static_cast<uint32_t>(N), false, {}});
        else
          FPieces.back().Size += static_cast<uint32_t>(N);
      }
    }
    if (Size > N && N > 0) {
      ++FStats.Cuts;
      FStats.CutBytes += static_cast<uint64_t>(Size - N);
      Line = Format("Jitter bubber: Drop underflow data [Write size=%d,Data size=<%d>]", static_cast<int>(N),
                    static_cast<int>(Size));
    } else if (N == 0 && Size > 0) {
      // No room at all: the stale content goes with the new data, so that the
      // reader starts again from fresh audio. An empty write has nothing to drop.
      Line = Format("Jitter bubber: Drop overflow data [Data size=<%d>]", static_cast<int>(Size));
      ++FStats.Overflows;
      FStats.OverflowBytes += Size + FData.size();
      FData.clear();
      FPieces.clear();
    }
    Ready = static_cast<int64_t>(FData.size()) >= FThreshold;
  }
  if (Ready) FDataEvent.Set();
  if (!Line.empty()) WriteLog(Line);
}

void TJitterBuffer::WritePacket(const uint8_t* Data, uint16_t Size) { WritePacket(Data, Size, {}, nullptr); }

void TJitterBuffer::WritePacket(const uint8_t* Data, uint16_t Size, TPacketTag Tag,
                                std::vector<TTaggedPacket>* DroppedPackets) {
  if (Size == 0) return;
  std::string Line;
  bool Ready = false;
  {
    Platform::TLockGuard G(FLock);
    // Room is made from the oldest end, a whole packet at a time: the excess
    // goes, and what is played starts where a packet starts.
    if (FPieces.empty() && !FData.empty()) FPieces.push_back({static_cast<uint32_t>(FData.size()), false, {}});
    uint64_t Dropped = 0;
    size_t Gone = 0;
    while (Gone < FPieces.size() && static_cast<int64_t>(FData.size() - Dropped) + Size > FCapacity)
      Dropped += FPieces[Gone++].Size;
    if (Dropped > 0) {
      if (DroppedPackets)
        for (size_t I = 0; I < Gone; ++I)
          if (FPieces[I].Whole) DroppedPackets->push_back({FPieces[I].Tag, FPieces[I].Size});
      FPieces.erase(FPieces.begin(), FPieces.begin() + static_cast<ptrdiff_t>(Gone));
      FData.erase(FData.begin(), FData.begin() + static_cast<ptrdiff_t>(Dropped));
      ++FStats.Overflows;
      FStats.OverflowBytes += Dropped;
      Line = Format("Jitter bubber: Drop overflow data [Data size=<%d>]", static_cast<int>(Size));
    }
    FData.insert(FData.end(), Data, Data + Size);
    FPieces.push_back({Size, true, Tag});
    Ready = static_cast<int64_t>(FData.size()) >= FThreshold;
  }
  if (Ready) FDataEvent.Set();
  if (!Line.empty()) WriteLog(Line);
}

bool TJitterBuffer::Read(uint32_t TimeoutMs, TAudioBlock& Block) { return Read(TimeoutMs, Block, nullptr); }

bool TJitterBuffer::Read(uint32_t TimeoutMs, TAudioBlock& Block, std::vector<TTaggedPacket>* Packets) {
  if (Packets) Packets->clear();
  if (!FDataEvent.Wait(TimeoutMs)) return false;
  Platform::TLockGuard G(FLock);
  const uint32_t Size =
      FPieces.empty() ? static_cast<uint32_t>(std::min<size_t>(FData.size(), FReadMax)) : TakePieces(Packets);
  Block.Data.reset(Size > 0 ? new uint8_t[Size] : nullptr);
  Block.Size = Size;
  if (Size > 0) {
    std::memcpy(Block.Data.get(), FData.data(), Size);
    if (Size == FData.size())
      FData.clear();
    else
      FData.erase(FData.begin(), FData.begin() + Size);
  }
  if (static_cast<int64_t>(FData.size()) < FThreshold) FDataEvent.Reset();
  return true;
}

uint32_t TJitterBuffer::TakePieces(std::vector<TTaggedPacket>* Packets) {
  // Whole pieces while they fit the take; stream bytes fill it up to ReadMax,
  // a packet that does not fit waits for the next take (or, first, goes alone).
  uint32_t Size = 0;
  size_t Taken = 0;
  for (TPiece& P : FPieces) {
    if (P.Size <= FReadMax - Size) {
      Size += P.Size;
      ++Taken;
      if (P.Whole && Packets) Packets->push_back({P.Tag, P.Size});
      continue;
    }
    if (!P.Whole) {
      P.Size -= FReadMax - Size;
      Size = FReadMax;
    } else if (Size == 0) {
      Size = P.Size;
      ++Taken;
      if (Packets) Packets->push_back({P.Tag, P.Size});
    }
    break;
  }
  if (Taken == FPieces.size())
    FPieces.clear();
  else
    FPieces.erase(FPieces.begin(), FPieces.begin() + static_cast<ptrdiff_t>(Taken));
  return Size;
}

void TJitterBuffer::Clear() {
  Platform::TLockGuard G(FLock);
  FData.clear();
  FPieces.clear();
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

