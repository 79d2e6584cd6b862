#pragma once
// TJitterBuffer: a bounded byte FIFO with a data-ready event, between a thread
// that produces audio at its own pace (transport thread, wave-in callback) and
// the session thread that takes it. The writer never waits: on overflow it cuts
// or discards data with a log line.

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/mutex.h"
#include "platform/sync.h"

// What Read hands out: a heap block the taker owns. A zero size comes with no
// block at all.
struct TAudioBlock {
  std::unique_ptr<uint8_t[]> Data;
  uint32_t Size = 0;
};

// What a buffer's writer had to drop: cut off for want of room ("underflow")
// and dropped with the whole content for want of any room ("overflow").
struct TJitterStats {
  uint64_t Underflows = 0, UnderflowBytes = 0;
  uint64_t Overflows = 0, OverflowBytes = 0;
};

class TJitterBuffer {
public:
  // Threshold: bytes needed before a write signals the data event. ReadMax: the
  // most one Read takes. Capacity: the most the buffer holds.
  TJitterBuffer(int32_t Threshold, uint32_t ReadMax, int32_t Capacity);
  TJitterBuffer(const TJitterBuffer&) = delete;
  TJitterBuffer& operator=(const TJitterBuffer&) = delete;

  // Appends Size bytes (copied at once). What does not fit is cut off
  // ("Drop underflow data"); with no room at all the new bytes and the whole
  // content are dropped ("Drop overflow data"). Signals the data event once the
  // content reaches the threshold; never resets it.
  void Write(const uint8_t* Data, uint16_t Size);

  // Waits up to TimeoutMs for the data event, then takes the oldest bytes, at
  // most ReadMax of them, and resets the event when less than the threshold is
  // left. False (Block untouched) when the event stayed unsignalled. A true
  // result may come with size 0 when the event outlived the content.
  bool Read(uint32_t TimeoutMs, TAudioBlock& Block);

  // Empties the content; the data event stays as it is.
  void Clear();

  // The data-ready event (manual reset). The session waits on it together with
  // the other buffer's, and resets it directly while the player is busy.
  Platform::TEvent& DataEvent() { return FDataEvent; }

  // The session re-dimensions its buffers while it is stopped.
  void SetThreshold(int32_t Threshold);
  void SetReadMax(uint32_t ReadMax);
  void SetCapacity(int32_t Capacity);
  TJitterStats Stats();

private:
  friend class TJitterBufferTestPeer;  // the tests' look at the dimensions and the content

  Platform::TMutex FLock;
  // Set by Write just after it releases FLock (the woken reader finds the lock
  // free), reset by Read under FLock; the event is safe from any thread.
  Platform::TEvent FDataEvent{true, false};
  int32_t FThreshold GUARDED_BY(FLock);
  int32_t FCapacity GUARDED_BY(FLock);
  uint32_t FReadMax GUARDED_BY(FLock);
  std::vector<uint8_t> FData GUARDED_BY(FLock);  // oldest byte first
  TJitterStats FStats GUARDED_BY(FLock);
};
