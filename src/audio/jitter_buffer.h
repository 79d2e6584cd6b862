#pragma once
// TJitterBuffer: a bounded FIFO of audio with a data-ready event, between a
// thread that produces audio at its own pace (the network thread, the
// wave-in callback) and the session thread that takes it. The writer never waits: on
// overflow it drops data with a log line.
//
// It holds two kinds of content. Received packets (WritePacket) stay whole: a
// take never splits one, and room is made by dropping the oldest whole packets,
// so that what is played is always a packet's audio from its start. Captured
// bytes (Write) form a plain byte stream that a take cuts wherever its size
// ends, so that each take is exactly one packet's payload to send.

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

// What a buffer's writer had to drop. Cuts: bytes of a Write cut off for
// want of room (a packet is never cut). Overflow: a write that found no room at
// all; a Write drops the whole content with its own bytes, a WritePacket the
// oldest whole packets (it is kept itself); the bytes are what was dropped.
struct TJitterStats {
  uint64_t Cuts = 0, CutBytes = 0;
  uint64_t Overflows = 0, OverflowBytes = 0;
};

// What a received packet carries while it waits, for the call figures of its
// sender: who sent it, and when it came (millisecond tick).
struct TPacketTag {
  int32_t Sender = 0;
  uint32_t Arrival = 0;
};
// A whole packet that a take handed out or an overflow dropped.
struct TTaggedPacket {
  TPacketTag Tag;
  uint32_t Size = 0;
};

class TJitterBuffer {
public:
  // Threshold: bytes needed before a write signals the data event. ReadMax: the
  // most one Read takes. Capacity: the most the buffer holds.
  TJitterBuffer(int32_t Threshold, uint32_t ReadMax, int32_t Capacity);
  TJitterBuffer(const TJitterBuffer&) = delete;
  TJitterBuffer& operator=(const TJitterBuffer&) = delete;

  // Appends Size bytes (copied at once) to the byte stream. What does not fit
  // is cut off ("Drop underflow data"); with no room at all the new bytes and
  // the whole content are dropped ("Drop overflow data"). Signals the data
  // event once the content reaches the threshold; never resets it.
  void Write(const uint8_t* Data, uint16_t Size);
  // Appends one whole packet (copied at once). When it does not fit, the
  // oldest packets are dropped, whole, until it does ("Drop overflow data"); a
  // packet longer than the capacity is kept alone. Signals as Write does.
  void WritePacket(const uint8_t* Data, uint16_t Size);
  // The same with the packet's tag; DroppedPackets (when given) receives the packets
  // dropped to make room.
  void WritePacket(const uint8_t* Data, uint16_t Size, TPacketTag Tag, std::vector<TTaggedPacket>* DroppedPackets);

  // Waits up to TimeoutMs for the data event, then takes the oldest content,
  // at most ReadMax bytes of it without splitting a packet (a first packet
  // longer than ReadMax is taken whole, alone), and resets the event when less
  // than the threshold is left. False (Block untouched) when the event stayed
  // unsignalled. A true result may come with size 0 when the event outlived the
  // content.
  bool Read(uint32_t TimeoutMs, TAudioBlock& Block);
  // The same; Packets (when given) receives the whole packets of the take, in
  // order (cleared first).
  bool Read(uint32_t TimeoutMs, TAudioBlock& Block, std::vector<TTaggedPacket>* Packets);

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
  // The size of the next take out of FPieces, which it leaves without the
  // pieces taken (and the rest of a stream piece cut into).
  uint32_t TakePieces(std::vector<TTaggedPacket>* Packets) REQUIRES(FLock);

  // FData in pieces, oldest first: a packet (Whole, with its tag), or a run of
  // stream bytes. None while the content is stream bytes only (the send side's).
  struct TPiece {
    uint32_t Size;
    bool Whole;
    TPacketTag Tag;
  };
  std::vector<TPiece> FPieces GUARDED_BY(FLock);  // a take leaves few behind: erased from the front
  TJitterStats FStats GUARDED_BY(FLock);
};
