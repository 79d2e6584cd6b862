#pragma once
// What only the tests look at inside a jitter buffer: its dimensions and how
// much it holds.

#include <cstdint>

#include "audio/jitter_buffer.h"

class TJitterBufferTestPeer {
public:
  static int32_t Threshold(TJitterBuffer& B) {
    Platform::TLockGuard G(B.FLock);
    return B.FThreshold;
  }
  static uint32_t ReadMax(TJitterBuffer& B) {
    Platform::TLockGuard G(B.FLock);
    return B.FReadMax;
  }
  static int32_t Capacity(TJitterBuffer& B) {
    Platform::TLockGuard G(B.FLock);
    return B.FCapacity;
  }
  static uint32_t Length(TJitterBuffer& B) {
    Platform::TLockGuard G(B.FLock);
    return static_cast<uint32_t>(B.FData.size());
  }
};
